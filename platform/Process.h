// Process-level services: ids, environment, stop signals, socket layer start,
// system log, debug output and the service manager's notifications.
#pragma once

#include <cstddef>
#include <string>

#include "platform/WinTypes.h"

DWORD GetCurrentProcessId();

// Value of an environment variable, "" when unset.
std::string GetEnvString(const char* name);
// The name of the effective user ("uid N" when it has none).
std::string CurrentUserName();

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts
// later. Call first thing in main, before any thread exists.
void BlockStopSignals();

// Starts a thread that waits for SIGINT or SIGTERM and calls handler(signal)
// for each. The handler runs on that thread, never in a signal context.
bool StartStopSignalThread(void (*handler)(int signal));

// Prepares the socket layer (ignores SIGPIPE). Returns 0 on success.
int WSAStartup();
void WSACleanup();

// Writes one informational entry to the system log under "Varnholt".
void ReportEventToSystemLog(const char* text);

// The debug view: every program-log line may carry what only the service and
// its operators should read, so lines go to a Unix datagram socket FILE in a
// runtime folder that only the service user (and root) can enter, never to an
// abstract name any local user could bind first. The folder is
// $RUNTIME_DIRECTORY under systemd (RuntimeDirectory=varnholt, mode 0750),
// else <install tree>/Zelk/Run, created with mode 0700.
constexpr char kDebugViewSocketFile[] = "debugview.sock";
// The folder systemd makes for the service unit; the viewer looks there first.
constexpr char kServiceRuntimeDir[] = "/run/varnholt";

// Sends text as one datagram to the debug view socket (DebugViewSocketPath of
// DebugViewSocketName()); dropped when nobody listens or the folder is not
// private. Never blocks.
void OutputDebugStringA(const char* text);
// False while the last debug-output datagram found nobody listening, for up
// to a second after it, and always when the debug view cannot be used;
// callers skip building lines that only the debug output would take. A
// listener opened in this process ends the pause.
bool DebugViewMayListen();

// Gives the free pages of every heap of the allocator back to the system
// (malloc_trim): heaps of threads that have ended keep them otherwise.
void ReleaseFreeMemory();
// "debugview.sock", or VARNHOLT_DEBUGVIEW_NAME when set (tests use their own
// name so that parallel runs do not meet).
std::string DebugViewSocketName();
// The runtime folder: the first entry of $RUNTIME_DIRECTORY, else the install
// tree's Zelk/Run (VARNHOLT_INSTALL_PATH, or two levels above the executable).
std::string DebugViewRuntimeDir();
// Where the socket of name lives: name itself when it holds a '/', else
// DebugViewRuntimeDir() + "/" + name.
std::string DebugViewSocketPath(const std::string& name);
// Makes dir usable for the debug-view socket: creates it with mode 0700 when
// missing, and refuses (false, last error set) a folder that is not a
// directory, belongs to another user than us or root (root accepts any
// owner), or is open to other users.
bool PrepareDebugViewDir(const std::string& dir);

// Sends one line to the systemd journal with the priority of an ERROR
// (LOG_ERR) or WARN (LOG_WARNING) line. text need not end in a zero; a final
// line end is left out. Without journald the line is dropped.
enum class JournalPriority { Error, Warning };
void SendToJournal(JournalPriority priority, const char* text, size_t length);

// True when systemd started this process (INVOCATION_ID or NOTIFY_SOCKET set).
bool IsStartedByServiceManager();
// Sends a state line to the service manager ("READY=1", "STOPPING=1",
// "STATUS=..."). Does nothing outside systemd.
void NotifyServiceManager(const char* state);

// Receiving end of the debug view: binds the socket file and returns one
// line per datagram. The file is removed again when the listener closes.
class CDebugViewListener {
public:
    CDebugViewListener() = default;
    ~CDebugViewListener();
    CDebugViewListener(const CDebugViewListener&) = delete;
    CDebugViewListener& operator=(const CDebugViewListener&) = delete;

    // Binds DebugViewSocketPath(name), first removing a stale socket file
    // that nobody listens on. False (last error set) when another listener
    // holds it, the folder is not private, or sockets fail.
    bool Open(const std::string& name);
    void Close();
    // Waits up to timeoutMs for one datagram; false on time-out or error.
    bool Receive(std::string* text, DWORD timeoutMs);
    // False when the socket file was removed or replaced since Open (systemd
    // empties the runtime folder when the service restarts).
    bool IsStillBound() const;
    const std::string& Path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
    unsigned long m_dev = 0;
    unsigned long m_ino = 0;
};
