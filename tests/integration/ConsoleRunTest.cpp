// Runs the real service binary in console mode on a throw-away install tree.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/Ini.h"
#include "support/ChildProcess.h"
#include "support/TestEnv.h"

namespace {

const std::string kService = std::string(VARNHOLT_BIN_DIR) + "/varnholt";

std::string TodayLogName() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char name[64];
    std::snprintf(name, sizeof(name), "LogFile_%04d_%02d_%02d.log", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return name;
}

// True once the process has blocked its stop signals, i.e. main() runs and a
// SIGTERM will be handled as a stop request.
bool StopSignalsBlocked(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) {
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask & (1ull << (SIGTERM - 1))) != 0;
        }
    }
    return false;
}

class ConsoleRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = testenv::MakeInstallTree();
        m_out = m_root + "/console.out";
    }

    void TearDown() override {
        if (!HasFailure()) std::system(("rm -rf '" + m_root + "'").c_str());
    }

    std::string Config(const std::string& name) const { return m_root + "/Zelk/Config/" + name; }
    std::string LogDir() const { return m_root + "/Zelk/Log"; }

    void SetKey(const char* file, const char* section, const char* key, const char* value) {
        ASSERT_TRUE(WritePrivateProfileStringA(section, key, value, Config(file).c_str()));
    }

    void Start(const std::vector<std::string>& args = {"-Console"}) {
        ASSERT_TRUE(m_child.Start(kService, args,
                                  {"VARNHOLT_INSTALL_PATH=" + m_root, "VARNHOLT_DEBUGVIEW_NAME=" + m_root},
                                  m_out));
    }

    // Stops the running service with signal and returns its exit code.
    int StopWith(int signal) {
        EXPECT_TRUE(testenv::WaitFor([&] { return StopSignalsBlocked(m_child.Pid()); }, 5000));
        EXPECT_TRUE(m_child.Signal(signal));
        int code = -1;
        EXPECT_TRUE(m_child.Wait(5000, &code)) << "the service did not end within 5 s";
        return code;
    }

    std::string m_root;
    std::string m_out;
    CChildProcess m_child;
};

TEST_F(ConsoleRunTest, SigtermEndsWithCodeZeroAfterTheExitLine) {
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "15");
    Start();
    EXPECT_EQ(StopWith(SIGTERM), 0);

    std::string text = testenv::ReadFile(LogDir() + "/" + TodayLogName());
    // The reaper's exit line has no line end of its own: the next line
    // follows it directly.
    const std::string reaperExit = "[CTaskManager][TaskCheckProcess] Exit With Wait Code = 0";
    size_t at = text.find(reaperExit);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find("[DEBUG][TID="), std::string::npos);
    text.insert(at + reaperExit.size(), "\n");
    EXPECT_NE(text.find("[INFO][TID="), std::string::npos);
    EXPECT_NE(text.find("[CTaskManager][WaitForAllTask] Wait Ret = 0\n"), std::string::npos) << text;
    auto lines = testenv::SplitLines(text);
    ASSERT_FALSE(lines.empty()) << text;
    const std::regex shape(std::string(testenv::kLinePrefixRegex) +
                           R"(\[(ERROR|WARN|DEBUG|INFO)\]\[TID=[0-9]{4,}\]\[C[A-Za-z]+\]\[[A-Za-z]+\] .*$)");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, shape)) << line;
    // Exit Normally comes once, after the wait for all tasks (the reaper's
    // own exit line may come before or after it).
    const std::regex exitLine(R"(\[INFO\]\[TID=[0-9]{4,}\]\[CVarnholt\]\[VarnholtMain\] Exit Normally\.$)");
    int exits = 0;
    size_t exitIndex = 0;
    size_t waitIndex = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_search(lines[i], exitLine)) {
            ++exits;
            exitIndex = i;
        }
        if (lines[i].find("[WaitForAllTask] Wait Ret = 0") != std::string::npos) waitIndex = i;
    }
    EXPECT_EQ(exits, 1) << text;
    EXPECT_LT(waitIndex, exitIndex) << text;
    // Console mode echoes the same lines.
    EXPECT_NE(testenv::ReadFile(m_out).find("[VarnholtMain] Exit Normally.\n"), std::string::npos);
}

TEST_F(ConsoleRunTest, SigintStopsTheConsoleRunToo) {
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "8");
    Start();
    EXPECT_EQ(StopWith(SIGINT), 0);
    EXPECT_NE(testenv::ReadFile(LogDir() + "/" + TodayLogName()).find("Exit Normally."), std::string::npos);
}

TEST_F(ConsoleRunTest, DefaultLevelKeepsInfoOutOfTheFile) {
    Start();
    EXPECT_EQ(StopWith(SIGTERM), 0);
    EXPECT_EQ(testenv::ReadFile(LogDir() + "/" + TodayLogName()).find("Exit Normally."), std::string::npos);
    EXPECT_NE(testenv::ReadFile(m_out).find("Exit Normally."), std::string::npos);
}

TEST_F(ConsoleRunTest, MissingProgramLogConfKeepsTheLogSilent) {
    testenv::RemoveFile(Config("ProgramLog.conf"));
    testenv::RemoveFile(Config("Zelk.conf"));  // its error would be the first line otherwise
    Start();
    EXPECT_EQ(StopWith(SIGTERM), 0);
    EXPECT_TRUE(testenv::ListFiles(LogDir()).empty());
    EXPECT_EQ(testenv::ReadFile(m_out), "");
}

TEST_F(ConsoleRunTest, MaxLogFilesThreeLeavesThree) {
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "15");
    SetKey("ProgramLog.conf", "TxtLog", "MaxLogFiles", "3");
    for (int day = 1; day <= 5; ++day) {
        testenv::WriteFile(LogDir() + "/LogFile_2017_01_0" + std::to_string(day) + ".log", "old\n");
    }
    Start();
    EXPECT_EQ(StopWith(SIGTERM), 0);
    EXPECT_EQ(testenv::ListFiles(LogDir()),
              (std::vector<std::string>{"LogFile_2017_01_04.log", "LogFile_2017_01_05.log", TodayLogName()}));
}

TEST_F(ConsoleRunTest, WithoutSwitchOutsideSystemdExitsAtOnce) {
    unsetenv("INVOCATION_ID");
    unsetenv("NOTIFY_SOCKET");
    Start({});
    int code = -1;
    ASSERT_TRUE(m_child.Wait(5000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(testenv::ListFiles(LogDir()).empty());
}

TEST_F(ConsoleRunTest, SwitchFollowedByAWordIsNoSwitch) {
    unsetenv("INVOCATION_ID");
    unsetenv("NOTIFY_SOCKET");
    Start({"-Console", "extra"});
    int code = -1;
    ASSERT_TRUE(m_child.Wait(5000, &code));
    EXPECT_EQ(code, 0);
}

}  // namespace
