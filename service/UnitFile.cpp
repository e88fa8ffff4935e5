#include "service/UnitFile.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Process.h"

namespace {

constexpr char kDefaultUnitDir[] = "/etc/systemd/system";
constexpr char kDestination[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";

std::string ErrorText(int r, const sd_bus_error& error) {
    if (sd_bus_error_is_set(&error) && error.message != nullptr) return error.message;
    return std::strerror(r < 0 ? -r : r);
}

// Calls one method of systemd's manager; types and the string arguments
// follow sd_bus_call_method.
template <class... Args>
bool CallManager(const char* method, std::string* error, const char* types, Args... args) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        *error = std::string("cannot connect to the system bus: ") + std::strerror(-r);
        return false;
    }
    sd_bus_error busError = SD_BUS_ERROR_NULL;
    r = sd_bus_call_method(bus, kDestination, kManagerPath, kManagerInterface, method, &busError, nullptr, types,
                           args...);
    if (r < 0) *error = std::string(method) + " failed: " + ErrorText(r, busError);
    sd_bus_error_free(&busError);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

}  // namespace

std::string UnitDirectory() {
    std::string dir = GetEnvString("VARNHOLT_UNIT_DIR");
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir.empty() ? kDefaultUnitDir : dir;
}

std::string UnitFilePath() { return UnitDirectory() + "/" + kServiceUnitName; }

std::string BuildUnitText(const std::string& executable, const std::string& installDir, UnitKind kind) {
    const bool packaged = kind == UnitKind::kPackaged;
    // systemd splits ExecStart and Environment at blanks unless quoted; the
    // package's fixed paths have none.
    const auto quoted = [packaged](const std::string& s) { return packaged ? s : "\"" + s + "\""; };
    std::string text;
    if (packaged) {
        text += "# The Varnholt log centre as installed by the Debian package: runs as the\n"
                "# system user varnholt with what it needs and nothing more. The install tree\n"
                "# is /var/lib/varnholt; its Zelk/Config, Zelk/Log and mysql are links to\n"
                "# /etc/varnholt/Config, /var/log/varnholt and /etc/varnholt/mysql.\n";
    }
    text += "[Unit]\n";
    text += "Description=Varnholt log centre\n";
    if (packaged) text += "Documentation=man:varnholt(8)\n";
    text += "After=network.target mariadb.service\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + quoted(executable) + "\n";
    text += "Environment=" + quoted("VARNHOLT_INSTALL_PATH=" + installDir) + "\n";
    if (packaged) text += "User=varnholt\nGroup=varnholt\nUMask=0027\n";
    text += "LimitNOFILE=65536\n";
    text += "Restart=on-failure\n";
    text += "TimeoutStopSec=" + std::to_string(kUnitStopTimeoutSec) + "\n";
    // /run/varnholt, entered only by the service user (and root): the debug
    // view socket lives there ($RUNTIME_DIRECTORY).
    text += "RuntimeDirectory=varnholt\n";
    text += "RuntimeDirectoryMode=0750\n";
    if (packaged) {
        text += "\n# Writable: the state, the program logs, the runtime folder (debug view\n"
                "# socket) and the configuration folder (the service records ISFULL in\n"
                "# Zelk.conf and puts back a deleted configuration file).\n"
                "StateDirectory=varnholt\n"
                "StateDirectoryMode=0750\n"
                "LogsDirectory=varnholt\n"
                "LogsDirectoryMode=0750\n"
                "ReadWritePaths=/etc/varnholt/Config\n"
                "\n# Everything else is read-only or out of sight.\n"
                "ProtectSystem=strict\n"
                "ProtectHome=yes\n"
                "PrivateTmp=yes\n"
                "PrivateDevices=yes\n"
                "PrivateMounts=yes\n"
                "ProtectKernelTunables=yes\n"
                "ProtectKernelModules=yes\n"
                "ProtectKernelLogs=yes\n"
                "ProtectControlGroups=yes\n"
                "ProtectClock=yes\n"
                "ProtectHostname=yes\n"
                "ProtectProc=invisible\n"
                "ProcSubset=pid\n"
                "NoNewPrivileges=yes\n"
                "CapabilityBoundingSet=\n"
                "AmbientCapabilities=\n"
                "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
                "RestrictNamespaces=yes\n"
                "RestrictRealtime=yes\n"
                "RestrictSUIDSGID=yes\n"
                "LockPersonality=yes\n"
                "MemoryDenyWriteExecute=yes\n"
                "RemoveIPC=yes\n"
                "KeyringMode=private\n"
                "DevicePolicy=closed\n"
                "SystemCallArchitectures=native\n"
                "SystemCallFilter=@system-service\n"
                "SystemCallFilter=~@privileged @resources\n"
                "SystemCallErrorNumber=EPERM\n";
    }
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

bool WriteUnitFile(const std::string& text, std::string* error) {
    const std::string path = UnitFilePath();
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            *error = "cannot write " + temp + ": " + std::strerror(errno);
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        *error = "cannot rename " + temp + " to " + path + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

bool RemoveUnitFile(std::string* error) {
    std::error_code ec;
    std::filesystem::remove(UnitFilePath(), ec);
    if (ec) {
        *error = "cannot remove " + UnitFilePath() + ": " + ec.message();
        return false;
    }
    return true;
}

bool ReloadServiceManager(std::string* error) { return CallManager("Reload", error, ""); }

bool StopServiceUnit(std::string* error) {
    return CallManager("StopUnit", error, "ss", kServiceUnitName, "replace");
}
