// The background thread of a process-wide manager (a reaper or a monitor).
//
// It runs until the process exit event is set or until the manager stops it
// with its own stop signal, so that a manager shut down without the exit
// event (a failed start-up, a test) never leaves it behind. Threads are never
// killed: a thread that does not end within the stop's wait is left to end on
// its own, and may only use objects that live until the process ends.
#pragma once

#include "platform/Sync.h"
#include "platform/Thread.h"

class CStoppableThread {
public:
    CStoppableThread() = default;
    ~CStoppableThread();
    CStoppableThread(const CStoppableThread&) = delete;
    CStoppableThread& operator=(const CStoppableThread&) = delete;

    // Starts proc(arg) unless the thread is already started.
    bool Start(LPTHREAD_START_ROUTINE proc, void* arg);
    // Signals the stop and waits up to timeoutMs for the thread.
    void Stop(DWORD timeoutMs);
    bool IsStarted() const { return m_hThread != nullptr; }

    // For the thread body: waits up to periodMs on the exit event (result 0)
    // and the stop signal (result 1); WAIT_TIMEOUT when neither came.
    DWORD WaitPeriod(DWORD periodMs);
    // The same, also ended by work (result 2).
    DWORD WaitPeriod(DWORD periodMs, HANDLE work);

private:
    HANDLE m_hThread = nullptr;
    HANDLE m_hStop = nullptr;
};
