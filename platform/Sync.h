// Kernel-object style waitables, the one wait function, and critical sections.
//
// Every waitable object (event, thread end, message-queue input signal) is a
// CKernelObject whose readiness is visible through a file descriptor, so that a
// single poll() can wait on events, sockets and message queues together.
// Objects are reference counted: CloseHandle drops the caller's reference.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/WinTypes.h"

class CKernelObject {
public:
    CKernelObject() = default;
    CKernelObject(const CKernelObject&) = delete;
    CKernelObject& operator=(const CKernelObject&) = delete;

    // Descriptor that polls readable while the object may be signalled.
    virtual int PollFd() const = 0;
    // poll() events that mean "may be signalled" (readable by default).
    virtual short PollEvents() const;
    // Called when PollFd() is readable: an auto-reset object consumes its
    // signal and may lose the race to another waiter (returns false).
    virtual bool TryAcquire() = 0;

    void AddRef() { m_nRefs.fetch_add(1, std::memory_order_relaxed); }
    void Release();

protected:
    virtual ~CKernelObject() = default;

private:
    std::atomic<int> m_nRefs{1};
};

using HANDLE = CKernelObject*;

// Drops one reference; the object is destroyed with the last one. A null
// handle returns false.
bool CloseHandle(HANDLE handle);

// An event on an eventfd. Manual-reset events stay signalled until reset;
// auto-reset events release exactly one wait per Set.
class CEvent final : public CKernelObject {
public:
    static CEvent* Create(bool manualReset, bool initialState);

    int PollFd() const override { return m_fd; }
    bool TryAcquire() override;
    bool Set();
    bool Reset();
    bool IsManualReset() const { return m_bManual; }

private:
    CEvent(int fd, bool manual) : m_fd(fd), m_bManual(manual) {}
    ~CEvent() override;

    int m_fd;
    bool m_bManual;
    // Bumped (release) by every Set and read (acquire) by every wait that
    // finds a manual-reset event signalled: such a wait never reads the
    // eventfd, so without it nothing would order what the setter wrote
    // before Set before what the waiter reads after its wait.
    std::atomic<unsigned> m_nSets{0};
};

HANDLE CreateEvent(bool manualReset, bool initialState);
bool SetEvent(HANDLE event);
bool ResetEvent(HANDLE event);

// Waits for one object. Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs);

// Waits for up to 64 objects. Wait-any returns WAIT_OBJECT_0 + the lowest
// signalled index; wait-all returns WAIT_OBJECT_0 once every object was
// signalled within the time-out (used on manual-reset objects and thread
// handles only, which are waited for one after the other). A count of 0 or
// above 64, or a null handle, gives WAIT_FAILED.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs);

// Result of WaitForMultipleObjectsOrCancel when the cancel object was
// signalled first.
constexpr DWORD WAIT_CANCELLED = 0xFFFFFFFEu;

// WaitForMultipleObjects that also ends, with WAIT_CANCELLED, when cancel is
// signalled. For waiter threads that must be ended early: threads are never
// killed here.
DWORD WaitForMultipleObjectsOrCancel(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs,
                                     HANDLE cancel);

// Recursive lock. The spin count has no meaning here and is ignored.
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
    std::atomic<bool> initialised{false};
};

// Spin-count flag that asks Windows to pre-allocate the wait event; accepted
// and ignored.
constexpr DWORD kCsPreallocateEventFlag = 0x80000000u;
constexpr DWORD kCsSpinCount = 1024 | kCsPreallocateEventFlag;

bool InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
