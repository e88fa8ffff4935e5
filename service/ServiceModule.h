// The service host: command-line switches, the run procedure on the host
// thread, status reports to systemd, and the stop signals.
//
// Started by systemd (INVOCATION_ID or NOTIFY_SOCKET set) without a switch,
// the process runs as the service and reports its state with sd_notify;
// "-Console" runs the same procedure in the foreground with the program log
// echoed to standard output. SIGTERM (and SIGINT) post WM_QUIT to the host
// thread, which then runs the stop sequence.
#pragma once

#include <atomic>
#include <string>

#include "node/ServiceHost.h"
#include "platform/WinTypes.h"
#include "service/Varnholt.h"

// Service states reported through SetServiceStatus.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_PAUSED = 7;

// How long the host thread waits for the main thread after a stop before it
// ends the process.
constexpr DWORD kMainThreadStopLimitMs = 60000;
// How long StopAll waits after setting the product-wide exit event.
constexpr DWORD kStopAllWaitMs = 2000;
// The product-wide exit event: a named POSIX semaphore owned by other
// processes of the product.
constexpr char kProductExitEventName[] = "/OskarinDCExitEvent";

enum class CommandSwitch { None, UnregServer, RegServer, Service, Console, StopAll };

// The intake's host (CServiceHost): registered when the host thread is
// prepared, so that the listener and the node registry report here.
class CServiceModule final : public CServiceHost {
public:
    static CServiceModule* GetInstance();

    // Process entry: parses the switches and runs accordingly. Returns the
    // process exit code.
    int Main(int argc, char** argv);

    // The host thread's run procedure around the main flow.
    void Run();

    // Reports a state to systemd while running as the service; nothing in
    // console mode.
    void SetServiceStatus(DWORD state);
    DWORD GetCurrentState() const { return m_dwCurrentState.load(); }
    // Called when the node port listens: the service tells systemd it is
    // ready (READY=1) only from then on; running and paused states reported
    // before are kept but not sent.
    void ReportListening() override;
    bool IsListening() const { return m_bListening.load(); }
    // The registry's report: SERVICE_RUNNING while a synchronised node is
    // connected, SERVICE_PAUSED otherwise.
    void ReportNodesConnected(bool running) override;
    // The listener ended: a failure sets the exit code (SetExitFailure);
    // either way WM_QUIT goes to the host thread, which stops the service.
    void ListenerEnded(bool failed) override;
    // A failure of the start-up or of the listener: the process exits with
    // this code (non-zero) instead of 0, so that systemd sees the failure.
    void SetExitFailure(int code = 1) { m_nExitCode.store(code); }
    int GetExitCode() const { return m_nExitCode.load(); }

    DWORD GetHostThreadId() const { return m_dwHostThreadId.load(); }
    bool IsServiceMode() const { return m_bService.load(); }
    bool IsConsoleMode() const { return m_bConsole.load(); }

    // The switch named by a command line: the text after a '-' or '/' must
    // equal a switch name ignoring case, so only the last word counts.
    static CommandSwitch ParseSwitch(const std::string& commandLine);

    // The stop sequence after the message loop: stop the tasks, set the exit
    // event, wait up to limitMs for the main thread, then shut the managers
    // down. A main thread that does not end in time ends the process with
    // code 0 at once.
    static void FinishMainFlow(CVarnholt& app, DWORD limitMs);

    // The registration switches; each returns the process exit code and
    // prints a failure on standard error (and to the system log).
    // RegServer (asService false) removes any unit and installs none;
    // Service (asService true) removes it, then writes it anew so that it
    // runs this executable.
    static int RegisterServer(bool asService);
    // UnregServer: stops the unit and removes it.
    static int UnregisterServer();
    // StopAll: opens the product-wide exit event without creating it, sets
    // it, closes it and waits waitMs. Non-zero when the event does not exist.
    static int StopAll(DWORD waitMs);

    // The unit as the registration switches manage it. Install writes it
    // (overwriting) and asks systemd to reload; Uninstall is true at once
    // when there is no unit, else stops it, removes it and reloads. A
    // service manager that cannot be reached is reported, not a failure:
    // the unit file is what counts, and systemd reads it when it reloads.
    static bool Install();
    static bool Uninstall();
    // True (reported) when the Debian package's unit manages this
    // executable: registration switches then change nothing.
    static bool PackageOwnsUnit();
    static constexpr char kPackagedUnitPath[] = "/lib/systemd/system/varnholt.service";

private:
    CServiceModule() = default;

    static void OnStopSignal(int signal);
    // Records the host thread, creates its message queue and starts the
    // thread that turns stop signals into WM_QUIT.
    void PrepareHostThread();
    // The exit code after the run; a failure is also written to standard
    // error and the system log.
    int ReportExit();

    CVarnholt m_Varnholt;
    std::atomic<DWORD> m_dwHostThreadId{0};
    std::atomic<DWORD> m_dwCurrentState{SERVICE_STOPPED};
    std::atomic<bool> m_bService{true};
    std::atomic<bool> m_bConsole{false};
    std::atomic<bool> m_bListening{false};
    std::atomic<int> m_nExitCode{0};
};
