#include "core/ProgramLog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Thread.h"

namespace {

constexpr size_t kLineBufferSize = 2048;
constexpr size_t kScratchSize = 64;
constexpr char kLogFilePattern[] = "LogFile_*.log";

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

}  // namespace

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

void CProgramLogRecorder::Emit(DWORD level, const char* line, size_t length) {
    const ProgramLogConfig& settings = CConfigManager::GetInstance()->m_ProgramLog;
    const bool initialised = IsInitialised();
    if (initialised && settings.TxtLogEnable != 0 && (static_cast<DWORD>(settings.LogLevel) & level) != 0) {
        WriteToFile(line, length);
    }
    OutputDebugStringA(line);
    if (initialised && m_bConsole.load()) {
        CCSLocker lock(&m_csConsole);
        std::fwrite(line, 1, length, stdout);
        std::fflush(stdout);
    }
}

void CProgramLogRecorder::WriteToFile(const char* line, size_t length) {
    CCSLocker lock(&m_csFile);
    if (!m_File.IsOpen() && !OpenTodayFile()) return;

    bool keep = true;
    const std::int64_t limit = static_cast<std::int64_t>(CConfigManager::GetInstance()->m_ProgramLog.MaxLogSize) * 1024;
    if (limit > 0 && m_File.Size() >= limit && !m_File.Truncate()) keep = false;

    SYSTEMTIME now;
    GetLocalTime(&now);
    if (now.wYear != m_FileDate.wYear || now.wMonth != m_FileDate.wMonth || now.wDay != m_FileDate.wDay) keep = false;
    // A day's file deleted by an operator (or a rotation tool) is created
    // again instead of swallowing every later line.
    if (keep && m_File.IsUnlinked()) keep = false;

    if (!keep && !OpenTodayFile()) return;
    m_File.Write(line, length);
}

bool CProgramLogRecorder::OpenTodayFile() {
    GetLocalTime(&m_FileDate);
    m_File.Close();
    const std::string& dir = CGlobalSharedData::GetInstance()->GetLogDir();
    if (dir.empty()) return false;

    char name[kScratchSize];
    std::snprintf(name, sizeof(name), "LogFile_%04d_%02d_%02d.log", m_FileDate.wYear, m_FileDate.wMonth,
                  m_FileDate.wDay);
    std::string path = dir + "/" + name;
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

void CProgramLogRecorder::CleanUpOldFiles() {
    const std::int32_t maxFiles = CConfigManager::GetInstance()->m_ProgramLog.MaxLogFiles;
    if (maxFiles <= 0) return;
    const std::string& dir = CGlobalSharedData::GetInstance()->GetLogDir();
    std::vector<DirEntry> entries;
    if (!ListDirectory(dir, kLogFilePattern, &entries)) return;
    std::vector<std::string> files;
    for (const DirEntry& e : entries) {
        if (!e.isDirectory) files.push_back(e.name);
    }
    if (files.size() <= static_cast<size_t>(maxFiles)) return;
    const size_t excess = files.size() - static_cast<size_t>(maxFiles);
    for (size_t i = 0; i < excess; ++i) DeleteFileA((dir + "/" + files[i]).c_str());  // failures ignored
}

bool LogWanted(CProgramLogRecorder* recorder, DWORD level) {
    const ProgramLogConfig& settings = CConfigManager::GetInstance()->m_ProgramLog;
    if (settings.GlobalEnable == 0) return false;
    if (settings.DebugViewEnable == 0 && settings.TxtLogEnable == 0) return false;
    if (DebugViewMayListen()) return true;
    // No debug-output listener: the line is wanted only by the file (its
    // level selected) or the console.
    const bool initialised = recorder != nullptr && recorder->IsInitialised();
    if (initialised && settings.TxtLogEnable != 0 && (static_cast<DWORD>(settings.LogLevel) & level) != 0) return true;
    return initialised && recorder->IsConsoleMode();
}

void Log(CProgramLogRecorder* recorder, DWORD level, const char* classTag, const char* format, ...) {
    if (!LogWanted(recorder, level)) return;

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
    if (classTag != nullptr) Append(line, &pos, classTag);
    if (format != nullptr && pos < kLineBufferSize - 1) {
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(line + pos, kLineBufferSize - pos, format, args);
        va_end(args);
        if (n > 0) pos += std::min(static_cast<size_t>(n), kLineBufferSize - 1 - pos);
    }

    if (recorder != nullptr) {
        recorder->Emit(level, line, pos);
    } else {
        OutputDebugStringA(line);
    }
}
