#include "core/StoppableThread.h"

#include "core/ExitEvent.h"

CStoppableThread::~CStoppableThread() {
    if (m_hThread != nullptr) CloseHandle(m_hThread);
    if (m_hStop != nullptr) CloseHandle(m_hStop);
}

bool CStoppableThread::Start(LPTHREAD_START_ROUTINE proc, void* arg) {
    if (m_hThread != nullptr) return true;
    if (m_hStop == nullptr) {
        m_hStop = CreateEvent(true, false);
    } else {
        ResetEvent(m_hStop);
    }
    if (m_hStop == nullptr) return false;
    m_hThread = CreateThread(proc, arg, nullptr);
    return m_hThread != nullptr;
}

void CStoppableThread::Stop(DWORD timeoutMs) {
    if (m_hThread == nullptr) return;
    SetEvent(m_hStop);
    WaitForSingleObject(m_hThread, timeoutMs);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
}

DWORD CStoppableThread::WaitPeriod(DWORD periodMs) {
    HANDLE waits[2] = {GetExitEvent(), m_hStop};
    return WaitForMultipleObjects(2, waits, false, periodMs);
}

DWORD CStoppableThread::WaitPeriod(DWORD periodMs, HANDLE work) {
    HANDLE waits[3] = {GetExitEvent(), m_hStop, work};
    return WaitForMultipleObjects(3, waits, false, periodMs);
}
