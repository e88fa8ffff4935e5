#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/Process.h"

namespace {

// The file is in use by the copy itself.
constexpr DWORD kErrorSharingViolation = 32;

bool Fail(int err) {
    SetLastError(MapErrno(err));
    return false;
}

}  // namespace

bool TakeOwnerAndMode(int fd, const struct stat& source) {
    struct stat own {};
    if (fstat(fd, &own) == 0 && (own.st_uid != source.st_uid || own.st_gid != source.st_gid) &&
        fchown(fd, source.st_uid, source.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0) {
        // Neither permitted: the file stays the service's; its mode still follows.
    }
    // After fchown, which may clear set-id bits.
    return fchmod(fd, source.st_mode & 07777) == 0;
}

DWORD GetFileAttributesA(const char* path) {
    struct stat st {};
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_BAD_PATHNAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(path, &st) != 0) {
        SetLastError(MapErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (access(path, W_OK) != 0 && attributes != FILE_ATTRIBUTE_DIRECTORY) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

std::int64_t GetFileSizeA(const char* path) {
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0) {
        SetLastError(MapErrno(path == nullptr ? EINVAL : errno));
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool ListDirectory(const std::string& dir, const std::string& pattern, std::vector<DirEntry>* entries) {
    entries->clear();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return Fail(errno);
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
        bool isDir = false;
        if (e->d_type == DT_DIR) {
            isDir = true;
        } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            isDir = stat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries->push_back(DirEntry{name, isDir});
    }
    closedir(d);
    std::sort(entries->begin(), entries->end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    if (entries->empty()) SetLastError(ERROR_NO_MORE_FILES);
    return true;
}

bool GetDiskFreeSpaceExA(const char* path, std::uint64_t* freeBytesAvailable, std::uint64_t* totalBytes,
                         std::uint64_t* totalFreeBytes) {
    struct statvfs vfs {};
    if (path == nullptr || statvfs(path, &vfs) != 0) return Fail(path == nullptr ? EINVAL : errno);
    if (freeBytesAvailable) *freeBytesAvailable = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (totalBytes) *totalBytes = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    if (totalFreeBytes) *totalFreeBytes = static_cast<std::uint64_t>(vfs.f_bfree) * vfs.f_frsize;
    return true;
}

bool CopyFileA(const char* src, const char* dst, bool failIfExists) {
    if (src == nullptr || dst == nullptr) return Fail(EINVAL);
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail(errno);
    // Copying a file onto itself would truncate it before reading it.
    struct stat srcStat {};
    struct stat dstStat {};
    if (fstat(in, &srcStat) != 0) {
        int err = errno;
        close(in);
        return Fail(err);
    }
    if (stat(dst, &dstStat) == 0 && srcStat.st_dev == dstStat.st_dev && srcStat.st_ino == dstStat.st_ino) {
        close(in);
        if (failIfExists) {
            SetLastError(ERROR_FILE_EXISTS);
        } else {
            SetLastError(kErrorSharingViolation);
        }
        return false;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int out = open(dst, flags, kPrivateFileMode);
    if (out < 0) {
        int err = errno;
        close(in);
        if (err == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
            return false;
        }
        return Fail(err);
    }
    // Owner and mode before the first byte: nobody may open the copy while
    // it is wider than its source.
    if (!TakeOwnerAndMode(out, srcStat)) {
        int err = errno;
        close(in);
        close(out);
        return Fail(err);
    }
    char buffer[65536];
    bool ok = true;
    int err = 0;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            err = errno;
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                ok = false;
                err = errno;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    close(in);
    if (close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    return ok ? true : Fail(err);
}

bool DeleteFileA(const char* path) {
    if (path == nullptr || unlink(path) != 0) return Fail(path == nullptr ? EINVAL : errno);
    return true;
}

bool MoveFileA(const char* from, const char* to) {
    if (from == nullptr || to == nullptr || rename(from, to) != 0) return Fail(from == nullptr ? EINVAL : errno);
    return true;
}

bool CreateDirectoryA(const char* path) {
    if (path == nullptr || mkdir(path, kServiceFolderMode) != 0) return Fail(path == nullptr ? EINVAL : errno);
    return true;
}

bool RemoveDirectoryA(const char* path) {
    if (path == nullptr || rmdir(path) != 0) return Fail(path == nullptr ? EINVAL : errno);
    return true;
}

DWORD SHCreateDirectory(const char* path) {
    if (path == nullptr || *path == '\0') return ERROR_BAD_PATHNAME;
    std::string full = path;
    struct stat st {};
    if (stat(full.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    for (size_t pos = 1; pos <= full.size(); ++pos) {
        if (pos != full.size() && full[pos] != '/') continue;
        std::string part = full.substr(0, pos);
        if (mkdir(part.c_str(), kServiceFolderMode) != 0 && errno != EEXIST) return MapErrno(errno);
    }
    return ERROR_SUCCESS;
}

FILE* CreateFileStream(const char* path, unsigned mode) {
    if (path == nullptr) {
        Fail(EINVAL);
        return nullptr;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        Fail(errno);
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        int err = errno;
        close(fd);
        Fail(err);
    }
    return stream;
}

std::string GetModuleFilePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

std::string InstallDirOf(const std::string& executablePath) {
    std::string path = executablePath;
    for (int level = 0; level < 2; ++level) {
        const size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return std::string();
        path.resize(slash);
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path == "/usr" ? std::string(kPackagedInstallDir) : path;
}

std::string InstallDir() {
    std::string dir = GetEnvString("VARNHOLT_INSTALL_PATH");
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir.empty() || dir == "/" ? InstallDirOf(GetModuleFilePath()) : dir;
}

CPlainFile::~CPlainFile() { Close(); }

bool CPlainFile::OpenAppend(const char* path, unsigned mode, bool refuseLink) {
    Close();
    m_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | (refuseLink ? O_NOFOLLOW : 0), mode);
    if (m_fd < 0) return Fail(errno);
    if (lseek(m_fd, 0, SEEK_END) < 0) {
        int err = errno;
        Close();
        return Fail(err);
    }
    return true;
}

void CPlainFile::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

std::int64_t CPlainFile::Size() const {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool CPlainFile::IsUnlinked() const {
    struct stat st {};
    return m_fd >= 0 && fstat(m_fd, &st) == 0 && st.st_nlink == 0;
}

bool CPlainFile::Truncate() {
    if (m_fd < 0) return Fail(EBADF);
    if (lseek(m_fd, 0, SEEK_SET) < 0 || ftruncate(m_fd, 0) != 0) return Fail(errno);
    return true;
}

bool CPlainFile::Sync() {
    if (m_fd < 0) return Fail(EBADF);
    if (fdatasync(m_fd) != 0) return Fail(errno);
    return true;
}

bool CPlainFile::Write(const void* data, size_t length) {
    if (m_fd < 0) return Fail(EBADF);
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(m_fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(errno);
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
