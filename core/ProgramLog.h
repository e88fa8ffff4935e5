// The program's own diagnostic log.
//
// Every component reports through Log(): one line with a fixed prefix
// ("[2017-03-09 14:05:01][Varnholt][PID=1234][INFO][TID=0456][Class]...")
// that goes, as ProgramLog.conf directs, to the day's file
// "LogFile_YYYY_MM_DD.log" in the log directory, to the debug view, and to
// standard output in console mode. Any thread may call Log; lines never
// interleave. The common path allocates nothing: the line is built in a stack
// buffer and the file is reopened only when the day changes or after a failure.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

constexpr DWORD LOG_LEVEL_NORMAL = 0;
constexpr DWORD LOG_LEVEL_ERROR = 1;
constexpr DWORD LOG_LEVEL_WARN = 2;
constexpr DWORD LOG_LEVEL_DEBUG = 4;
constexpr DWORD LOG_LEVEL_INFO = 8;
constexpr DWORD LOG_LEVEL_DUMP = 16;

class CProgramLogRecorder {
public:
    static CProgramLogRecorder* GetInstance();

    bool Init();
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    // Holds the console and file locks so that several lines stay together.
    void Lock();
    void Unlock();

    // Console mode (set by the service host before the main thread starts):
    // lines are also written to standard output.
    void SetConsoleMode(bool console) { m_bConsole.store(console); }
    bool IsConsoleMode() const { return m_bConsole.load(); }

    // Sends one finished line to the outputs (used by Log).
    void Emit(DWORD level, const char* line, size_t length);

    ~CProgramLogRecorder();

private:
    CProgramLogRecorder() = default;

    void WriteToFile(const char* line, size_t length);
    bool OpenTodayFile();
    void CleanUpOldFiles();

    std::atomic<std::int32_t> m_nInitialised{0};
    CRITICAL_SECTION m_csFile;
    CRITICAL_SECTION m_csConsole;
    CPlainFile m_File;
    SYSTEMTIME m_FileDate{};
    std::atomic<bool> m_bConsole{false};
};

void Log(CProgramLogRecorder* recorder, DWORD level, const char* classTag, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// True when a line of level would reach some output (the file, the console or
// a debug-output listener). Log checks it first; callers whose arguments are
// costly to compute check it before computing them.
bool LogWanted(CProgramLogRecorder* recorder, DWORD level);

// Level tag printed for a level value.
const char* LogLevelTag(DWORD level);
