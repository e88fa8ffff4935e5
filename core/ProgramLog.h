// The program's own diagnostic log.
//
// Every component reports through Log(): one line with a fixed prefix
// ("[2017-03-09 14:05:01][Varnholt][PID=1234][INFO][TID=0456][Class]...")
// that goes, as ProgramLog.conf directs, to the day's file
// "LogFile_YYYY_MM_DD.log" in the log directory, to the debug view, and to
// standard output in console mode. Run as the service, ERROR and WARN lines
// also go to the systemd journal. Any thread may call Log; lines never
// interleave. The common path allocates nothing: the line is built in a stack
// buffer and the file is reopened only when the day changes or after a failure.
//
// Messages often carry text a network peer chose (names, paths, addresses).
// Every control byte of the formatted message (below 0x20, and 0x7F) is
// written as a visible escape ("\r", "\n", "\t", "\x1b", ...), so that one
// call is always one line; only the message's own final "\n" (or "\r\n")
// stays a real line end.
//
// A day's file that reaches MaxLogSize is renamed to "<name>.1" (".2", ... for
// later ones of the same day) and a fresh file continues under the day's name;
// the MaxLogFiles clean-up counts and removes these renamed files as well.
//
// The log reads no configuration itself: its folder and its settings are
// handed to it (SetLogDir when the install tree is laid out, ApplySettings
// whenever ProgramLog.conf is loaded), so that every layer may log.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

constexpr DWORD LOG_LEVEL_NORMAL = 0;
constexpr DWORD LOG_LEVEL_ERROR = 1;
constexpr DWORD LOG_LEVEL_WARN = 2;
constexpr DWORD LOG_LEVEL_DEBUG = 4;
constexpr DWORD LOG_LEVEL_INFO = 8;
constexpr DWORD LOG_LEVEL_DUMP = 16;

// The settings of ProgramLog.conf. Until they are first applied every value
// is 0, and the log is silent.
struct ProgramLogSettings {
    std::int32_t globalEnable = 0;     // GlobalProgramLog/Enable
    std::int32_t debugViewEnable = 0;  // DebugViewLog/Enable
    std::int32_t txtLogEnable = 0;     // TxtLog/Enable
    std::int32_t maxLogSize = 0;       // KiB, 0 = no limit
    std::int32_t logLevel = 0;         // mask of levels written to the file
    std::int32_t maxLogFiles = 0;      // 0 = keep every file
};

class CProgramLogRecorder {
public:
    static CProgramLogRecorder* GetInstance();

    // The settings every line is checked against, for every caller of Log
    // (with or without a recorder). Any thread may apply them at any time;
    // each value is read on its own, without a lock.
    static void ApplySettings(const ProgramLogSettings& settings);
    static ProgramLogSettings GetSettings();

    // The folder of the day's files; no file is written while it is empty.
    // Any thread; the next file that is opened uses the new folder.
    void SetLogDir(const std::string& dir);
    std::string GetLogDir() const;

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

    // Sends one finished line to the outputs (used by Log); tagStart is where
    // the class tag begins, after the time, process, level and thread fields.
    void Emit(DWORD level, const char* line, size_t length, size_t tagStart);

    ~CProgramLogRecorder();

private:
    CProgramLogRecorder() = default;

    void WriteToFile(const char* line, size_t length);
    bool OpenTodayFile();
    // Renames the full day's file to the next free "<name>.N" and opens a
    // fresh one; false when the rename failed.
    bool RotateFullFile();
    void CleanUpOldFiles();

    std::atomic<std::int32_t> m_nInitialised{0};
    mutable std::mutex m_DirLock;  // guards m_strLogDir
    std::string m_strLogDir;
    CRITICAL_SECTION m_csFile;
    CRITICAL_SECTION m_csConsole;
    CPlainFile m_File;
    SYSTEMTIME m_FileDate{};
    std::atomic<bool> m_bConsole{false};
};

void Log(CProgramLogRecorder* recorder, DWORD level, const char* classTag, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Writes the line at most once per interval for one key (e.g. the peer or identity), then once
// more with the count of the lines suppressed meanwhile.
//
// The interval is 60 s of GetTickCount (the test clock shifts it). A key is
// the key text together with the call site (class tag and format), so that
// different messages about one peer do not hide each other. The count of the
// lines suppressed since the last written one is appended to the next
// written line, before its line end: " (N more like this suppressed)".
// At most 256 keys are remembered; a new key evicts the one used longest ago.
// A suppressed line is not formatted at all.
void LogLimited(CProgramLogRecorder* recorder, const std::string& key, DWORD level,
                const char* classTag, const char* format, ...) __attribute__((format(printf, 5, 6)));

// True when a line of level would reach some output (the file, the console or
// a debug-output listener). Log checks it first; callers whose arguments are
// costly to compute check it before computing them.
bool LogWanted(CProgramLogRecorder* recorder, DWORD level);

// A node identity (the 16-byte MD5) is the node's only credential, so no log
// line prints it whole: log lines pass it through ShortIdentity, which keeps
// its first four hexadecimal digits followed by "...". The text form cuts
// every run of exactly 32 hexadecimal digits in text, so it serves an
// identity's hex text as well as a file name built from one.
std::string ShortIdentity(std::string text);
// The identity's first four upper-case hexadecimal digits and "..."; "" for
// a null identity.
std::string ShortIdentity(const BYTE* identity);

// Level tag printed for a level value.
const char* LogLevelTag(DWORD level);
