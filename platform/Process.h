// Process-level services: ids, environment, stop signals, socket layer start,
// system log, debug output and the service manager's notifications.
#pragma once

#include <string>

#include "platform/WinTypes.h"

DWORD GetCurrentProcessId();

// Value of an environment variable, "" when unset.
std::string GetEnvString(const char* name);

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

// Sends text as one datagram to the debug view (the abstract Unix socket
// named by DebugViewSocketName()); dropped when nobody listens. Never blocks.
void OutputDebugStringA(const char* text);
// False while the last debug-output datagram found nobody listening, for up
// to a second after it; callers skip building lines that only the debug
// output would take. A listener opened in this process ends the pause.
bool DebugViewMayListen();
// "varnholt-debugview", or VARNHOLT_DEBUGVIEW_NAME when set (tests use their
// own name so that parallel runs do not meet).
std::string DebugViewSocketName();

// True when systemd started this process (INVOCATION_ID or NOTIFY_SOCKET set).
bool IsStartedByServiceManager();
// Sends a state line to the service manager ("READY=1", "STOPPING=1",
// "STATUS=..."). Does nothing outside systemd.
void NotifyServiceManager(const char* state);

// Receiving end of the debug view: binds the abstract socket name and returns
// one line per datagram.
class CDebugViewListener {
public:
    CDebugViewListener() = default;
    ~CDebugViewListener();
    CDebugViewListener(const CDebugViewListener&) = delete;
    CDebugViewListener& operator=(const CDebugViewListener&) = delete;

    // False when the name is taken by another listener or sockets fail.
    bool Open(const std::string& name);
    // Waits up to timeoutMs for one datagram; false on time-out or error.
    bool Receive(std::string* text, DWORD timeoutMs);

private:
    int m_fd = -1;
};
