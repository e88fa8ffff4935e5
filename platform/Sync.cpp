#include "platform/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/Clock.h"

namespace {

// Milliseconds left until deadline, as a poll() time-out (-1 = forever).
int RemainingMs(bool infinite, std::uint64_t deadline) {
    if (infinite) return -1;
    std::uint64_t now = MonotonicMs();
    if (now >= deadline) return 0;
    std::uint64_t left = deadline - now;
    return left > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

}  // namespace

short CKernelObject::PollEvents() const { return POLLIN; }

void CKernelObject::Release() {
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool CloseHandle(HANDLE handle) {
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    handle->Release();
    return true;
}

CEvent* CEvent::Create(bool manualReset, bool initialState) {
    int fd = eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        SetLastError(MapErrno(errno));
        return nullptr;
    }
    return new CEvent(fd, manualReset);
}

CEvent::~CEvent() { close(m_fd); }

bool CEvent::TryAcquire() {
    if (m_bManual) {
        (void)m_nSets.load(std::memory_order_acquire);  // pairs with Set's release
        return true;
    }
    eventfd_t value = 0;
    // Reading resets the counter: exactly one waiter wins the signal.
    return eventfd_read(m_fd, &value) == 0;
}

bool CEvent::Set() {
    // The release is the last touch of the object: a waiter it wakes may
    // free the event (under its own reference) right after.
    const int fd = m_fd;
    m_nSets.fetch_add(1, std::memory_order_release);
    if (eventfd_write(fd, 1) == 0) return true;
    // EAGAIN means the counter is at its maximum: the event is signalled.
    return errno == EAGAIN;
}

bool CEvent::Reset() {
    eventfd_t value = 0;
    while (eventfd_read(m_fd, &value) == 0) {
    }
    return errno == EAGAIN;
}

HANDLE CreateEvent(bool manualReset, bool initialState) { return CEvent::Create(manualReset, initialState); }

bool SetEvent(HANDLE event) {
    auto* ev = dynamic_cast<CEvent*>(event);
    return ev != nullptr && ev->Set();
}

bool ResetEvent(HANDLE event) {
    auto* ev = dynamic_cast<CEvent*>(event);
    return ev != nullptr && ev->Reset();
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs) {
    return WaitForMultipleObjects(1, &handle, false, timeoutMs);
}

// Waits for any of count objects (plus an optional cancel object, polled
// after them). Returns the index, WAIT_TIMEOUT, WAIT_FAILED or
// WAIT_CANCELLED.
static DWORD WaitAny(DWORD count, const HANDLE* handles, DWORD timeoutMs, HANDLE cancel) {
    pollfd fds[MAXIMUM_WAIT_OBJECTS + 1];
    const DWORD total = count + (cancel != nullptr ? 1 : 0);
    for (DWORD i = 0; i < total; ++i) {
        fds[i].fd = (i < count ? handles[i] : cancel)->PollFd();
        fds[i].events = (i < count ? handles[i] : cancel)->PollEvents();
        fds[i].revents = 0;
    }
    const bool infinite = timeoutMs == INFINITE;
    const std::uint64_t deadline = MonotonicMs() + (infinite ? 0 : timeoutMs);
    for (;;) {
        int rc = poll(fds, total, RemainingMs(infinite, deadline));
        if (rc < 0) {
            if (errno == EINTR) continue;
            SetLastError(MapErrno(errno));
            return WAIT_FAILED;
        }
        if (rc == 0) return WAIT_TIMEOUT;
        for (DWORD i = 0; i < total; ++i) {
            if ((fds[i].revents & POLLNVAL) != 0) {
                // A handle closed while being waited on: never spin on it.
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
        }
        for (DWORD i = 0; i < count; ++i) {
            if ((fds[i].revents & (fds[i].events | POLLERR | POLLHUP)) != 0 && handles[i]->TryAcquire()) {
                return WAIT_OBJECT_0 + i;
            }
        }
        if (cancel != nullptr && (fds[count].revents & POLLIN) != 0 && cancel->TryAcquire()) return WAIT_CANCELLED;
        // Every ready auto-reset object was taken by another waiter.
        if (!infinite && RemainingMs(false, deadline) == 0) return WAIT_TIMEOUT;
    }
}

static DWORD WaitObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs, HANDLE cancel) {
    if (handles == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (handles[i] == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    if (!waitAll || count == 1) return WaitAny(count, handles, timeoutMs, cancel);

    const bool infinite = timeoutMs == INFINITE;
    const std::uint64_t deadline = MonotonicMs() + (infinite ? 0 : timeoutMs);
    for (DWORD i = 0; i < count; ++i) {
        int left = RemainingMs(infinite, deadline);
        DWORD rc = WaitAny(1, &handles[i], left < 0 ? INFINITE : static_cast<DWORD>(left), cancel);
        if (rc != WAIT_OBJECT_0) return rc;
    }
    return WAIT_OBJECT_0;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs) {
    return WaitObjects(count, handles, waitAll, timeoutMs, nullptr);
}

DWORD WaitForMultipleObjectsOrCancel(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs,
                                     HANDLE cancel) {
    return WaitObjects(count, handles, waitAll, timeoutMs, cancel);
}

bool InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD /*spinCount*/) {
    if (cs == nullptr) return false;
    cs->initialised.store(true);
    return true;
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    if (cs != nullptr) cs->initialised.store(false);
}

void EnterCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.lock(); }

void LeaveCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.unlock(); }
