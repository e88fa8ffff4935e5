#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/Prelude.h"

namespace fs = std::filesystem;

namespace testenv {

std::string MakeInstallTree() {
    char pattern[] = "/tmp/varnholt-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::string root = pattern;
    fs::copy(std::string(VARNHOLT_SOURCE_DIR) + "/deploy/install", root, fs::copy_options::recursive);
    for (const char* dir : {"/Zelk/Log", "/Zelk/Dump", "/Zelk/DataFile", "/Zelk/Temp", "/htdocs/UploadFiles"}) {
        fs::create_directories(root + dir);
    }
    return root;
}

const std::string& InstallDir() {
    static const std::string dir = [] {
        const char* env = getenv("VARNHOLT_INSTALL_PATH");
        return std::string(env != nullptr ? env : "");
    }();
    return dir;
}

std::string ConfigDir() { return InstallDir() + "/Zelk/Config"; }
std::string LogDir() { return InstallDir() + "/Zelk/Log"; }

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

size_t CountOccurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void WriteProgramLog(int globalEnable, int debugView, int txtLog, int maxLogSizeKiB, int logLevel, int maxLogFiles) {
    std::ostringstream c;
    c << "[GlobalProgramLog]\nEnable=" << globalEnable << "\n[DebugViewLog]\nEnable=" << debugView
      << "\n[TxtLog]\nEnable=" << txtLog << "\nMaxLogSize=" << maxLogSizeKiB << "\nLogLevel=" << logLevel
      << "\nMaxLogFiles=" << maxLogFiles << "\n";
    WriteFile(ConfigDir() + "/ProgramLog.conf", c.str());
}

void SetProgramLog(int globalEnable, int debugView, int txtLog, int maxLogSizeKiB, int logLevel, int maxLogFiles) {
    WriteProgramLog(globalEnable, debugView, txtLog, maxLogSizeKiB, logLevel, maxLogFiles);
    if (!CConfigManager::GetInstance()->LoadConfig("ProgramLog.conf")) {
        throw std::runtime_error("ProgramLog.conf did not load");
    }
}

void UseSampleConfig(const std::string& name) {
    const std::string sample = std::string(VARNHOLT_SOURCE_DIR) + "/deploy/install/Zelk/Config/" + name;
    WriteFile(ConfigDir() + "/" + name, ReadFile(sample));
    if (!CConfigManager::GetInstance()->LoadConfig(name.c_str())) throw std::runtime_error(name + " did not load");
}

std::string UseFreshLogDay() {
    static bool initialised = [] {
        return CGlobalSharedData::GetInstance()->Init() && CProgramLogRecorder::GetInstance()->Init() &&
               CConfigManager::GetInstance()->Init();
    }();
    if (!initialised) throw std::runtime_error("shared data, log or configuration did not start");
    static int days = 0;
    const int n = days++;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(2040 + n / 336);
    st.wMonth = static_cast<WORD>(1 + (n / 28) % 12);
    st.wDay = static_cast<WORD>(1 + n % 28);
    st.wHour = 12;
    const std::string path = UseLogDay(st);
    SetProgramLog(1, 1, 1, 0, 31, 0);
    return path;
}

SYSTEMTIME Time(int year, int month, int day, int hour, int minute, int second) {
    return SYSTEMTIME{static_cast<WORD>(year), static_cast<WORD>(month), 0, static_cast<WORD>(day),
                      static_cast<WORD>(hour), static_cast<WORD>(minute), static_cast<WORD>(second), 0};
}

std::string UseLogDay(const SYSTEMTIME& st) {
    TestClock::SetLocalTime(st);
    char name[64];
    std::snprintf(name, sizeof(name), "/LogFile_%04d_%02d_%02d.log", st.wYear, st.wMonth, st.wDay);
    const std::string path = LogDir() + name;
    RemoveFile(path);
    return path;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testenv
