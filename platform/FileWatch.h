// Change notification for one directory: the counterpart of a directory
// handle with a pending ReadDirectoryChangesW request, as an inotify instance.
//
// The watch is a waitable handle (CKernelObject): it stays signalled while
// change records are pending, and reading them resets it. A watch stays armed
// once added (records arriving between two reads queue up in the kernel), so
// "posting a request" only (re)adds the watch, which also picks up a folder
// that was deleted and made again.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Sync.h"
#include "platform/WinTypes.h"

// Actions of a change record (the values of FILE_ACTION_REMOVED and
// FILE_ACTION_MODIFIED); 0 for any other change.
constexpr DWORD kDirChangeRemoved = 2;
constexpr DWORD kDirChangeModified = 3;

struct DirChangeRecord {
    DWORD action = 0;  // kDirChangeRemoved, kDirChangeModified, or 0 for anything else
    std::string name;  // the file's name inside the watched directory
};

class CDirChangeWatch final : public CKernelObject {
public:
    // Null (last error set) when no inotify instance can be had.
    static CDirChangeWatch* Create();

    int PollFd() const override { return m_fd; }
    bool TryAcquire() override { return true; }

    // Watches file-name changes (removals, renames in and out) and completed
    // writes of the files directly inside dir. False with last error set.
    bool Watch(const std::string& dir);

    // Reads the pending records into buffer: the byte count, 0 when none is
    // pending or the read failed.
    DWORD Read(BYTE* buffer, DWORD size);

private:
    explicit CDirChangeWatch(int fd) : m_fd(fd) {}
    ~CDirChangeWatch() override;

    int m_fd;
};

// Takes the record at *offset of the length bytes Read gave and moves *offset
// to the next one; false when no whole record is left. The name is cut to
// maxNameChars bytes. A removal or a rename away is kDirChangeRemoved, a
// completed write or a rename into place kDirChangeModified; changes of
// folders inside the directory are 0.
bool NextDirChange(const BYTE* buffer, DWORD length, DWORD* offset, DirChangeRecord* record, size_t maxNameChars);
