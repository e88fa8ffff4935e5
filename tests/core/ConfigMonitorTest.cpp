// The configuration monitor: saved files are reloaded, deleted files come
// back from the start-up copy, the service's own writes go unnoticed, and the
// task ends promptly when asked to.
#include "core/ConfigMonitorTask.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/modules/BuffManager.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Ini.h"
#include "support/TestEnv.h"

namespace {

constexpr DWORD kEventWaitMs = 5000;

std::string ConfigFile(const std::string& name) { return testenv::ConfigDir() + "/" + name; }

std::string Detected(const std::string& name, const char* action) {
    return "[CConfigMonitorTask][OnDirContentChange] Detected FileName = " + name + " " + action + " Action.\n";
}

class ConfigMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        if (!CBuffManager::GetInstance()->IsInitialised()) {
            ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        }
        m_task = new CConfigMonitorTask();
        ASSERT_TRUE(m_task->Init() && m_task->Start());
        WaitUntilWatching();
    }

    void TearDown() override {
        if (m_task != nullptr && m_task->WaitForExit(kEventWaitMs)) delete m_task;
        testenv::SetProgramLog(1, 1, 1, 0, 31, 0);
        TestClock::Reset();
    }

    std::string LogText() const { return testenv::ReadFile(m_log); }

    // Touches a file nobody monitors until its change is logged: from then on
    // the folder is watched, and every change made before the touch has been
    // handled (records are handled in order).
    void WaitUntilWatching() {
        static int probes = 0;
        const std::string name = "probe-" + std::to_string(++probes) + ".txt";
        const bool seen = testenv::WaitFor(
            [&] {
                testenv::WriteFile(ConfigFile(name), "x");
                return testenv::WaitFor([&] { return LogText().find(Detected(name, "Modify")) != std::string::npos; },
                                        100);
            },
            kEventWaitMs);
        testenv::RemoveFile(ConfigFile(name));
        ASSERT_TRUE(seen) << "the monitor never reported a change";
    }

    std::string m_log;
    CConfigMonitorTask* m_task = nullptr;
};

// Saving ProgramLog.conf changes the level of the program log about a second
// later, whether the file is rewritten in place or renamed into place.
TEST_F(ConfigMonitorTest, SavedProgramLogConfChangesTheLogLevel) {
    const ConfigInt& level = CConfigManager::GetInstance()->m_ProgramLog.LogLevel;
    ASSERT_EQ(level.Get(), 31);

    testenv::WriteProgramLog(1, 1, 1, 0, 3, 0);
    ASSERT_TRUE(testenv::WaitFor([&] { return level.Get() == 3; }, kEventWaitMs));
    EXPECT_EQ(testenv::CountOccurrences(LogText(), Detected("ProgramLog.conf", "Modify")), 1u);

    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[ConfigMonitorTest]", "info while 3\n");
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, "[ConfigMonitorTest]", "warn while 3\n");
    EXPECT_EQ(LogText().find("info while 3"), std::string::npos);
    EXPECT_NE(LogText().find("warn while 3"), std::string::npos);

    // An editor's save: a new file renamed over the old one.
    const std::string draft = ConfigFile("ProgramLog.conf.draft");
    testenv::WriteFile(draft, "[GlobalProgramLog]\nEnable=1\n[TxtLog]\nEnable=1\nMaxLogSize=0\nLogLevel=27\n");
    ASSERT_EQ(rename(draft.c_str(), ConfigFile("ProgramLog.conf").c_str()), 0);
    ASSERT_TRUE(testenv::WaitFor([&] { return level.Get() == 27; }, kEventWaitMs));
}

// A deleted ZelkAdv.conf comes back as it was when the monitor started, not
// as it was edited since, and its settings are reloaded from it.
TEST_F(ConfigMonitorTest, DeletedZelkAdvConfIsRestoredFromTheStartCopy) {
    const std::string path = ConfigFile("ZelkAdv.conf");
    const std::string original = testenv::ReadFile(path);
    ASSERT_FALSE(original.empty());
    ASSERT_EQ(testenv::ReadFile(CGlobalSharedData::GetInstance()->GetTempDir() + "/ZelkAdv.conf"), original);

    std::string edited = original;
    const size_t at = edited.find("MaxConnection=16");
    ASSERT_NE(at, std::string::npos);
    testenv::WriteFile(path, edited.replace(at, 16, "MaxConnection=3"));
    ASSERT_TRUE(testenv::WaitFor(
        [] { return CConfigManager::GetInstance()->m_ZelkAdv.MaxConnection.Get() == 3; }, kEventWaitMs));

    testenv::RemoveFile(path);
    ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(path) == original; }, kEventWaitMs));
    ASSERT_TRUE(testenv::WaitFor(
        [] { return CConfigManager::GetInstance()->m_ZelkAdv.MaxConnection.Get() == 16; }, kEventWaitMs));
    const std::string log = LogText();
    EXPECT_EQ(testenv::CountOccurrences(log, Detected("ZelkAdv.conf", "Delete")), 1u);
    EXPECT_EQ(testenv::CountOccurrences(
                  log, "[CConfigMonitorTask][DoBackupConfigFile] Restore File = ZelkAdv.conf Succeed!\n"),
              1u);
}

// The service's own writes (ISFULL into Zelk.conf) are no edits: neither
// their temporary files nor the file itself are reported or reloaded. An
// operator's edit that such a write carries along is still reloaded.
TEST_F(ConfigMonitorTest, OwnWritesAreNotTakenForEdits) {
    const std::string path = ConfigFile("Zelk.conf");
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "1", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "0", path.c_str()));
    WaitUntilWatching();  // both writes have been handled
    std::string log = LogText();
    EXPECT_EQ(testenv::CountOccurrences(log, "Zelk.conf"), 0u) << log;
    EXPECT_EQ(testenv::CountOccurrences(log, "varnholt-tmp"), 0u) << log;

    // An edit in place, immediately followed by a write of the service.
    std::string text = testenv::ReadFile(path);
    const size_t at = text.find("DbCyc=");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find('\n', at) - at, "DbCyc=77");
    testenv::WriteFile(path, text);
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "1", path.c_str()));
    ASSERT_TRUE(
        testenv::WaitFor([] { return CConfigManager::GetInstance()->m_Zelk.DbCyc.Get() == 77; }, kEventWaitMs));
    WaitUntilWatching();
    log = LogText();
    EXPECT_EQ(testenv::CountOccurrences(log, Detected("Zelk.conf", "Modify")), 1u) << log;
    EXPECT_EQ(testenv::CountOccurrences(log, Detected("Zelk.conf", "Delete")), 0u) << log;
    EXPECT_EQ(CConfigManager::GetInstance()->m_Zelk.ISFULL.Get(), 1);
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "0", path.c_str()));
}

// A stop request ends the task within a fraction of its 10-second wait; so
// does the exit event, also during the pause before a reload.
TEST_F(ConfigMonitorTest, StopOrExitEventEndsTheTask) {
    m_task->Stop();
    EXPECT_EQ(WaitForSingleObject(m_task->GetThreadHandle(), 3000), WAIT_OBJECT_0);
    EXPECT_EQ(m_task->GetState(), TASK_STATE_RETURNED);
    ASSERT_TRUE(m_task->WaitForExit(0));
    delete m_task;
    m_task = nullptr;

    m_task = new CConfigMonitorTask();
    ASSERT_TRUE(m_task->Init() && m_task->Start());
    WaitUntilWatching();
    testenv::WriteFile(ConfigFile("updatesql.conf"), testenv::ReadFile(ConfigFile("updatesql.conf")));
    ASSERT_TRUE(testenv::WaitFor([&] { return LogText().find(Detected("updatesql.conf", "Modify")) != std::string::npos; },
                                 kEventWaitMs));
    ASSERT_TRUE(CGlobalSharedData::GetInstance()->SetExitEvent());
    const DWORD rc = WaitForSingleObject(m_task->GetThreadHandle(), 3000);
    ResetEvent(CGlobalSharedData::GetInstance()->GetExitEvent());
    EXPECT_EQ(rc, WAIT_OBJECT_0);
}

}  // namespace
