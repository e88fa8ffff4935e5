// A file written synchronously or through overlapped (asynchronous) writes.
//
// A file created with overlapped = true owns one I/O thread for as long as it
// is open. Requests are queued and the thread runs them one at a time with
// pwrite at the request's offset, so the writes of one file complete in the
// order they were submitted. One thread per file (rather than one per
// process) keeps that order trivial and keeps a slow file from holding up the
// others; the users are the data files, one per (node, table), and the
// audit files being uploaded.
//
// A request is described by an OVERLAPPED record owned by the caller, which
// must keep the record, the data and the completion event alive until the
// request has completed (its event is signalled, GetOverlappedResult reports
// it, or CancelIo/Close returned). Submitting resets the event; completing
// records the bytes written and the error, then signals the event. The
// record's Internal and InternalHigh fields belong to the file while the
// request is in flight: read them through GetOverlappedResult only.
//
// All calls may come from any thread. Errors go to the thread's last error as
// Windows-style numbers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/Sync.h"
#include "platform/WinTypes.h"

constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;

struct OVERLAPPED {
    DWORD Internal;      // error of the completed write; ERROR_IO_PENDING while in flight
    DWORD InternalHigh;  // bytes written
    DWORD Offset;        // file offset, low and high words
    DWORD OffsetHigh;
    HANDLE hEvent;       // manual-reset event signalled on completion; may be null
};

class CAsyncFile {
public:
    // Creates path (mode kServiceFileMode of platform/Files.h), or truncates
    // it when it exists (fails with ERROR_ALREADY_EXISTS instead when
    // failIfExists), for reading and writing. A symbolic link standing at
    // path is refused, never followed: a link planted in a service folder
    // cannot make the service write over its target. Returns null with the
    // last error set when the file cannot be opened or the I/O thread cannot
    // be started.
    static CAsyncFile* Create(const char* path, bool overlapped, bool failIfExists = false);
    // Sets the file's end at size bytes, extending or cutting it.
    bool SetSize(std::uint64_t size);
    // Cancels what has not started, waits for the running write, closes.
    ~CAsyncFile();
    CAsyncFile(const CAsyncFile&) = delete;
    CAsyncFile& operator=(const CAsyncFile&) = delete;

    bool IsOverlapped() const { return m_bOverlapped; }

    // Without ov (files opened without overlapped only): writes all bytes at
    // the current position and returns true, or false with the last error;
    // *written gets the bytes written either way. A write that fails part-way
    // is taken back (the file is cut to where it began) when it can be, and
    // then counts 0 bytes.
    // With ov (overlapped files only): queues the write at ov's offset and
    // returns false with last error ERROR_IO_PENDING, as Windows does for a
    // write that will complete later; any other last error means the write
    // was not started.
    bool WriteFile(const void* data, DWORD length, DWORD* written, OVERLAPPED* ov);

    // Result of the request of ov. While it is in flight: with wait, blocks
    // until it completes (it always does: the I/O thread ends every write,
    // successfully or with an error); without wait, returns false with
    // ERROR_IO_INCOMPLETE. Once completed: *written gets the bytes written,
    // and the result is true, or false with the write's error as last error.
    bool GetOverlappedResult(OVERLAPPED* ov, DWORD* written, bool wait);

    // Completes every queued request that has not started with
    // ERROR_OPERATION_ABORTED (0 bytes, event signalled) and waits for the
    // running one.
    bool CancelIo();

    // Cuts the file to size bytes (no write may be in flight) and counts the
    // line feeds in what is left; false with the last error when either fails.
    bool TruncateAndCountLines(std::uint64_t size, std::uint64_t* lines);

private:
    struct Request {
        const BYTE* data;
        DWORD length;
        std::uint64_t offset;
        OVERLAPPED* ov;
    };

    CAsyncFile(int fd, bool overlapped) : m_fd(fd), m_bOverlapped(overlapped) {}
    void Run();
    // Records the outcome and signals the event; m_Mutex held.
    static void Complete(OVERLAPPED* ov, DWORD bytes, DWORD error);

    const int m_fd;
    const bool m_bOverlapped;
    std::mutex m_Mutex;
    std::condition_variable m_Cv;  // queue changed, a request completed, or stop
    std::deque<Request> m_Queue;
    bool m_bRunning = false;  // the I/O thread is inside a pwrite
    bool m_bStop = false;
    std::thread m_Thread;
};

namespace AsyncFileTestHook {

// While held, no I/O thread of the process starts a new request: queued
// requests stay queued (CancelIo still drops them) until released. Lets
// tests keep writes in flight for as long as they need.
void HoldWrites(bool hold);
// The next overlapped write of the process writes at most bytes and then
// fails with ENOSPC, as a disk filling up would make it (one write only).
void FailNextWriteAfter(DWORD bytes);

}  // namespace AsyncFileTestHook
