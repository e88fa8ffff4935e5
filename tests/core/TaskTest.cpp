// Tasks and the task manager: registration, waits, the reaper and the
// deletion of tasks whose threads may still run.
#include "core/Task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Thread.h"
#include "support/TestEnv.h"

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

// Removes a task that the (fast) reaper may already have taken off the list.
void RemoveOrDelete(CTask* task) {
    if (!CTaskManager::GetInstance()->RemoveTask(task)) delete task;
}

class TaskManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        Manager().SetReaperPeriod(50);
        ASSERT_TRUE(Manager().Init());
    }
    void TearDown() override {
        Manager().UnInit();
        Manager().SetReaperPeriod(CTaskManager::kReaperPeriodMs);
        TestClock::Reset();
    }
    static CTaskManager& Manager() { return *CTaskManager::GetInstance(); }
    bool Logged(const std::string& text) const { return testenv::ReadFile(m_log).find(text) != std::string::npos; }

    std::string m_log;
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
        RemoveOrDelete(t);
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
    Manager().DeleteWhenEnded(task);
    EXPECT_EQ(deleted.load(), 0);
    task->Open();  // the thread finishes, touching the object, then the reaper frees it
    ASSERT_TRUE(testenv::WaitFor([&] { return deleted.load() == 1; }, 5000));

    auto* ended = new GateTask(&deleted);
    ASSERT_TRUE(ended->Init() && ended->Start());
    ended->Open();
    ASSERT_TRUE(ended->WaitForExit(5000));
    Manager().DeleteWhenEnded(ended);
    EXPECT_EQ(deleted.load(), 2);
}

}  // namespace
