#include "platform/AsyncFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "platform/CrashHandler.h"
#include "platform/Files.h"

namespace {

std::atomic<bool> g_bHoldWrites{false};
std::atomic<std::int64_t> g_nFailAfter{-1};
// How often a held I/O thread looks at the hook again (tests only).
constexpr auto kHoldPollInterval = std::chrono::milliseconds(5);

// Writes all of length bytes at offset; returns the bytes written and sets
// *error to the errno of a failure (0 when everything was written).
DWORD WriteAllAt(int fd, const BYTE* data, DWORD length, std::uint64_t offset, int* error) {
    DWORD done = 0;
    *error = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<DWORD>(n);
    }
    return done;
}

}  // namespace

void AsyncFileTestHook::HoldWrites(bool hold) { g_bHoldWrites.store(hold); }
void AsyncFileTestHook::FailNextWriteAfter(DWORD bytes) { g_nFailAfter.store(bytes); }

CAsyncFile* CAsyncFile::Create(const char* path, bool overlapped, bool failIfExists) {
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    int fd = open(path, O_RDWR | O_CREAT | (failIfExists ? O_EXCL : O_TRUNC) | O_NOFOLLOW | O_CLOEXEC,
                  kServiceFileMode);
    if (fd < 0) {
        SetLastError(MapErrno(errno));
        return nullptr;
    }
    auto* file = new CAsyncFile(fd, overlapped);
    if (overlapped) {
        try {
            file->m_Thread = std::thread(&CAsyncFile::Run, file);
        } catch (const std::system_error& e) {
            delete file;
            SetLastError(MapErrno(e.code().value()));
            return nullptr;
        }
    }
    return file;
}

bool CAsyncFile::SetSize(std::uint64_t size) {
    if (ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        SetLastError(MapErrno(errno));
        return false;
    }
    return true;
}

CAsyncFile::~CAsyncFile() {
    CancelIo();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    m_Cv.notify_all();
    if (m_Thread.joinable()) m_Thread.join();
    close(m_fd);
}

bool CAsyncFile::WriteFile(const void* data, DWORD length, DWORD* written, OVERLAPPED* ov) {
    if (written != nullptr) *written = 0;
    if ((ov != nullptr) != m_bOverlapped || (data == nullptr && length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (ov == nullptr) {
        int error = 0;
        DWORD done = 0;
        const off_t start = lseek(m_fd, 0, SEEK_CUR);
        while (done < length) {
            ssize_t n = write(m_fd, static_cast<const BYTE*>(data) + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<DWORD>(n);
        }
        // A write cut short (a full disk) is taken back whole, so that a
        // reader of the file never meets half a record.
        if (error != 0 && done != 0 && start >= 0 && ftruncate(m_fd, start) == 0 &&
            lseek(m_fd, start, SEEK_SET) == start) {
            done = 0;
        }
        if (written != nullptr) *written = done;
        if (error != 0) SetLastError(MapErrno(error));
        return error == 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ov->Internal = ERROR_IO_PENDING;
        ov->InternalHigh = 0;
        if (ov->hEvent != nullptr) ResetEvent(ov->hEvent);
        const std::uint64_t offset = (static_cast<std::uint64_t>(ov->OffsetHigh) << 32) | ov->Offset;
        m_Queue.push_back(Request{static_cast<const BYTE*>(data), length, offset, ov});
    }
    m_Cv.notify_all();
    SetLastError(ERROR_IO_PENDING);
    return false;
}

bool CAsyncFile::GetOverlappedResult(OVERLAPPED* ov, DWORD* written, bool wait) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (ov->Internal == ERROR_IO_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return false;
        }
        m_Cv.wait(lock, [ov] { return ov->Internal != ERROR_IO_PENDING; });
    }
    if (written != nullptr) *written = ov->InternalHigh;
    if (ov->Internal != ERROR_SUCCESS) {
        SetLastError(ov->Internal);
        return false;
    }
    return true;
}

bool CAsyncFile::CancelIo() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (const Request& request : m_Queue) Complete(request.ov, 0, ERROR_OPERATION_ABORTED);
    m_Queue.clear();
    m_Cv.notify_all();
    m_Cv.wait(lock, [this] { return !m_bRunning; });
    return true;
}

void CAsyncFile::Complete(OVERLAPPED* ov, DWORD bytes, DWORD error) {
    ov->InternalHigh = bytes;
    ov->Internal = error;
    // Signalled under the lock: a caller that sees the result and submits
    // the record again can never receive this signal for its new request.
    if (ov->hEvent != nullptr) SetEvent(ov->hEvent);
}

void CAsyncFile::Run() {
    InstallCrashAltStack();  // a stack overflow in this thread is still reported
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        if (m_bStop) return;
        if (m_Queue.empty()) {
            m_Cv.wait(lock);
            continue;
        }
        if (g_bHoldWrites.load()) {
            m_Cv.wait_for(lock, kHoldPollInterval);
            continue;
        }
        Request request = m_Queue.front();
        m_Queue.pop_front();
        m_bRunning = true;
        lock.unlock();
        int error = 0;
        DWORD done = 0;
        const std::int64_t failAfter = g_nFailAfter.exchange(-1);
        if (failAfter >= 0 && failAfter < request.length) {
            done = WriteAllAt(m_fd, request.data, static_cast<DWORD>(failAfter), request.offset, &error);
            if (error == 0) error = ENOSPC;
        } else {
            done = WriteAllAt(m_fd, request.data, request.length, request.offset, &error);
        }
        lock.lock();
        m_bRunning = false;
        Complete(request.ov, done, MapErrno(error));
        m_Cv.notify_all();
    }
}

bool CAsyncFile::TruncateAndCountLines(std::uint64_t size, std::uint64_t* lines) {
    *lines = 0;
    if (ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        SetLastError(MapErrno(errno));
        return false;
    }
    char buffer[65536];
    std::uint64_t offset = 0;
    while (offset < size) {
        const ssize_t n = pread(m_fd, buffer, sizeof(buffer), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetLastError(MapErrno(n < 0 ? errno : EIO));
            return false;
        }
        *lines += static_cast<std::uint64_t>(std::count(buffer, buffer + n, '\n'));
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}
