#include "core/Task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "support/TestEnv.h"

// The task classes live outside any namespace so that their run-time names
// are the plain "class Name" the log lines print.

// A task that ends when its event is set or its running flag is cleared.
class GateTask : public CTask {
public:
    explicit GateTask(std::atomic<int>* deleted = nullptr) : m_deleted(deleted), m_gate(CreateEvent(true, false)) {}
    ~GateTask() override {
        CloseHandle(m_gate);
        if (m_deleted != nullptr) ++*m_deleted;
    }
    DWORD Run() override {
        while (IsRunning()) {
            UpdateActivityTime();
            if (WaitForSingleObject(m_gate, 20) == WAIT_OBJECT_0) return 7;
        }
        return 8;
    }
    void Open() { SetEvent(m_gate); }

private:
    std::atomic<int>* m_deleted;
    HANDLE m_gate;
};

class ThrowingTask : public CTask {
public:
    explicit ThrowingTask(std::atomic<int>* deleted) : m_deleted(deleted) {}
    ~ThrowingTask() override { ++*m_deleted; }
    DWORD Run() override { throw std::runtime_error("boom"); }

private:
    std::atomic<int>* m_deleted;
};

class FailingStartTask : public CTask {
public:
    bool Start() override { return false; }
};

class FailingInitTask : public CTask {
public:
    bool Init() override { return false; }
};

class StuckTask : public CTask {
public:
    StuckTask(HANDLE hold, std::atomic<int>* deleted) : m_hold(hold), m_deleted(deleted) {}
    ~StuckTask() override { ++*m_deleted; }
    DWORD Run() override {
        // Ignores its running flag, as a task blocked in a call would.
        WaitForSingleObject(m_hold, INFINITE);
        m_touched = 1;  // still uses its own memory after the stop request
        return 0;
    }
    HANDLE m_hold;
    std::atomic<int>* m_deleted;
    std::atomic<int> m_touched{0};
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
    std::string LogText() const { return testenv::ReadFile(m_log); }

    std::string m_log;
};

TEST_F(TaskManagerTest, RegistrationFailuresLeaveTheListUnchanged) {
    const size_t before = Manager().TaskCount();
    FailingStartTask noStart;
    FailingInitTask noInit;
    EXPECT_FALSE(Manager().AddTask(&noStart));
    EXPECT_FALSE(Manager().AddTask(&noInit));
    EXPECT_FALSE(Manager().AddTask(nullptr));
    EXPECT_EQ(Manager().TaskCount(), before);
    EXPECT_EQ(noInit.GetState(), TASK_STATE_CONSTRUCTED);

    GateTask stranger;
    EXPECT_FALSE(Manager().RemoveTask(&stranger));  // not registered: nothing deleted
    EXPECT_FALSE(Manager().DetachTask(&stranger));
}

TEST_F(TaskManagerTest, LifecycleOfANormalTask) {
    auto* task = new GateTask();
    EXPECT_EQ(task->GetState(), TASK_STATE_CONSTRUCTED);
    ASSERT_TRUE(Manager().AddTask(task));
    EXPECT_TRUE(task->IsRunning());
    ASSERT_TRUE(testenv::WaitFor([&] { return task->GetState() == TASK_STATE_RUNNING; }, 2000));
    EXPECT_NE(task->GetThreadId(), 0u);
    EXPECT_TRUE(task->IsAlive());
    EXPECT_EQ(Manager().WaitForSingleTask(task, 0), WAIT_TIMEOUT);

    task->Open();
    EXPECT_EQ(Manager().WaitForSingleTask(task, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(task->GetState(), TASK_STATE_RETURNED);
    EXPECT_FALSE(task->IsAlive());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(task->GetThreadHandle(), &code));
    EXPECT_EQ(code, 7u);
    RemoveOrDelete(task);
}

TEST_F(TaskManagerTest, ThrowingTaskIsReportedTwiceAndReaped) {
    std::atomic<int> deleted{0};
    auto* task = new ThrowingTask(&deleted);
    task->SetAutoDelete(true);
    ASSERT_TRUE(Manager().AddTask(task));
    ASSERT_TRUE(testenv::WaitFor([&] { return deleted.load() == 1; }, 5000));
    std::string text = LogText();
    EXPECT_NE(text.find("[ERROR][TID="), std::string::npos);
    EXPECT_NE(text.find("[CTask::_Run]Exception Occur In class ThrowingTask\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[WARN][TID="), std::string::npos);
    EXPECT_NE(text.find("[CTaskManager]Find Task class ThrowingTask Exit In Exception!\n"), std::string::npos)
        << text;
    EXPECT_EQ(Manager().TaskCount(), 0u);
}

TEST_F(TaskManagerTest, ReaperRemovesEndedTasksAndDeletesOnlyAutoDelete) {
    std::atomic<int> deleted{0};
    auto* kept = new GateTask(&deleted);
    auto* dropped = new GateTask(&deleted);
    dropped->SetAutoDelete(true);
    ASSERT_TRUE(Manager().AddTask(kept));
    ASSERT_TRUE(Manager().AddTask(dropped));
    kept->Open();
    dropped->Open();
    ASSERT_TRUE(testenv::WaitFor([&] { return Manager().TaskCount() == 0; }, 5000));
    ASSERT_TRUE(testenv::WaitFor([&] { return deleted.load() == 1; }, 5000));
    EXPECT_EQ(kept->GetState(), TASK_STATE_RETURNED);
    EXPECT_EQ(LogText().find("Exit In Exception"), std::string::npos);
    delete kept;
    EXPECT_EQ(deleted.load(), 2);
}

TEST_F(TaskManagerTest, StopAllTaskEndsLoopingTasks) {
    std::vector<GateTask*> tasks;
    for (int i = 0; i < 5; ++i) {
        tasks.push_back(new GateTask());
        ASSERT_TRUE(Manager().AddTask(tasks.back()));
    }
    Manager().StopAllTask();
    EXPECT_EQ(Manager().WaitForAllTask(5000), WAIT_OBJECT_0);
    for (GateTask* t : tasks) {
        DWORD code = 0;
        GetExitCodeThread(t->GetThreadHandle(), &code);
        EXPECT_EQ(code, 8u);
        RemoveOrDelete(t);
    }
    EXPECT_NE(LogText().find("[INFO][TID="), std::string::npos);
    EXPECT_NE(LogText().find("[CTaskManager][WaitForAllTask] Wait Ret = 0\n"), std::string::npos);
}

TEST_F(TaskManagerTest, WaitForAllTaskWithNothingToWaitForReturnsAtOnce) {
    EXPECT_EQ(Manager().WaitForAllTask(INFINITE), WAIT_OBJECT_0);
    CTask* none[2] = {nullptr, nullptr};
    EXPECT_EQ(Manager().WaitForMultiTask(none, 2, true, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(Manager().WaitForMultiTask(nullptr, 2, true, 0), WAIT_FAILED);
    EXPECT_EQ(Manager().WaitForSingleTask(nullptr, 0), WAIT_FAILED);
}

TEST_F(TaskManagerTest, WaitingOnUnregisteredOrThreadlessTasksWarns) {
    GateTask never;  // never started: no thread handle
    EXPECT_EQ(Manager().WaitForSingleTask(&never, 0), WAIT_FAILED);
    CTask* list[1] = {&never};
    EXPECT_EQ(Manager().WaitForMultiTask(list, 1, false, 0), WAIT_OBJECT_0);
    std::string text = LogText();
    EXPECT_NE(text.find("[CTaskManager::WaitForSingleTask]class GateTask Does Not In The TaskManager\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[CTaskManager::WaitForSingleTask]Invalid Thread Handle In class GateTask\n"),
              std::string::npos);
    EXPECT_NE(text.find("[CTaskManager::WaitForMultiTask]Invalid Thread Handle In class GateTask\n"),
              std::string::npos);

    // A started but unregistered task is still waited for.
    GateTask loose;
    ASSERT_TRUE(loose.Init() && loose.Start());
    loose.Open();
    EXPECT_EQ(Manager().WaitForSingleTask(&loose, 5000), WAIT_OBJECT_0);
}

TEST_F(TaskManagerTest, WaitForMultiTaskOver130TasksReturnsTheEndedIndex) {
    std::vector<GateTask*> tasks;
    for (int i = 0; i < 130; ++i) {
        tasks.push_back(new GateTask());
        ASSERT_TRUE(Manager().AddTask(tasks.back()));
    }
    std::vector<CTask*> list(tasks.begin(), tasks.end());
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, false, 50), WAIT_TIMEOUT);
    tasks[69]->Open();
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, false, 5000), 69u);

    // Wait-all: times out while any task runs, then succeeds.
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, true, 50), WAIT_TIMEOUT);
    for (GateTask* t : tasks) t->Open();
    EXPECT_EQ(Manager().WaitForMultiTask(list.data(), 130, true, 10000), WAIT_OBJECT_0);
    for (GateTask* t : tasks) RemoveOrDelete(t);
}

TEST_F(TaskManagerTest, WaitForManyHandlesLimitsAndIndexes) {
    EXPECT_EQ(CTaskManager::WaitForManyHandles(nullptr, 10, false, 0), WAIT_FAILED);
    std::vector<HANDLE> events;
    for (int i = 0; i < 200; ++i) events.push_back(CreateEvent(true, false));
    std::vector<HANDLE> tooMany(4097, events[0]);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(tooMany.data(), 4097, false, 0), WAIT_FAILED);

    SetEvent(events[199]);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(events.data(), 200, false, 5000), 199u);
    SetEvent(events[130]);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(events.data(), 200, false, 5000), 130u);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(events.data(), 200, true, 30), WAIT_TIMEOUT);
    for (HANDLE e : events) SetEvent(e);
    EXPECT_EQ(CTaskManager::WaitForManyHandles(events.data(), 200, true, 5000), WAIT_OBJECT_0);
    // Null entries are left out before grouping.
    std::vector<HANDLE> gappy{nullptr, events[5]};
    EXPECT_EQ(CTaskManager::WaitForManyHandles(gappy.data(), 2, false, 1000), 0u);
    for (HANDLE e : events) CloseHandle(e);
}

TEST_F(TaskManagerTest, StuckTaskIsHandedToTheReaperNotFreed) {
    std::atomic<int> deleted{0};
    HANDLE hold = CreateEvent(true, false);
    auto* task = new StuckTask(hold, &deleted);
    ASSERT_TRUE(task->Init() && task->Start());
    EXPECT_FALSE(task->WaitForExit(50));
    EXPECT_NE(LogText().find("class StuckTask Did Not End In Time"), std::string::npos);
    Manager().DeleteWhenEnded(task);
    EXPECT_EQ(deleted.load(), 0);
    EXPECT_TRUE(task->IsAutoDelete());
    SetEvent(hold);  // the thread finishes, touching the object, then the reaper frees it
    ASSERT_TRUE(testenv::WaitFor([&] { return deleted.load() == 1; }, 5000));
    CloseHandle(hold);

    auto* ended = new GateTask(&deleted);
    ASSERT_TRUE(ended->Init() && ended->Start());
    ended->Open();
    ASSERT_TRUE(ended->WaitForExit(5000));
    Manager().DeleteWhenEnded(ended);
    EXPECT_EQ(deleted.load(), 2);
}

TEST_F(TaskManagerTest, UninitialisedManagerRefusesWork) {
    Manager().UnInit();
    GateTask task;
    EXPECT_FALSE(Manager().AddTask(&task));
    EXPECT_EQ(Manager().WaitForSingleTask(&task, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Manager().WaitForAllTask(0), WAIT_OBJECT_0);
    // The reaper ended with the manager's stop signal (index 1).
    EXPECT_NE(LogText().find("[DEBUG][TID="), std::string::npos);
    EXPECT_NE(LogText().find("[CTaskManager][TaskCheckProcess] Exit With Wait Code = 1"), std::string::npos);
    ASSERT_TRUE(Manager().Init());
}

TEST(TaskManagerDeathTest, ExitEventEndsTheReaperWithCodeZero) {
    EXPECT_EXIT(
        {
            std::string log = testenv::UseFreshLogDay();
            CTaskManager::GetInstance()->Init();
            CGlobalSharedData::GetInstance()->SetExitEvent();
            bool seen = testenv::WaitFor(
                [&] {
                    return testenv::ReadFile(log).find("[TaskCheckProcess] Exit With Wait Code = 0") !=
                           std::string::npos;
                },
                5000);
            std::exit(seen ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
