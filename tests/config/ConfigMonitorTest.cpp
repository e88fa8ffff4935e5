// Tasks and the task manager (registration, waits, the reaper and the
// deletion of tasks whose threads may still run), and the configuration
// monitor task: saved files are reloaded, deleted files come back from the
// start-up copy, the service's own writes go unnoticed, and the task ends
// promptly when asked to.
#include <stdio.h>

#include <stdexcept>

#include "config/ConfigMonitorTask.h"
#include "core/ExitEvent.h"
#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "support/Prelude.h"

// The task classes live outside any namespace so that their run-time names
// are the plain "class Name" the log lines print.

// Ends with 7 when its gate opens, or with 8 once stopped. A stubborn one
// ignores the stop request, as a task blocked in a call would, and still uses
// its own memory afterwards.
class GateTask : public CTask {
public:
    explicit GateTask(std::atomic<int>* deleted = nullptr, bool stubborn = false)
        : m_deleted(deleted), m_stubborn(stubborn), m_gate(CreateEvent(true, false)) {}
    ~GateTask() override {
        CloseHandle(m_gate);
        if (m_deleted != nullptr) ++*m_deleted;
    }
    DWORD Run() override {
        while (m_stubborn || IsRunning()) {
            UpdateActivityTime();
            if (WaitForSingleObject(m_gate, 20) == WAIT_OBJECT_0) return 7;
        }
        return 8;
    }
    void Open() { SetEvent(m_gate); }
    HANDLE Gate() const { return m_gate; }

private:
    std::atomic<int>* m_deleted;
    bool m_stubborn;
    HANDLE m_gate;
};

class ThrowingTask : public GateTask {
public:
    using GateTask::GateTask;
    DWORD Run() override { throw std::runtime_error("boom"); }
};

// Fails Init, or Start after a good Init.
class RefusingTask : public CTask {
public:
    explicit RefusingTask(bool initOk) : m_initOk(initOk) {}
    bool Init() override { return m_initOk && CTask::Init(); }
    bool Start() override { return false; }
    const bool m_initOk;
};

namespace {

constexpr DWORD kEventWaitMs = 5000;

std::string ConfigFile(const std::string& name) { return testenv::ConfigDir() + "/" + name; }

std::string Detected(const std::string& name, const char* action) {
    return "[CConfigMonitorTask][OnDirContentChange] Detected FileName = " + name + " " + action + " Action.\n";
}

class ConfigMonitorTest : public testenv::LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
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
    }

    // Touches a file nobody monitors until its change is logged: from then on
    // the folder is watched, and every change made before the touch has been
    // handled (records are handled in order).
    void WaitUntilWatching() {
        static int probes = 0;
        const std::string name = "probe-" + std::to_string(++probes) + ".txt";
        const bool seen = testenv::WaitFor(
            [&] {
                testenv::WriteFile(ConfigFile(name), "x");
                return WaitForLog(Detected(name, "Modify"), 100);
            },
            kEventWaitMs);
        testenv::RemoveFile(ConfigFile(name));
        ASSERT_TRUE(seen) << "the monitor never reported a change";
    }

    CConfigMonitorTask* m_task = nullptr;
};

// Saving ProgramLog.conf changes the level of the program log about a second
// later, whether the file is rewritten in place or renamed into place.
TEST_F(ConfigMonitorTest, SavedProgramLogConfChangesTheLogLevel) {
    const ConfigInt& level = CConfigManager::GetInstance()->m_ProgramLog.LogLevel;
    ASSERT_EQ(level.Get(), 31);

    testenv::WriteProgramLog(1, 1, 1, 0, 3, 0);
    ASSERT_TRUE(testenv::WaitFor([&] { return level.Get() == 3; }, kEventWaitMs));
    EXPECT_EQ(LogCount(Detected("ProgramLog.conf", "Modify")), 1u);

    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[ConfigMonitorTest]", "info while 3\n");
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, "[ConfigMonitorTest]", "warn while 3\n");
    EXPECT_FALSE(Logged("info while 3"));
    EXPECT_TRUE(Logged("warn while 3"));

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
    EXPECT_EQ(LogCount(Detected("ZelkAdv.conf", "Delete")), 1u);
    EXPECT_EQ(LogCount("[CConfigMonitorTask][DoBackupConfigFile] Restore File = ZelkAdv.conf Succeed!\n"), 1u);
}

// The service's own writes (ISFULL into Zelk.conf) are no edits: neither
// their temporary files nor the file itself are reported or reloaded. An
// operator's edit that such a write carries along is still reloaded.
TEST_F(ConfigMonitorTest, OwnWritesAreNotTakenForEdits) {
    const std::string path = ConfigFile("Zelk.conf");
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "1", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "0", path.c_str()));
    WaitUntilWatching();  // both writes have been handled
    EXPECT_FALSE(Logged("Zelk.conf")) << LogText();
    EXPECT_FALSE(Logged("varnholt-tmp")) << LogText();

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
    EXPECT_EQ(LogCount(Detected("Zelk.conf", "Modify")), 1u) << LogText();
    EXPECT_FALSE(Logged(Detected("Zelk.conf", "Delete"))) << LogText();
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
    m_task = new CConfigMonitorTask();
    ASSERT_TRUE(m_task->Init() && m_task->Start());
    WaitUntilWatching();
    testenv::WriteFile(ConfigFile("updatesql.conf"), testenv::ReadFile(ConfigFile("updatesql.conf")));
    ASSERT_TRUE(WaitForLog(Detected("updatesql.conf", "Modify"), kEventWaitMs));
    ASSERT_TRUE(SetExitEvent());
    const DWORD rc = WaitForSingleObject(m_task->GetThreadHandle(), 3000);
    ResetEvent(GetExitEvent());
    EXPECT_EQ(rc, WAIT_OBJECT_0);
}

class TaskManagerTest : public testenv::LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        Manager().SetReaperPeriod(50);
        ASSERT_TRUE(Manager().Init());
    }
    void TearDown() override {
        Manager().UnInit();
        Manager().SetReaperPeriod(CTaskManager::kReaperPeriodMs);
    }
    static CTaskManager& Manager() { return *CTaskManager::GetInstance(); }
};

// A task that fails Init or Start, or any task once the manager is down, is
// not registered; a stranger is neither removed (deleted) nor detached.
TEST_F(TaskManagerTest, RegistrationFailuresLeaveTheListUnchanged) {
    RefusingTask noInit(false);
    RefusingTask noStart(true);
    EXPECT_FALSE(Manager().AddTask(&noInit));
    EXPECT_FALSE(Manager().AddTask(&noStart));
    EXPECT_EQ(Manager().TaskCount(), 0u);
    GateTask stranger;
    EXPECT_FALSE(Manager().RemoveTask(&stranger));
    EXPECT_FALSE(Manager().DetachTask(&stranger));

    Manager().UnInit();
    EXPECT_FALSE(Manager().AddTask(&stranger));
    // The reaper ended with the manager's stop signal (index 1).
    EXPECT_TRUE(Logged("[CTaskManager][TaskCheckProcess] Exit With Wait Code = 1"));
    ASSERT_TRUE(Manager().Init());
}

// A task runs on its own thread until Run returns; the reaper then takes
// every ended task off the list and deletes only those set to auto-delete,
// reporting a task that ended by an exception.
TEST_F(TaskManagerTest, ReaperRemovesEndedTasksAndDeletesOnlyAutoDelete) {
    std::atomic<int> deleted{0};
    auto* kept = new GateTask(&deleted);
    auto* dropped = new GateTask(&deleted);
    dropped->SetAutoDelete(true);
    ASSERT_TRUE(Manager().AddTask(kept));
    ASSERT_TRUE(Manager().AddTask(dropped));
    ASSERT_TRUE(testenv::WaitFor([&] { return kept->GetState() == TASK_STATE_RUNNING; }, 2000));
    EXPECT_TRUE(kept->IsAlive());
    EXPECT_EQ(Manager().WaitForSingleTask(kept, 0), WAIT_TIMEOUT);

    kept->Open();
    EXPECT_EQ(Manager().WaitForSingleTask(kept, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(kept->GetState(), TASK_STATE_RETURNED);
    EXPECT_FALSE(kept->IsAlive());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(kept->GetThreadHandle(), &code));
    EXPECT_EQ(code, 7u);
    dropped->Open();
    ASSERT_TRUE(testenv::WaitFor([&] { return Manager().TaskCount() == 0 && deleted.load() == 1; }, 5000));
    EXPECT_FALSE(Logged("Exit In Exception"));
    delete kept;

    auto* thrower = new ThrowingTask(&deleted);
    thrower->SetAutoDelete(true);
    ASSERT_TRUE(Manager().AddTask(thrower));
    ASSERT_TRUE(testenv::WaitFor([&] { return deleted.load() == 3; }, 5000));
    EXPECT_TRUE(Logged("[ERROR][TID="));
    EXPECT_TRUE(Logged("[CTask::_Run]Exception Occur In class ThrowingTask\n"));
    EXPECT_TRUE(Logged("[CTaskManager]Find Task class ThrowingTask Exit In Exception!\n"));
    EXPECT_EQ(Manager().TaskCount(), 0u);
}

// More than 64 tasks or handles are waited for through waiter threads of 64
// each; the result is the index of the one that ended. StopAllTask ends the
// tasks that loop on their running flag.
TEST_F(TaskManagerTest, WaitsOverMoreThanSixtyFourTasksAndHandlesAndStopAll) {
    std::vector<GateTask*> tasks;
    for (int i = 0; i < 130; ++i) {
        tasks.push_back(new GateTask());
        ASSERT_TRUE(Manager().AddTask(tasks.back()));
    }
    std::vector<CTask*> list(tasks.begin(), tasks.end());
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, false, 50), WAIT_TIMEOUT);
    tasks[69]->Open();
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, false, 5000), 69u);
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, true, 50), WAIT_TIMEOUT);
    Manager().StopAllTask();
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, true, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(Manager().WaitForAllTask(5000), WAIT_OBJECT_0);
    for (GateTask* t : tasks) {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t->GetThreadHandle(), &code));
        EXPECT_EQ(code, t == tasks[69] ? 7u : 8u);
        if (!Manager().RemoveTask(t)) delete t;  // the fast reaper may have taken it off already
    }

    std::vector<HANDLE> events;
    for (int i = 0; i < 200; ++i) events.push_back(CreateEvent(true, false));
    SetEvent(events[199]);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(events.data(), 200, false, 5000), 199u);
    SetEvent(events[130]);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(events.data(), 200, false, 5000), 130u);
    for (HANDLE e : events) CloseHandle(e);
}

// A task whose thread does not end in time is never freed under it: it is
// handed to the reaper, which deletes it once the thread has ended. An ended
// task is deleted at once.
TEST_F(TaskManagerTest, StuckTaskIsHandedToTheReaperNotFreed) {
    std::atomic<int> deleted{0};
    auto* task = new GateTask(&deleted, true);
    ASSERT_TRUE(task->Init() && task->Start());
    EXPECT_FALSE(task->WaitForExit(50));
    EXPECT_TRUE(Logged("class GateTask Did Not End In Time"));
    // The task is the reaper's from here: the gate is opened through a
    // reference of our own, since the task may be freed while it is set.
    HANDLE gate = task->Gate();
    gate->AddRef();
    Manager().DeleteWhenEnded(task);
    EXPECT_EQ(deleted.load(), 0);
    SetEvent(gate);  // the thread finishes, touching the object, then the reaper frees it
    ASSERT_TRUE(testenv::WaitFor([&] { return deleted.load() == 1; }, 5000));
    CloseHandle(gate);

    auto* ended = new GateTask(&deleted);
    ASSERT_TRUE(ended->Init() && ended->Start());
    ended->Open();
    ASSERT_TRUE(ended->WaitForExit(5000));
    Manager().DeleteWhenEnded(ended);
    EXPECT_EQ(deleted.load(), 2);
}

}  // namespace
