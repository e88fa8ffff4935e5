// Worker threads as tasks, and the registry that starts, waits for and reaps
// them.
//
// A task is an object derived from CTask whose Run is its thread body. Run
// loops while the running flag is 1 and the exit event is unset, and refreshes
// the activity time on every pass. CTaskManager keeps the registered tasks in
// a list (registration order) guarded by one lock, and a reaper thread that
// every 30 s removes the tasks whose threads have ended, reporting those that
// ended by an exception (state still 2).
//
// Lock order: the list lock, then the type-name lock, then the program log's
// locks. Waits on threads happen outside the list lock except the reaper's
// zero-time waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/StoppableThread.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

enum TaskState : std::int32_t {
    TASK_STATE_CONSTRUCTED = 0,
    TASK_STATE_INITIALISED = 1,
    TASK_STATE_RUNNING = 2,
    TASK_STATE_RETURNED = 3,
};

class CTask {
public:
    CTask();
    // Closes the thread handle and clears the running flag and thread id; does
    // not stop the thread (callers stop and wait first).
    virtual ~CTask();
    CTask(const CTask&) = delete;
    CTask& operator=(const CTask&) = delete;

    virtual bool Init();
    virtual bool Release();
    virtual bool Start();
    virtual bool Stop();
    // Clears the running flag and waits for the thread. False without a
    // thread, and false when the thread did not end in time: a thread is never
    // killed, so the object must then not be freed by the caller (see
    // CTaskManager::DeleteWhenEnded).
    virtual bool WaitForExit(DWORD timeoutMs);
    virtual bool IsAlive();
    virtual DWORD Run();

    // Thread procedure: runs task->Run, catching any exception.
    static DWORD _Run(void* task);

    bool IsRunning() const { return m_nRunning.load(std::memory_order_acquire) == 1; }
    // For Run: waits up to timeoutMs for the process exit event (result
    // WAIT_OBJECT_0) or a stop request (WAIT_OBJECT_0 + 1) without waking in
    // between; WAIT_TIMEOUT when neither came.
    DWORD WaitForStop(DWORD timeoutMs);
    void SetAutoDelete(bool autoDelete) { m_nAutoDelete.store(autoDelete ? 1 : 0); }
    bool IsAutoDelete() const { return m_nAutoDelete.load() == 1; }
    std::int32_t GetState() const { return m_nState.load(); }
    HANDLE GetThreadHandle() const { return m_hThread; }
    DWORD GetThreadId() const { return m_dwThreadId; }
    DWORD GetActivityTime() const { return m_dwActivityTime.load(std::memory_order_relaxed); }
    void UpdateActivityTime();

protected:
    std::atomic<std::int32_t> m_nAutoDelete{0};
    std::atomic<std::int32_t> m_nRunning{0};
    HANDLE m_hThread = nullptr;
    HANDLE m_hStopRequested = nullptr;  // manual reset: set by Stop and WaitForExit
    DWORD m_dwThreadId = 0;
    std::atomic<std::int32_t> m_nState{TASK_STATE_CONSTRUCTED};
    std::atomic<DWORD> m_dwActivityTime{0};
};

class CTaskManager {
public:
    static constexpr DWORD kReaperPeriodMs = 30000;
    static constexpr DWORD kReaperStopWaitMs = 5000;
    static constexpr DWORD kMaxManyHandles = 4096;

    static CTaskManager* GetInstance();

    bool Init();
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    bool AddTask(CTask* task);
    bool RemoveTask(CTask* task);
    bool DetachTask(CTask* task);
    void StopAllTask();

    DWORD WaitForSingleTask(CTask* task, DWORD timeoutMs);
    // With no thread handle to wait for, returns WAIT_OBJECT_0 at once.
    DWORD WaitForMultiTask(CTask* const* tasks, DWORD count, bool waitAll, DWORD timeoutMs);
    DWORD WaitForAllTask(DWORD timeoutMs);

    // Deletes a task whose thread has ended; a task whose thread still runs is
    // set to auto-delete and (re)registered, so that the reaper deletes it
    // once the thread has ended. Never frees memory a running thread uses.
    void DeleteWhenEnded(CTask* task);

    // Waits for more than 64 handles through waiter threads of 64 handles
    // each. Returns the index of the handle (wait-any) or the wait code.
    static DWORD WaitForManyHandles(const HANDLE* handles, DWORD count, bool waitAll, DWORD timeoutMs);

    // Reaper period; tests shorten it before Init.
    void SetReaperPeriod(DWORD periodMs) { m_dwReaperPeriodMs = periodMs; }
    size_t TaskCount();

private:
    CTaskManager() = default;

    static DWORD TaskCheckProcess(void* manager);
    void ReapEndedTasks();

    CStoppableThread m_Reaper;
    std::vector<CTask*> m_TaskList;
    CRITICAL_SECTION m_csTaskList;
    std::atomic<std::int32_t> m_nInitialised{0};
    std::atomic<DWORD> m_dwReaperPeriodMs{kReaperPeriodMs};
};
