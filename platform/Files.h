// File and directory helpers.
//
// Failures set the thread's last error to the Windows-style number of the
// matching errno (2 not found, 183 already exists, ...).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

// Modes of what the service creates. Folders and files are open to the
// service's own group (an operator's tools, the web server of the upload
// folder) and closed to everyone else; files that hold statements or memory
// of the process (the SQL spool, the crash dump) are the service's alone.
// They are passed at creation, so a permissive umask cannot widen them; a
// stricter umask still narrows them.
constexpr unsigned kServiceFolderMode = 0750;
constexpr unsigned kServiceFileMode = 0640;
constexpr unsigned kPrivateFileMode = 0600;

// FILE_ATTRIBUTE_DIRECTORY or FILE_ATTRIBUTE_NORMAL (plus READONLY when not
// writable); INVALID_FILE_ATTRIBUTES with the last error set when the path
// cannot be examined.
DWORD GetFileAttributesA(const char* path);
// Size in bytes of the file at path; -1 (last error set) when it cannot be
// examined or is a directory.
std::int64_t GetFileSizeA(const char* path);

struct DirEntry {
    std::string name;
    bool isDirectory;
};

// Entries of dir whose names match the shell pattern (fnmatch), in ascending
// byte order of their names; "." and ".." are left out. False (last error
// set) when the directory cannot be read; an empty result sets
// ERROR_NO_MORE_FILES but still returns true.
bool ListDirectory(const std::string& dir, const std::string& pattern, std::vector<DirEntry>* entries);

// Bytes available to the caller, total bytes and free bytes of the file
// system holding path.
bool GetDiskFreeSpaceExA(const char* path, std::uint64_t* freeBytesAvailable, std::uint64_t* totalBytes,
                         std::uint64_t* totalFreeBytes);

// Copies src to dst; with failIfExists an existing dst fails with 80. The
// copy gets src's mode, and its owner and group where the process may set
// them (else at least the group when it belongs to it); until then it is
// readable by the service alone, so a copy of a file holding a password is
// never open to others, not even for a moment.
bool CopyFileA(const char* src, const char* dst, bool failIfExists);
bool DeleteFileA(const char* path);
bool MoveFileA(const char* from, const char* to);
// Creates one directory (kServiceFolderMode); an existing one fails with 183.
bool CreateDirectoryA(const char* path);
bool RemoveDirectoryA(const char* path);
// Creates the directory and every missing parent (kServiceFolderMode).
// Returns 0 on success, ERROR_ALREADY_EXISTS when it already existed, or the
// error number.
DWORD SHCreateDirectory(const char* path);

// Opens path for writing as fopen "wb" does (created, or emptied when it
// exists), a new file with the given mode; a symbolic link standing at path
// is refused, never followed. Null with the last error set on failure; close
// with fclose.
FILE* CreateFileStream(const char* path, unsigned mode = kServiceFileMode);

// Gives the open file fd the owner, group and mode of source. The owner and
// group follow where the process may set them (root may; a service user
// keeps at least the group when it belongs to it); the mode always follows.
// False (errno set) only when the mode cannot be set.
bool TakeOwnerAndMode(int fd, const struct stat& source);

// Full path of the running executable ("" when unknown).
std::string GetModuleFilePath();

// The install tree an executable at executablePath belongs to: two levels
// above the file, without a trailing '/' ("" when the path is too short).
// A program in /usr/bin or /usr/sbin is the packaged installation, whose tree
// is kPackagedInstallDir (the configuration, logs and state live under /etc,
// /var/log and /var/lib, reached from that tree by links).
std::string InstallDirOf(const std::string& executablePath);
constexpr char kPackagedInstallDir[] = "/var/lib/varnholt";
// The install tree of this process: VARNHOLT_INSTALL_PATH (trailing '/'
// dropped) when set and not "/", else InstallDirOf(GetModuleFilePath()).
std::string InstallDir();

// A plain file opened for reading and writing. Used for the program log.
class CPlainFile {
public:
    CPlainFile() = default;
    ~CPlainFile();
    CPlainFile(const CPlainFile&) = delete;
    CPlainFile& operator=(const CPlainFile&) = delete;

    // Opens or creates path (a new file gets mode), keeping its contents,
    // positioned at its end. With refuseLink a symbolic link standing at path
    // makes it fail instead of being followed.
    bool OpenAppend(const char* path, unsigned mode = kServiceFileMode, bool refuseLink = false);
    bool IsOpen() const { return m_fd >= 0; }
    void Close();
    // Current size in bytes, or -1.
    std::int64_t Size() const;
    // True when the file has been deleted (or renamed away and replaced)
    // since it was opened: writes would go to a file nobody can see.
    bool IsUnlinked() const;
    // Empties the file and moves to its start.
    bool Truncate();
    // Writes all bytes at the current position.
    bool Write(const void* data, size_t length);
    // Flushes the file's data to the disk (fdatasync).
    bool Sync();

private:
    int m_fd = -1;
};
