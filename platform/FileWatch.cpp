#include "platform/FileWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

CDirChangeWatch* CDirChangeWatch::Create() {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        SetLastError(MapErrno(errno));
        return nullptr;
    }
    return new CDirChangeWatch(fd);
}

CDirChangeWatch::~CDirChangeWatch() { close(m_fd); }

bool CDirChangeWatch::Watch(const std::string& dir) {
    constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
    if (inotify_add_watch(m_fd, dir.c_str(), kMask) >= 0) return true;
    SetLastError(MapErrno(errno));
    return false;
}

DWORD CDirChangeWatch::Read(BYTE* buffer, DWORD size) {
    for (;;) {
        ssize_t n = read(m_fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? static_cast<DWORD>(n) : 0;
    }
}

bool NextDirChange(const BYTE* buffer, DWORD length, DWORD* offset, DirChangeRecord* record, size_t maxNameChars) {
    inotify_event header{};
    if (*offset + sizeof(header) > length) return false;
    std::memcpy(&header, buffer + *offset, sizeof(header));
    const DWORD next = *offset + static_cast<DWORD>(sizeof(header)) + header.len;
    if (next > length) return false;
    const char* name = reinterpret_cast<const char*>(buffer + *offset + sizeof(header));
    record->name.assign(name, strnlen(name, std::min<size_t>(header.len, maxNameChars)));
    record->action = 0;
    // Folders inside the watched folder are no files of it.
    if ((header.mask & IN_ISDIR) == 0) {
        if ((header.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) record->action = kDirChangeRemoved;
        if ((header.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) record->action = kDirChangeModified;
    }
    *offset = next;
    return true;
}
