#include "core/ProgramLog.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/RunMode.h"
#include "core/modules/CSLocker.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Thread.h"

namespace {

// The applied settings (CProgramLogRecorder::ApplySettings).
struct LiveSettings {
    std::atomic<std::int32_t> globalEnable{0};
    std::atomic<std::int32_t> debugViewEnable{0};
    std::atomic<std::int32_t> txtLogEnable{0};
    std::atomic<std::int32_t> maxLogSize{0};
    std::atomic<std::int32_t> logLevel{0};
    std::atomic<std::int32_t> maxLogFiles{0};
};

LiveSettings g_settings;

std::int32_t Setting(const std::atomic<std::int32_t>& value) { return value.load(std::memory_order_relaxed); }

constexpr size_t kLineBufferSize = 2048;
constexpr size_t kScratchSize = 64;
constexpr char kLogFilePattern[] = "LogFile_*.log*";

// Appends piece while room remains, cut to the room left (one byte is kept
// for the terminating zero).
void Append(char* line, size_t* pos, const char* piece) {
    size_t room = kLineBufferSize - 1 - *pos;
    size_t n = std::strlen(piece);
    if (n > room) n = room;
    std::memcpy(line + *pos, piece, n);
    *pos += n;
    line[*pos] = '\0';
}

// Copies message into line while room (bytes, not counting the terminating
// zero) remains, writing each control byte as a visible escape; an escape
// that does not fit whole is left out.
void AppendEscaped(char* line, size_t* pos, size_t room, const char* message, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(message[i]);
        char escape[4];
        size_t n = 0;
        if (c >= 0x20 && c != 0x7F) {
            escape[n++] = static_cast<char>(c);
        } else {
            escape[n++] = '\\';
            if (c == '\r') {
                escape[n++] = 'r';
            } else if (c == '\n') {
                escape[n++] = 'n';
            } else if (c == '\t') {
                escape[n++] = 't';
            } else {
                escape[n++] = 'x';
                escape[n++] = kHex[c >> 4];
                escape[n++] = kHex[c & 0x0F];
            }
        }
        if (n > room) break;
        std::memcpy(line + *pos, escape, n);
        *pos += n;
        room -= n;
    }
    line[*pos] = '\0';
}

// Builds the line (prefix, escaped message, then note just before the
// message's own line end) and sends it to the outputs.
void FormatAndEmit(CProgramLogRecorder* recorder, DWORD level, const char* classTag, const char* note,
                   const char* format, va_list args) {
    char line[kLineBufferSize];
    char scratch[kScratchSize];
    size_t pos = 0;
    line[0] = '\0';

    SYSTEMTIME st;
    GetLocalTime(&st);
    std::snprintf(scratch, sizeof(scratch), "[%d-%02d-%02d %02d:%02d:%02d]", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    Append(line, &pos, scratch);
    Append(line, &pos, "[Varnholt]");
    std::snprintf(scratch, sizeof(scratch), "[PID=%04u]", GetCurrentProcessId());
    Append(line, &pos, scratch);
    Append(line, &pos, LogLevelTag(level));
    std::snprintf(scratch, sizeof(scratch), "[TID=%04u]", GetCurrentThreadId());
    Append(line, &pos, scratch);
    const size_t tagStart = pos;
    if (classTag != nullptr) Append(line, &pos, classTag);
    if (format != nullptr && pos < kLineBufferSize - 1) {
        // The message is formatted apart first: its control bytes are escaped
        // on the way into the line.
        char message[kLineBufferSize];
        const int n = std::vsnprintf(message, sizeof(message), format, args);
        size_t length = n > 0 ? std::min(static_cast<size_t>(n), sizeof(message) - 1) : 0;
        // The message's own final line end, kept as it is when the message
        // was formatted whole (a cut message has none).
        const char* end = "";
        if (n >= 0 && static_cast<size_t>(n) == length && length > 0 && message[length - 1] == '\n') {
            const bool crlf = length > 1 && message[length - 2] == '\r';
            end = crlf ? "\r\n" : "\n";
            length -= crlf ? 2 : 1;
        }
        const size_t reserved = std::strlen(end) + std::strlen(note);
        const size_t room = kLineBufferSize - 1 - pos;
        AppendEscaped(line, &pos, room > reserved ? room - reserved : 0, message, length);
        Append(line, &pos, note);
        Append(line, &pos, end);
    }

    if (recorder != nullptr) {
        recorder->Emit(level, line, pos, tagStart);
    } else if (Setting(g_settings.debugViewEnable) != 0) {
        OutputDebugStringA(line);
    }
}

// Keys remembered by LogLimited, and its interval.
constexpr size_t kLimitSlots = 256;
constexpr size_t kLimitKeyRoom = 64;
constexpr DWORD kLimitIntervalMs = 60 * 1000;

struct LimitSlot {
    std::uint64_t lastUse = 0;  // 0: free
    std::uint64_t keyHash = 0;  // of the whole key
    const char* classTag = nullptr;
    const char* format = nullptr;
    size_t keyLength = 0;
    char keyStart[kLimitKeyRoom] = {};  // the key's first bytes
    DWORD lastWritten = 0;
    std::uint32_t suppressed = 0;
};

struct LimitTable {
    std::mutex lock;
    std::uint64_t uses = 0;
    LimitSlot slots[kLimitSlots];
};

LimitTable& Limits() {
    static LimitTable* table = new LimitTable();  // never destroyed, like the recorder
    return *table;
}

std::uint64_t HashKey(const std::string& key) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
    return h;
}

// True when the line of this key and call site is due; *suppressed gets the
// number of its lines left out since the last one written.
bool LimitAdmits(const std::string& key, const char* classTag, const char* format, std::uint32_t* suppressed) {
    const std::uint64_t hash = HashKey(key);
    const size_t keep = std::min(key.size(), kLimitKeyRoom);
    const DWORD now = GetTickCount();
    LimitTable& table = Limits();
    std::lock_guard<std::mutex> guard(table.lock);
    const std::uint64_t use = ++table.uses;
    LimitSlot* oldest = &table.slots[0];
    for (LimitSlot& slot : table.slots) {
        if (slot.lastUse != 0 && slot.keyHash == hash && slot.classTag == classTag && slot.format == format &&
            slot.keyLength == key.size() && std::memcmp(slot.keyStart, key.data(), keep) == 0) {
            slot.lastUse = use;
            if (static_cast<DWORD>(now - slot.lastWritten) < kLimitIntervalMs) {
                if (slot.suppressed != UINT32_MAX) ++slot.suppressed;
                return false;
            }
            *suppressed = slot.suppressed;
            slot.suppressed = 0;
            slot.lastWritten = now;
            return true;
        }
        if (slot.lastUse < oldest->lastUse) oldest = &slot;
    }
    // A new key takes a free slot or the one used longest ago.
    *oldest = LimitSlot{};
    oldest->lastUse = use;
    oldest->keyHash = hash;
    oldest->classTag = classTag;
    oldest->format = format;
    oldest->keyLength = key.size();
    std::memcpy(oldest->keyStart, key.data(), keep);
    oldest->lastWritten = now;
    *suppressed = 0;
    return true;
}

// Run as the service, ERROR and WARN lines also go to the journal, where
// operators look first (console runs print every line anyway).
bool GoesToJournal(DWORD level) {
    return (level == LOG_LEVEL_ERROR || level == LOG_LEVEL_WARN) && IsRunningAsService();
}

}  // namespace

std::string ShortIdentity(std::string text) {
    static constexpr size_t kIdentityDigits = 32;
    static constexpr size_t kKeptDigits = 4;
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    for (size_t i = 0; i < text.size();) {
        if (!isHex(text[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && isHex(text[end])) ++end;
        if (end - i == kIdentityDigits) {
            text.replace(i + kKeptDigits, kIdentityDigits - kKeptDigits, "...");
            end = i + kKeptDigits + 3;
        }
        i = end;
    }
    return text;
}

std::string ShortIdentity(const BYTE* identity) {
    if (identity == nullptr) return std::string();
    char text[8];
    std::snprintf(text, sizeof(text), "%02X%02X...", identity[0], identity[1]);
    return text;
}

const char* LogLevelTag(DWORD level) {
    switch (level) {
        case LOG_LEVEL_ERROR: return "[ERROR]";
        case LOG_LEVEL_WARN: return "[WARN]";
        case LOG_LEVEL_DEBUG: return "[DEBUG]";
        case LOG_LEVEL_INFO: return "[INFO]";
        case LOG_LEVEL_DUMP: return "[DUMP]";
        default: return "[NORMAL]";
    }
}

CProgramLogRecorder* CProgramLogRecorder::GetInstance() {
    // Never destroyed: threads that outlive main may still log while the
    // process ends; the file is closed by the system at exit.
    static CProgramLogRecorder* instance = new CProgramLogRecorder();
    return instance;
}

CProgramLogRecorder::~CProgramLogRecorder() = default;

void CProgramLogRecorder::ApplySettings(const ProgramLogSettings& settings) {
    g_settings.globalEnable.store(settings.globalEnable, std::memory_order_relaxed);
    g_settings.debugViewEnable.store(settings.debugViewEnable, std::memory_order_relaxed);
    g_settings.txtLogEnable.store(settings.txtLogEnable, std::memory_order_relaxed);
    g_settings.maxLogSize.store(settings.maxLogSize, std::memory_order_relaxed);
    g_settings.logLevel.store(settings.logLevel, std::memory_order_relaxed);
    g_settings.maxLogFiles.store(settings.maxLogFiles, std::memory_order_relaxed);
}

ProgramLogSettings CProgramLogRecorder::GetSettings() {
    ProgramLogSettings settings;
    settings.globalEnable = Setting(g_settings.globalEnable);
    settings.debugViewEnable = Setting(g_settings.debugViewEnable);
    settings.txtLogEnable = Setting(g_settings.txtLogEnable);
    settings.maxLogSize = Setting(g_settings.maxLogSize);
    settings.logLevel = Setting(g_settings.logLevel);
    settings.maxLogFiles = Setting(g_settings.maxLogFiles);
    return settings;
}

void CProgramLogRecorder::SetLogDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(m_DirLock);
    m_strLogDir = dir;
}

std::string CProgramLogRecorder::GetLogDir() const {
    std::lock_guard<std::mutex> lock(m_DirLock);
    return m_strLogDir;
}

bool CProgramLogRecorder::Init() {
    bool ok = InitializeCriticalSectionAndSpinCount(&m_csFile, kCsSpinCount);
    ok = InitializeCriticalSectionAndSpinCount(&m_csConsole, kCsSpinCount) && ok;
    if (ok) m_nInitialised.store(1);
    return ok;
}

bool CProgramLogRecorder::UnInit() {
    m_nInitialised.store(0);
    DeleteCriticalSection(&m_csFile);
    DeleteCriticalSection(&m_csConsole);
    return true;
}

void CProgramLogRecorder::Lock() {
    EnterCriticalSection(&m_csConsole);
    EnterCriticalSection(&m_csFile);
}

void CProgramLogRecorder::Unlock() {
    LeaveCriticalSection(&m_csFile);
    LeaveCriticalSection(&m_csConsole);
}

void CProgramLogRecorder::Emit(DWORD level, const char* line, size_t length, size_t tagStart) {
    const bool initialised = IsInitialised();
    if (initialised && Setting(g_settings.txtLogEnable) != 0 &&
        (static_cast<DWORD>(Setting(g_settings.logLevel)) & level) != 0) {
        WriteToFile(line, length);
    }
    if (Setting(g_settings.debugViewEnable) != 0) OutputDebugStringA(line);
    // The journal stamps its own time, process and priority: it gets the
    // line from the class tag on.
    if (GoesToJournal(level) && tagStart <= length) {
        SendToJournal(level == LOG_LEVEL_ERROR ? JournalPriority::Error : JournalPriority::Warning, line + tagStart,
                      length - tagStart);
    }
    if (initialised && m_bConsole.load()) {
        CCSLocker lock(&m_csConsole);
        std::fwrite(line, 1, length, stdout);
        std::fflush(stdout);
    }
}

void CProgramLogRecorder::WriteToFile(const char* line, size_t length) {
    CCSLocker lock(&m_csFile);
    if (!m_File.IsOpen() && !OpenTodayFile()) return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    bool keep = now.wYear == m_FileDate.wYear && now.wMonth == m_FileDate.wMonth && now.wDay == m_FileDate.wDay;
    // A day's file deleted by an operator (or a rotation tool) is created
    // again instead of swallowing every later line.
    if (keep && m_File.IsUnlinked()) keep = false;
    if (!keep && !OpenTodayFile()) return;

    // A full file is kept under a numbered name and a fresh one continues.
    // Only if that rename fails is the file emptied, so that the disk stays
    // bounded all the same.
    const std::int64_t limit = static_cast<std::int64_t>(Setting(g_settings.maxLogSize)) * 1024;
    if (limit > 0 && m_File.Size() >= limit && !RotateFullFile() && !m_File.Truncate() && !OpenTodayFile()) return;
    m_File.Write(line, length);
}

namespace {

std::string DayFileName(const SYSTEMTIME& date) {
    char name[kScratchSize];
    std::snprintf(name, sizeof(name), "LogFile_%04d_%02d_%02d.log", date.wYear, date.wMonth, date.wDay);
    return name;
}

// Where a log file name sorts among the files to keep: the day's name, then
// its renamed full files in the order they were renamed (".1", ".2", ...),
// and the day's current file last. False for names that are no log file.
bool LogFileOrder(const std::string& name, std::string* base, std::uint64_t* rank) {
    static constexpr char kPrefix[] = "LogFile_";
    static constexpr char kLog[] = ".log";
    if (name.rfind(kPrefix, 0) != 0) return false;
    const size_t at = name.rfind(kLog);
    if (at == std::string::npos || at < sizeof(kPrefix) - 1) return false;
    const size_t suffix = at + sizeof(kLog) - 1;
    *base = name.substr(0, suffix);
    if (suffix == name.size()) {
        *rank = UINT64_MAX;
        return true;
    }
    if (name[suffix] != '.' || suffix + 1 == name.size()) return false;
    std::uint64_t n = 0;
    for (size_t i = suffix + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        n = std::min<std::uint64_t>(n * 10 + static_cast<std::uint64_t>(name[i] - '0'), UINT64_MAX / 20);
    }
    *rank = n;
    return true;
}

}  // namespace

bool CProgramLogRecorder::OpenTodayFile() {
    GetLocalTime(&m_FileDate);
    m_File.Close();
    const std::string dir = GetLogDir();
    if (dir.empty()) return false;

    std::string path = dir + "/" + DayFileName(m_FileDate);
    if (!m_File.OpenAppend(path.c_str())) {
        // A log directory that was removed (or never laid out) is created
        // again rather than losing every line of the run.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        DWORD rc = SHCreateDirectory(dir.c_str());
        if ((rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) || !m_File.OpenAppend(path.c_str())) return false;
    }
    CleanUpOldFiles();
    return m_File.IsOpen();
}

bool CProgramLogRecorder::RotateFullFile() {
    const std::string dir = GetLogDir();
    const std::string name = DayFileName(m_FileDate);
    std::vector<DirEntry> entries;
    if (dir.empty() || !ListDirectory(dir, name + ".*", &entries)) return false;
    std::uint64_t last = 0;
    for (const DirEntry& e : entries) {
        std::string base;
        std::uint64_t rank = 0;
        if (LogFileOrder(e.name, &base, &rank) && base == name) last = std::max(last, rank);
    }
    const std::string path = dir + "/" + name;
    const std::string kept = path + "." + std::to_string(last + 1);
    m_File.Close();
    const bool renamed = MoveFileA(path.c_str(), kept.c_str());
    // The day's file is open again either way: a fresh one after the rename,
    // the full one otherwise.
    return OpenTodayFile() && renamed;
}

void CProgramLogRecorder::CleanUpOldFiles() {
    const std::int32_t maxFiles = Setting(g_settings.maxLogFiles);
    if (maxFiles <= 0) return;
    const std::string dir = GetLogDir();
    std::vector<DirEntry> entries;
    if (!ListDirectory(dir, kLogFilePattern, &entries)) return;
    // Oldest first: by day, and within a day the renamed full files before
    // the current one.
    struct Kept {
        std::string base;
        std::uint64_t rank;
        std::string name;
    };
    std::vector<Kept> files;
    for (const DirEntry& e : entries) {
        Kept k{std::string(), 0, e.name};
        if (!e.isDirectory && LogFileOrder(e.name, &k.base, &k.rank)) files.push_back(std::move(k));
    }
    if (files.size() <= static_cast<size_t>(maxFiles)) return;
    std::sort(files.begin(), files.end(), [](const Kept& a, const Kept& b) {
        return a.base != b.base ? a.base < b.base : a.rank < b.rank;
    });
    const size_t excess = files.size() - static_cast<size_t>(maxFiles);
    for (size_t i = 0; i < excess; ++i) DeleteFileA((dir + "/" + files[i].name).c_str());  // failures ignored
}

bool LogWanted(CProgramLogRecorder* recorder, DWORD level) {
    if (Setting(g_settings.globalEnable) == 0) return false;
    const bool debugView = Setting(g_settings.debugViewEnable) != 0;
    const bool txtLog = Setting(g_settings.txtLogEnable) != 0;
    if (!debugView && !txtLog) return false;
    if (debugView && DebugViewMayListen()) return true;
    if (GoesToJournal(level)) return true;
    // No debug-output listener: the line is wanted only by the file (its
    // level selected) or the console.
    const bool initialised = recorder != nullptr && recorder->IsInitialised();
    if (initialised && txtLog && (static_cast<DWORD>(Setting(g_settings.logLevel)) & level) != 0) return true;
    return initialised && recorder->IsConsoleMode();
}

void Log(CProgramLogRecorder* recorder, DWORD level, const char* classTag, const char* format, ...) {
    if (!LogWanted(recorder, level)) return;
    va_list args;
    va_start(args, format);
    FormatAndEmit(recorder, level, classTag, "", format, args);
    va_end(args);
}

void LogLimited(CProgramLogRecorder* recorder, const std::string& key, DWORD level, const char* classTag,
                const char* format, ...) {
    if (!LogWanted(recorder, level)) return;
    std::uint32_t suppressed = 0;
    if (!LimitAdmits(key, classTag, format, &suppressed)) return;
    char note[kScratchSize] = "";
    if (suppressed > 0) std::snprintf(note, sizeof(note), " (%u more like this suppressed)", suppressed);
    va_list args;
    va_start(args, format);
    FormatAndEmit(recorder, level, classTag, note, format, args);
    va_end(args);
}
