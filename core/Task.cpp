#include "core/Task.h"

#include <algorithm>
#include <memory>
#include <string>
#include <typeinfo>

#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/TypeName.h"
#include "core/modules/CSLocker.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

// Logs one line that names the task's run-time class, under the type-name lock.
void LogTaskLine(DWORD level, const char* classTag, const char* format, const CTask* task) {
    CCSLocker lock(TypeNameLock());
    std::string name = RuntimeClassName(typeid(*task));
    Log(CProgramLogRecorder::GetInstance(), level, classTag, format, name.c_str());
}

constexpr DWORD kGroupSize = MAXIMUM_WAIT_OBJECTS;

// State shared by WaitForManyHandles and its waiter threads. Waiters may
// outlive the call (they are cancelled, never killed), so everything they
// touch lives here, and the handles are referenced until the last user ends.
struct ManyWaitState {
    struct Group {
        std::atomic<DWORD> result{WAIT_FAILED};
        DWORD first = 0;
        DWORD count = 0;
    };

    explicit ManyWaitState(DWORD groupCount) : groups(groupCount) {}
    ~ManyWaitState() {
        for (HANDLE h : handles) h->Release();
        if (cancel != nullptr) CloseHandle(cancel);
    }

    std::vector<HANDLE> handles;
    std::vector<Group> groups;
    HANDLE cancel = nullptr;
    bool waitAll = false;
    DWORD timeoutMs = 0;
};

struct WaiterArg {
    std::shared_ptr<ManyWaitState> state;
    DWORD group;
};

DWORD ManyWaiterThread(void* param) {
    std::unique_ptr<WaiterArg> arg(static_cast<WaiterArg*>(param));
    ManyWaitState& s = *arg->state;
    ManyWaitState::Group& g = s.groups[arg->group];
    DWORD rc = WaitForMultipleObjectsOrCancel(g.count, &s.handles[g.first], s.waitAll, s.timeoutMs, s.cancel);
    g.result.store(rc);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CTask

CTask::CTask() : m_hStopRequested(CreateEvent(true, false)) {}

CTask::~CTask() {
    if (m_hStopRequested != nullptr) CloseHandle(m_hStopRequested);
    if (m_hThread != nullptr) CloseHandle(m_hThread);
    m_hThread = nullptr;
    m_nRunning.store(0);
    m_dwThreadId = 0;
}

bool CTask::Init() {
    m_nState.store(TASK_STATE_INITIALISED);
    return true;
}

bool CTask::Release() {
    if (m_hThread != nullptr) CloseHandle(m_hThread);
    m_hThread = nullptr;
    m_dwThreadId = 0;
    m_nRunning.store(0);
    return true;
}

bool CTask::Start() {
    m_nRunning.store(1, std::memory_order_release);
    if (m_hStopRequested != nullptr) ResetEvent(m_hStopRequested);
    DWORD threadId = 0;
    HANDLE thread = CreateThread(&CTask::_Run, this, &threadId);
    if (thread == nullptr) return false;
    m_hThread = thread;
    m_dwThreadId = threadId;
    return true;
}

bool CTask::Stop() {
    m_nRunning.store(0, std::memory_order_release);
    if (m_hStopRequested != nullptr) SetEvent(m_hStopRequested);
    return true;
}

DWORD CTask::WaitForStop(DWORD timeoutMs) {
    HANDLE waits[2] = {GetExitEvent(), m_hStopRequested};
    if (waits[0] == nullptr || waits[1] == nullptr) return WAIT_FAILED;
    return WaitForMultipleObjects(2, waits, false, timeoutMs);
}

bool CTask::WaitForExit(DWORD timeoutMs) {
    m_nRunning.store(0, std::memory_order_release);
    if (m_hStopRequested != nullptr) SetEvent(m_hStopRequested);
    if (m_hThread == nullptr) return false;
    if (WaitForSingleObject(m_hThread, timeoutMs) == WAIT_OBJECT_0) return true;
    LogTaskLine(LOG_LEVEL_WARN, "[CTask::WaitForExit]", "%s Did Not End In Time; Its Thread Is Left Running\n", this);
    return false;
}

bool CTask::IsAlive() { return WaitForSingleObject(m_hThread, 0) != WAIT_OBJECT_0; }

DWORD CTask::Run() { return 0; }

void CTask::UpdateActivityTime() { m_dwActivityTime.store(timeGetTime(), std::memory_order_relaxed); }

DWORD CTask::_Run(void* param) {
    auto* task = static_cast<CTask*>(param);
    if (task == nullptr) return 0;
    task->m_nState.store(TASK_STATE_RUNNING);
    task->UpdateActivityTime();
    try {
        DWORD code = task->Run();
        task->m_nState.store(TASK_STATE_RETURNED);
        return code;
    } catch (...) {
        // The state stays "running": that is how the reaper recognises an
        // abnormal end.
        LogTaskLine(LOG_LEVEL_ERROR, "[CTask::_Run]", "Exception Occur In %s\n", task);
        return 0;
    }
}

// ---------------------------------------------------------------------------
// CTaskManager

CTaskManager* CTaskManager::GetInstance() {
    // Never destroyed: a reaper or waiter thread may outlive main.
    static CTaskManager* instance = new CTaskManager();
    return instance;
}

bool CTaskManager::Init() {
    bool ok = InitializeCriticalSectionAndSpinCount(&m_csTaskList, kCsSpinCount);
    m_Reaper.Start(&CTaskManager::TaskCheckProcess, this);  // a failure to start it is not reported
    if (ok) m_nInitialised.store(1);
    return ok;
}

bool CTaskManager::UnInit() {
    m_nInitialised.store(0);
    m_Reaper.Stop(kReaperStopWaitMs);
    DeleteCriticalSection(&m_csTaskList);
    return true;
}

bool CTaskManager::AddTask(CTask* task) {
    if (task == nullptr || !IsInitialised()) return false;
    if (!task->Init() || !task->Start()) return false;
    CCSLocker lock(&m_csTaskList);
    m_TaskList.push_back(task);
    return true;
}

bool CTaskManager::RemoveTask(CTask* task) {
    if (task == nullptr || !IsInitialised()) return false;
    CCSLocker lock(&m_csTaskList);
    auto it = std::find(m_TaskList.begin(), m_TaskList.end(), task);
    if (it == m_TaskList.end()) return false;
    task->Release();
    delete task;
    m_TaskList.erase(it);
    return true;
}

bool CTaskManager::DetachTask(CTask* task) {
    if (task == nullptr || !IsInitialised()) return false;
    CCSLocker lock(&m_csTaskList);
    auto it = std::find(m_TaskList.begin(), m_TaskList.end(), task);
    if (it == m_TaskList.end()) return false;
    m_TaskList.erase(it);
    return true;
}

void CTaskManager::StopAllTask() {
    if (!IsInitialised()) return;
    CCSLocker lock(&m_csTaskList);
    for (CTask* task : m_TaskList) task->Stop();
}

size_t CTaskManager::TaskCount() {
    CCSLocker lock(&m_csTaskList);
    return m_TaskList.size();
}

DWORD CTaskManager::WaitForSingleTask(CTask* task, DWORD timeoutMs) {
    if (task == nullptr) return WAIT_FAILED;
    if (!IsInitialised()) return WAIT_OBJECT_0;
    HANDLE thread = nullptr;
    {
        CCSLocker lock(&m_csTaskList);
        if (std::find(m_TaskList.begin(), m_TaskList.end(), task) == m_TaskList.end()) {
            LogTaskLine(LOG_LEVEL_WARN, "[CTaskManager::WaitForSingleTask]", "%s Does Not In The TaskManager\n", task);
        }
        thread = task->GetThreadHandle();
        if (thread != nullptr) thread->AddRef();  // the reaper may delete the task while we wait
    }
    if (thread == nullptr) {
        LogTaskLine(LOG_LEVEL_WARN, "[CTaskManager::WaitForSingleTask]", "Invalid Thread Handle In %s\n", task);
        return WAIT_FAILED;
    }
    DWORD rc = WaitForSingleObject(thread, timeoutMs);
    thread->Release();
    return rc;
}

DWORD CTaskManager::WaitForMultiTask(CTask* const* tasks, DWORD count, bool waitAll, DWORD timeoutMs) {
    if (tasks == nullptr) return WAIT_FAILED;
    if (!IsInitialised()) return WAIT_OBJECT_0;
    std::vector<HANDLE> handles;
    {
        // Collected under the list lock, with a reference each, so that a
        // task reaped meanwhile cannot take its handle away from the wait.
        CCSLocker lock(&m_csTaskList);
        for (DWORD i = 0; i < count; ++i) {
            CTask* task = tasks[i];
            if (task == nullptr) continue;
            HANDLE thread = task->GetThreadHandle();
            if (thread == nullptr) {
                LogTaskLine(LOG_LEVEL_WARN, "[CTaskManager::WaitForMultiTask]", "Invalid Thread Handle In %s\n", task);
                continue;
            }
            thread->AddRef();
            handles.push_back(thread);
        }
    }
    DWORD rc = WAIT_OBJECT_0;  // nothing to wait for
    if (!handles.empty()) {
        const auto n = static_cast<DWORD>(handles.size());
        rc = n <= MAXIMUM_WAIT_OBJECTS ? WaitForMultipleObjects(n, handles.data(), waitAll, timeoutMs)
                                       : WaitForManyHandles(handles.data(), n, waitAll, timeoutMs);
    }
    for (HANDLE h : handles) h->Release();
    return rc;
}

DWORD CTaskManager::WaitForAllTask(DWORD timeoutMs) {
    if (!IsInitialised()) return WAIT_OBJECT_0;
    std::vector<CTask*> copy;
    {
        CCSLocker lock(&m_csTaskList);
        copy = m_TaskList;
    }
    // An empty list has nothing to wait for (and no array to pass).
    DWORD rc = copy.empty() ? WAIT_OBJECT_0
                            : WaitForMultiTask(copy.data(), static_cast<DWORD>(copy.size()), true, timeoutMs);
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[CTaskManager]", "[WaitForAllTask] Wait Ret = %u\n", rc);
    return rc;
}

void CTaskManager::DeleteWhenEnded(CTask* task) {
    if (task == nullptr) return;
    if (task->GetThreadHandle() == nullptr || !task->IsAlive()) {
        DetachTask(task);
        delete task;
        return;
    }
    task->SetAutoDelete(true);
    CCSLocker lock(&m_csTaskList);
    if (std::find(m_TaskList.begin(), m_TaskList.end(), task) == m_TaskList.end()) m_TaskList.push_back(task);
}

DWORD CTaskManager::WaitForManyHandles(const HANDLE* handles, DWORD count, bool waitAll, DWORD timeoutMs) {
    if (handles == nullptr || count > kMaxManyHandles) return WAIT_FAILED;

    std::vector<HANDLE> live;
    for (DWORD i = 0; i < count; ++i) {
        if (handles[i] != nullptr) live.push_back(handles[i]);
    }
    if (live.empty()) return WAIT_FAILED;

    const auto groupCount = static_cast<DWORD>((live.size() + kGroupSize - 1) / kGroupSize);
    auto state = std::make_shared<ManyWaitState>(groupCount);
    state->cancel = CreateEvent(true, false);
    if (state->cancel == nullptr) return WAIT_FAILED;
    state->waitAll = waitAll;
    state->timeoutMs = timeoutMs;
    for (HANDLE h : live) {
        h->AddRef();
        state->handles.push_back(h);
    }

    std::vector<HANDLE> waiters;
    std::vector<DWORD> waiterGroup;
    for (DWORD g = 0; g < groupCount; ++g) {
        state->groups[g].first = g * kGroupSize;
        state->groups[g].count = std::min<DWORD>(kGroupSize, static_cast<DWORD>(live.size()) - g * kGroupSize);
        auto* arg = new WaiterArg{state, g};
        HANDLE waiter = CreateThread(&ManyWaiterThread, arg, nullptr);
        if (waiter == nullptr) {
            delete arg;
            continue;
        }
        waiters.push_back(waiter);
        waiterGroup.push_back(g);
    }
    if (waiters.empty()) return WAIT_FAILED;

    DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(waiters.size()), waiters.data(), waitAll, timeoutMs);
    DWORD result = rc;
    if (rc < WAIT_OBJECT_0 + waiters.size()) {
        const DWORD g = waiterGroup[rc - WAIT_OBJECT_0];
        const DWORD groupResult = state->groups[g].result.load();
        result = (groupResult == WAIT_TIMEOUT || groupResult == WAIT_FAILED) ? groupResult : g * kGroupSize + groupResult;
    }

    // Waiters still waiting are cancelled (they cannot be killed); the shared
    // state keeps what they use alive until the last one has ended.
    SetEvent(state->cancel);
    for (HANDLE w : waiters) CloseHandle(w);
    return result;
}

DWORD CTaskManager::TaskCheckProcess(void* param) {
    auto* manager = static_cast<CTaskManager*>(param);
    if (manager == nullptr) return static_cast<DWORD>(-1);
    for (;;) {
        DWORD rc = manager->m_Reaper.WaitPeriod(manager->m_dwReaperPeriodMs);
        if (rc != WAIT_TIMEOUT) {
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_DEBUG, "[CTaskManager]",
                "[TaskCheckProcess] Exit With Wait Code = %u", rc);
            return 0;
        }
        manager->ReapEndedTasks();
    }
}

void CTaskManager::ReapEndedTasks() {
    CCSLocker lock(&m_csTaskList);
    for (auto it = m_TaskList.begin(); it != m_TaskList.end();) {
        CTask* task = *it;
        if (WaitForSingleTask(task, 0) != WAIT_OBJECT_0) {
            ++it;
            continue;
        }
        if (task->GetState() != TASK_STATE_RETURNED) {
            LogTaskLine(LOG_LEVEL_WARN, "[CTaskManager]", "Find Task %s Exit In Exception!\n", task);
        }
        if (task->IsAutoDelete()) {
            task->Release();
            delete task;
        }
        it = m_TaskList.erase(it);
    }
}
