// Shared set-up for the test programs.
//
// Every test program runs with its own throw-away install tree (the sample
// tree of deploy/install copied into a temporary directory, with the log,
// dump, data-file, temp and upload directories created) named by
// VARNHOLT_INSTALL_PATH, and its own debug-view socket name, so that test
// programs run in parallel never meet.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace testenv {

// Root of this program's install tree.
const std::string& InstallDir();
std::string ConfigDir();
std::string LogDir();

// Makes a fresh install tree under a new temporary directory and returns it.
std::string MakeInstallTree();

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// How often part occurs in text; whether it does.
size_t CountOccurrences(const std::string& text, const std::string& part);
bool Contains(const std::string& text, const std::string& part);
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);
std::vector<std::string> ListFiles(const std::string& dir);
std::vector<std::string> SplitLines(const std::string& text);

// Writes a ProgramLog.conf into the config directory.
void WriteProgramLog(int globalEnable, int debugView, int txtLog, int maxLogSizeKiB, int logLevel, int maxLogFiles);
// Writes a ProgramLog.conf into the config directory and reloads it.
void SetProgramLog(int globalEnable, int debugView, int txtLog, int maxLogSizeKiB, int logLevel, int maxLogFiles);

// Copies the shipped configuration file name (deploy/install/Zelk/Config)
// into the config directory and loads it.
void UseSampleConfig(const std::string& name);

// Brings up the shared data, the program log and the configuration (once per
// program), then moves the test clock to a day no other test uses, with all
// levels going to that day's log file. Returns the file's path; its text is
// what this test logged.
std::string UseFreshLogDay();
// A local time (day of the week left 0), for the test clock.
SYSTEMTIME Time(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);
// Moves the test clock to the local time st and removes that day's log file;
// returns the file's path.
std::string UseLogDay(const SYSTEMTIME& st);

// Polls condition every 10 ms until it holds or timeoutMs passed.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);

}  // namespace testenv
