// The systemd unit that runs the program as the service, and the two requests
// that registration sends to systemd (reload the unit files, stop the unit).
//
// The unit lives in the unit directory: VARNHOLT_UNIT_DIR when set, else
// /etc/systemd/system. Every function here is called from the one thread
// that handles a registration switch; none keeps state between calls.
#pragma once

#include <string>

#include "platform/Files.h"

constexpr char kServiceUnitName[] = "varnholt.service";
// systemd waits this long for a stop before it kills the service: the main
// thread's 60-second limit plus time for the manager shutdown after it.
constexpr int kUnitStopTimeoutSec = 90;

// The unit directory (never ends in '/').
std::string UnitDirectory();
// UnitDirectory() + "/varnholt.service".
std::string UnitFilePath();

// The unit's text: a notify-type service that runs executable without
// arguments with VARNHOLT_INSTALL_PATH=installDir, after the MySQL server,
// with a private runtime folder for the debug view socket. The Debian
// package's unit is the same with the service user and the sandbox of a
// packaged install (the folders of that layout, everything else read-only):
// the package build writes it with varnholt-unittext.
enum class UnitKind { kRegistered, kPackaged };
constexpr char kPackagedExecutable[] = "/usr/sbin/varnholt";
std::string BuildUnitText(const std::string& executable, const std::string& installDir,
                          UnitKind kind = UnitKind::kRegistered);

// Writes text as the unit file (through a temporary file and a rename, so
// systemd never reads half a unit). False with *error set on failure.
bool WriteUnitFile(const std::string& text, std::string* error);
// Removes the unit file; true when it is gone (or was never there).
bool RemoveUnitFile(std::string* error);

// Requests to systemd's manager on the system bus. Each opens its own bus
// connection; false with *error set when the bus or the call fails.
bool ReloadServiceManager(std::string* error);
bool StopServiceUnit(std::string* error);
