// Private-profile (INI) files with the Windows reading rules.
//
// Section and key names match ignoring ASCII case; the first matching section
// and the first matching key win. Lines whose first non-blank character is ';'
// are comments. An integer read takes optional blanks, an optional sign and
// the leading decimal digits (no digits gives 0; an absent key gives the
// default). A string read strips surrounding blanks and one pair of matching
// quotes. A section read returns the section's non-comment lines in file order,
// each stripped of surrounding blanks. Files are read as bytes (GBK text is
// passed through untouched). Every call reads the file again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

// Copies the value (or the default when the key or file is absent) into
// buffer, cut to size - 1 bytes. Returns the number of bytes copied.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer,
                               DWORD size, const char* path);

UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* path);

// Copies the section's lines as "line\0line\0\0", cut to fit size. Returns the
// number of bytes copied without the final zero (size - 2 when cut).
DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size, const char* path);

// Replaces or adds one key (a null value removes it), keeping the rest of the
// file as it is; creates the file or section when missing. False (last error
// set) when the file exists but cannot be read, or the new version cannot be
// written; the file is then left as it was.
//
// The file is never rewritten in place: the new content goes to a temporary
// file in the same folder (see IsProfileTempFileName), which takes the
// original's mode and, where the process may set them, its owner and group
// (a file the write creates gets mode 0640);
// it is flushed to disk and renamed over the original. A reader sees the old
// version or the new one, never a mix, and a crash leaves at worst a stray
// temporary file, never a cut configuration file. A symbolic link is written
// through (its target is replaced, the link stays). Writes of the whole
// process are serialised.
//
// Every write is recorded as the pair (version replaced, version put in
// place), so that a watcher of the folder can tell the service's own writes
// (ISFULL in Zelk.conf) from an operator's edits: see IsOwnProfileWrite.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path);

// One version of a file: a rewrite in place changes its size or modification
// time, a replacement by rename changes its inode. exists is false for a
// missing file; two missing versions compare equal.
struct FileVersion {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeSec = 0;
    std::int64_t mtimeNsec = 0;

    bool operator==(const FileVersion& other) const = default;
};

// The version of the file at path now (exists false when it cannot be
// examined).
FileVersion GetFileVersion(const std::string& path);

// True when current was put in place by WritePrivateProfileStringA of this
// process, on top of lastSeen either directly or through further writes of
// its own (a duplicate notification, current == lastSeen, counts as well).
// False for anything an outside writer touched since lastSeen: an edit that
// a write of the service then carried along is still an edit. Only the most
// recent kOwnWriteRecords writes are remembered.
bool IsOwnProfileWrite(const FileVersion& current, const FileVersion& lastSeen);
constexpr size_t kOwnWriteRecords = 64;

// True for a file name (without its folder) of the writer's temporary
// files: "." + the target's name + ".varnholt-tmp-" + six characters.
bool IsProfileTempFileName(const char* name);

// A file read once and queried many times with the same rules (a loader that
// reads dozens of keys parses the file once).
class CIniDocument {
public:
    // False (last error set) when the file cannot be read.
    bool Load(const std::string& path);
    bool GetString(const std::string& section, const std::string& key, std::string* value) const;
    bool GetSection(const std::string& section, std::vector<std::string>* lines) const;

private:
    std::vector<std::string> m_lines;
};

// Whole-value forms used where a caller must know the full length.
// IniReadString returns false when the file, section or key is absent.
bool IniReadString(const std::string& path, const std::string& section, const std::string& key, std::string* value);
// Returns false when the file or section is absent.
bool IniReadSection(const std::string& path, const std::string& section, std::vector<std::string>* lines);
// Integer text rule shared by the integer read.
int IniParseInt(const std::string& text);
