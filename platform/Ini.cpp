#include "platform/Ini.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "platform/Files.h"

namespace {

void SplitLines(const std::string& text, std::vector<std::string>* lines) {
    lines->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    SplitLines(content.str(), lines);
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Section name of a "[name]" line, or false when the line is no header.
bool SectionHeader(const std::string& trimmed, std::string* name) {
    if (trimmed.empty() || trimmed[0] != '[') return false;
    size_t close = trimmed.find(']');
    *name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool IsComment(const std::string& trimmed) { return !trimmed.empty() && trimmed[0] == ';'; }

// Index range [first, last) of the body lines of the first matching section.
bool FindSection(const std::vector<std::string>& lines, const std::string& section, size_t* first, size_t* last) {
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (SectionHeader(Trim(lines[i]), &name) && EqualsNoCase(name, section)) {
            size_t j = i + 1;
            while (j < lines.size() && !SectionHeader(Trim(lines[j]), &name)) ++j;
            *first = i + 1;
            *last = j;
            return true;
        }
    }
    return false;
}

bool SplitKey(const std::string& trimmed, std::string* key, std::string* value) {
    size_t eq = trimmed.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(trimmed.substr(0, eq));
    *value = Trim(trimmed.substr(eq + 1));
    return true;
}

std::string StripQuotes(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Index of the first line holding key inside [first, last), or last.
size_t FindKey(const std::vector<std::string>& lines, size_t first, size_t last, const std::string& key,
               std::string* value) {
    std::string k;
    std::string v;
    for (size_t i = first; i < last; ++i) {
        std::string t = Trim(lines[i]);
        if (t.empty() || IsComment(t)) continue;
        if (SplitKey(t, &k, &v) && EqualsNoCase(k, key)) {
            if (value != nullptr) *value = v;
            return i;
        }
    }
    return last;
}

}  // namespace

int IniParseInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

bool CIniDocument::Load(const std::string& path) {
    if (!ReadLines(path, &m_lines)) {
        m_lines.clear();
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

bool CIniDocument::GetString(const std::string& section, const std::string& key, std::string* value) const {
    size_t first = 0;
    size_t last = 0;
    if (!FindSection(m_lines, section, &first, &last)) return false;
    std::string raw;
    if (FindKey(m_lines, first, last, key, &raw) == last) return false;
    if (value != nullptr) *value = StripQuotes(raw);
    return true;
}

bool CIniDocument::GetSection(const std::string& section, std::vector<std::string>* out) const {
    size_t first = 0;
    size_t last = 0;
    if (!FindSection(m_lines, section, &first, &last)) return false;
    out->clear();
    for (size_t i = first; i < last; ++i) {
        std::string t = Trim(m_lines[i]);
        if (!t.empty() && !IsComment(t)) out->push_back(t);
    }
    return true;
}

bool IniReadString(const std::string& path, const std::string& section, const std::string& key, std::string* value) {
    CIniDocument doc;
    return doc.Load(path) && doc.GetString(section, key, value);
}

bool IniReadSection(const std::string& path, const std::string& section, std::vector<std::string>* out) {
    CIniDocument doc;
    return doc.Load(path) && doc.GetSection(section, out);
}

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer,
                               DWORD size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value;
    if (section == nullptr || key == nullptr || path == nullptr || !IniReadString(path, section, key, &value)) {
        value = Trim(defaultValue != nullptr ? defaultValue : "");
    }
    DWORD n = static_cast<DWORD>(std::min<size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
}

UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* path) {
    std::string value;
    if (section == nullptr || key == nullptr || path == nullptr || !IniReadString(path, section, key, &value)) {
        return static_cast<UINT>(defaultValue);
    }
    return static_cast<UINT>(IniParseInt(value));
}

DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size, const char* path) {
    if (buffer == nullptr || size < 2) return 0;
    std::vector<std::string> lines;
    buffer[0] = buffer[1] = '\0';
    if (section == nullptr || path == nullptr || !IniReadSection(path, section, &lines)) return 0;
    DWORD pos = 0;
    for (const std::string& line : lines) {
        if (pos + line.size() + 2 > size) {
            // Cut: copy what fits and end the list. The previous line may
            // already have filled the buffer up to its last byte.
            DWORD room = pos < size - 2 ? size - 2 - pos : 0;
            std::memcpy(buffer + pos, line.data(), room);
            buffer[size - 2] = '\0';
            buffer[size - 1] = '\0';
            return size - 2;
        }
        std::memcpy(buffer + pos, line.data(), line.size());
        pos += static_cast<DWORD>(line.size());
        buffer[pos++] = '\0';
    }
    buffer[pos] = '\0';
    return pos == 0 ? 0 : pos;
}

namespace {

// ---- Atomic replacement ----------------------------------------------------

constexpr char kTempMarker[] = ".varnholt-tmp-";
constexpr size_t kTempSuffixLength = 6;
constexpr int kTempNameAttempts = 100;

FileVersion VersionOf(const struct stat& st) {
    FileVersion v;
    v.exists = true;
    v.device = static_cast<std::uint64_t>(st.st_dev);
    v.inode = static_cast<std::uint64_t>(st.st_ino);
    v.size = static_cast<std::int64_t>(st.st_size);
    v.mtimeSec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    v.mtimeNsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return v;
}

bool FailWithErrno(int err) {
    SetLastError(MapErrno(err));
    return false;
}

// The file a write must replace: the target of a symbolic link, so that the
// link survives; the path itself otherwise (also for a dangling link).
std::string ResolveTarget(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(path, nullptr);
    if (real == nullptr) return path;
    std::string target = real;
    std::free(real);
    return target;
}

// Reads the whole file and its attributes. A missing file is empty
// (*exists false); any other failure is reported, so that an unreadable file
// is never replaced by one holding only the new key.
bool ReadForUpdate(const std::string& path, std::string* text, struct stat* st, bool* exists) {
    text->clear();
    *exists = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || FailWithErrno(errno);
    if (fstat(fd, st) != 0) {
        int err = errno;
        close(fd);
        return FailWithErrno(err);
    }
    *exists = true;
    char buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return FailWithErrno(err);
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Creates a temporary file next to target; its name is returned in *name.
// A new file gets kServiceFileMode; a replacement is given the original's
// mode, and its owner and group where the process may set them (a service
// that is neither root nor the owner keeps at least the group when it belongs
// to it). Until then it is the service's alone: a configuration file may hold
// a password, and a reader who opened the temporary file while it was wider
// would keep reading it.
int CreateTempFile(const std::string& target, bool replacing, const struct stat& original, std::string* name) {
    static std::mt19937 generator(std::random_device{}());
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    int fd = -1;
    for (int attempt = 0; attempt < kTempNameAttempts && fd < 0; ++attempt) {
        std::string suffix;
        for (size_t i = 0; i < kTempSuffixLength; ++i) suffix += kChars[generator() % (sizeof(kChars) - 1)];
        *name = dir + "." + base + kTempMarker + suffix;
        fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  replacing ? kPrivateFileMode : kServiceFileMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return -1;
    if (replacing) {
        if (!TakeOwnerAndMode(fd, original)) {
            int err = errno;
            close(fd);
            unlink(name->c_str());
            errno = err;
            return -1;
        }
    }
    return fd;
}

// Makes the rename itself durable; a failure only weakens that guarantee.
void SyncDirectoryOf(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// ---- Record of the process's own writes -------------------------------------

struct OwnWrite {
    FileVersion replaced;
    FileVersion written;
};

std::mutex g_ownWritesMutex;
std::deque<OwnWrite> g_ownWrites;  // oldest first, at most kOwnWriteRecords

void RecordOwnWrite(const FileVersion& replaced, const FileVersion& written) {
    std::lock_guard<std::mutex> lock(g_ownWritesMutex);
    g_ownWrites.push_back(OwnWrite{replaced, written});
    if (g_ownWrites.size() > kOwnWriteRecords) g_ownWrites.pop_front();
}

void ForgetOwnWrite(const FileVersion& written) {
    std::lock_guard<std::mutex> lock(g_ownWritesMutex);
    for (auto it = g_ownWrites.begin(); it != g_ownWrites.end(); ++it) {
        if (it->written == written) {
            g_ownWrites.erase(it);
            return;
        }
    }
}

// Puts text in place of target atomically (see the header).
bool ReplaceFile(const std::string& target, const std::string& text, const struct stat& original, bool replacing) {
    const FileVersion before = replacing ? VersionOf(original) : FileVersion{};
    std::string tempName;
    int fd = CreateTempFile(target, replacing, original, &tempName);
    if (fd < 0) return FailWithErrno(errno);

    struct stat written {};
    bool ok = WriteAll(fd, text) && fsync(fd) == 0 && fstat(fd, &written) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tempName.c_str());
        return FailWithErrno(err);
    }
    // Recorded before the rename: a watcher may look as soon as the new
    // version is visible.
    const FileVersion version = VersionOf(written);
    RecordOwnWrite(before, version);
    if (rename(tempName.c_str(), target.c_str()) != 0) {
        err = errno;
        ForgetOwnWrite(version);
        unlink(tempName.c_str());
        return FailWithErrno(err);
    }
    SyncDirectoryOf(target);
    return true;
}

}  // namespace

FileVersion GetFileVersion(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return FileVersion{};
    return VersionOf(st);
}

bool IsOwnProfileWrite(const FileVersion& current, const FileVersion& lastSeen) {
    if (!current.exists) return false;
    std::lock_guard<std::mutex> lock(g_ownWritesMutex);
    // Walk back from the current version through the writes that produced
    // each version until lastSeen is reached; every step is newer than the
    // next, so the walk takes at most one step per record.
    FileVersion version = current;
    for (size_t step = 0; step <= g_ownWrites.size(); ++step) {
        auto it = std::find_if(g_ownWrites.rbegin(), g_ownWrites.rend(),
                               [&](const OwnWrite& w) { return w.written == version; });
        if (it == g_ownWrites.rend()) return false;
        if (version == lastSeen) return true;
        version = it->replaced;
        if (version == lastSeen) return true;
    }
    return false;
}

bool IsProfileTempFileName(const char* name) {
    if (name == nullptr || name[0] != '.') return false;
    const std::string text = name;
    const size_t marker = text.rfind(kTempMarker);
    return marker != std::string::npos && marker > 1 &&
           text.size() == marker + std::strlen(kTempMarker) + kTempSuffixLength;
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path) {
    if (section == nullptr || key == nullptr || path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // A write is a read-modify-write cycle: two at once would lose a key.
    static std::mutex writeMutex;
    std::lock_guard<std::mutex> lock(writeMutex);

    const std::string target = ResolveTarget(path);
    std::string text;
    struct stat original {};
    bool exists = false;
    if (!ReadForUpdate(target, &text, &original, &exists)) return false;
    std::vector<std::string> lines;
    SplitLines(text, &lines);

    bool crlf = !lines.empty() && !lines[0].empty() && lines[0].back() == '\r';
    const std::string eol = crlf ? "\r" : "";
    const std::string entry = std::string(key) + "=" + (value != nullptr ? value : "") + eol;

    size_t first = 0;
    size_t last = 0;
    if (!FindSection(lines, section, &first, &last)) {
        if (value == nullptr) return true;
        lines.push_back("[" + std::string(section) + "]" + eol);
        lines.push_back(entry);
    } else {
        size_t at = FindKey(lines, first, last, key, nullptr);
        if (at != last) {
            if (value == nullptr) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                lines[at] = entry;
            }
        } else if (value != nullptr) {
            size_t insertAt = last;
            while (insertAt > first && Trim(lines[insertAt - 1]).empty()) --insertAt;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        }
    }

    std::string content;
    for (const std::string& line : lines) content += line + '\n';
    return ReplaceFile(target, content, original, exists);
}
