#include "service/ServiceModule.h"

#include <fcntl.h>
#include <semaphore.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/ProgramLog.h"
#include "core/RunMode.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "service/UnitFile.h"

namespace {

struct SwitchName {
    const char* name;
    CommandSwitch value;
};

constexpr SwitchName kSwitches[] = {
    {"UnregServer", CommandSwitch::UnregServer}, {"RegServer", CommandSwitch::RegServer},
    {"Service", CommandSwitch::Service},         {"Console", CommandSwitch::Console},
    {"StopAll", CommandSwitch::StopAll},
};

// Reports a registration problem where an installer's user sees it and where
// an administrator finds it later.
void ReportRegistration(const std::string& text) {
    std::fprintf(stderr, "varnholt: %s\n", text.c_str());
    ReportEventToSystemLog((text + "\n").c_str());
}

// The install tree the unit passes on: the one this process uses.
std::string InstallDirForUnit() {
    const std::string dir = InstallDir();
    if (dir.empty()) return dir;
    return std::filesystem::absolute(dir).lexically_normal().string();
}

}  // namespace

CServiceModule* CServiceModule::GetInstance() {
    static CServiceModule* instance = new CServiceModule();  // lives until the process ends
    return instance;
}

CommandSwitch CServiceModule::ParseSwitch(const std::string& commandLine) {
    for (size_t i = 0; i < commandLine.size(); ++i) {
        if (commandLine[i] != '-' && commandLine[i] != '/') continue;
        const char* rest = commandLine.c_str() + i + 1;
        for (const SwitchName& s : kSwitches) {
            if (strcasecmp(rest, s.name) == 0) return s.value;
        }
    }
    return CommandSwitch::None;
}

int CServiceModule::ReportExit() {
    const int code = GetExitCode();
    if (code != 0) {
        // Said where the operator looks whatever state the program log is
        // in: standard error (the journal) and the system log.
        char text[160];
        std::snprintf(text, sizeof(text),
                      "Varnholt stopped on a failure of its start-up or of its listener (exit code %d); the program "
                      "log says which\n",
                      code);
        std::fputs(text, stderr);
        ReportEventToSystemLog(text);
    }
    return code;
}

void CServiceModule::ReportListening() {
    m_bListening.store(true);
    SetServiceStatus(SERVICE_RUNNING);
}

void CServiceModule::ReportNodesConnected(bool running) { SetServiceStatus(running ? SERVICE_RUNNING : SERVICE_PAUSED); }

void CServiceModule::ListenerEnded(bool failed) {
    if (failed) SetExitFailure();
    PostThreadMessage(GetHostThreadId(), WM_QUIT, 0, 0);
}

void CServiceModule::SetServiceStatus(DWORD state) {
    if (!m_bService.load()) return;
    m_dwCurrentState.store(state);
    if ((state == SERVICE_RUNNING || state == SERVICE_PAUSED) && !m_bListening.load()) return;
    switch (state) {
        case SERVICE_START_PENDING: NotifyServiceManager("STATUS=Starting"); break;
        case SERVICE_RUNNING: NotifyServiceManager("READY=1\nSTATUS=Running"); break;
        case SERVICE_PAUSED: NotifyServiceManager("STATUS=Paused: no synchronised node is connected"); break;
        case SERVICE_STOP_PENDING: NotifyServiceManager("STOPPING=1\nSTATUS=Stopping"); break;
        case SERVICE_STOPPED: NotifyServiceManager("STATUS=Stopped"); break;
        default: break;
    }
}

void CServiceModule::OnStopSignal(int signal) {
    CServiceModule* self = GetInstance();
    if (signal != SIGTERM && !(signal == SIGINT && self->IsConsoleMode())) return;
    self->SetServiceStatus(SERVICE_STOP_PENDING);
    PostThreadMessage(self->GetHostThreadId(), WM_QUIT, 0, 0);
}

void CServiceModule::FinishMainFlow(CVarnholt& app, DWORD limitMs) {
    app.Stop();
    if (!app.WaitForExit(limitMs)) {
        GetInstance()->SetServiceStatus(SERVICE_STOPPED);
        std::fflush(stdout);
        _exit(GetInstance()->GetExitCode());
    }
    CVarnholt::UnInitManagers();
}

void CServiceModule::PrepareHostThread() {
    // The host thread's queue must exist before a signal can post to it.
    m_dwHostThreadId.store(GetCurrentThreadId());
    SetServiceHost(this);
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);
    StartStopSignalThread(&CServiceModule::OnStopSignal);
}

void CServiceModule::Run() {
    MSG msg{};  // the queue exists already (PrepareHostThread)

    if (WSAStartup() != 0) {
        const char* text = "Varnholt Cannot Init WSAStartup\n";
        if (m_bService.load()) {
            ReportEventToSystemLog(text);
        } else {
            std::fputs(text, stderr);
        }
        SetExitFailure();
        return;
    }

    m_Varnholt.Start();
    while (GetMessage(&msg)) {
        // No window messages are dispatched here; the loop only waits for
        // WM_QUIT from a stop request or from the main thread.
    }
    FinishMainFlow(m_Varnholt, kMainThreadStopLimitMs);
    WSACleanup();
}

bool CServiceModule::Install() {
    const std::string executable = GetModuleFilePath();
    std::string error;
    if (executable.empty()) {
        ReportRegistration("Couldn't create service: the executable's path is unknown");
        return false;
    }
    if (!WriteUnitFile(BuildUnitText(executable, InstallDirForUnit()), &error)) {
        ReportRegistration("Couldn't create service: " + error);
        return false;
    }
    if (!ReloadServiceManager(&error)) {
        ReportRegistration("Couldn't open service manager: " + error + "; " + UnitFilePath() +
                           " is written, systemd reads it at its next reload");
    }
    return true;
}

bool CServiceModule::Uninstall() {
    std::error_code ec;
    if (!std::filesystem::exists(UnitFilePath(), ec)) return true;
    std::string error;
    // Stopping is best effort, as the stop control's result is ignored: a
    // unit that is not loaded or a missing manager still lets the file go.
    StopServiceUnit(&error);
    if (!RemoveUnitFile(&error)) {
        ReportRegistration("Service could not be deleted: " + error);
        return false;
    }
    if (!ReloadServiceManager(&error)) {
        ReportRegistration("Couldn't open service manager: " + error + "; " + UnitFilePath() +
                           " is removed, systemd forgets the unit at its next reload");
    }
    return true;
}

// The installed package's unit manages the packaged service: a unit written
// into /etc/systemd/system would shadow it, and removing that one would
// change nothing.
bool CServiceModule::PackageOwnsUnit() {
    std::error_code ec;
    if (!GetEnvString("VARNHOLT_UNIT_DIR").empty() || InstallDirOf(GetModuleFilePath()) != kPackagedInstallDir ||
        !std::filesystem::exists(kPackagedUnitPath, ec)) {
        return false;
    }
    ReportRegistration(std::string("varnholt.service belongs to the Debian package (") + kPackagedUnitPath +
                       "): use systemctl enable, disable, start or stop varnholt instead");
    return true;
}

int CServiceModule::RegisterServer(bool asService) {
    if (PackageOwnsUnit()) return 1;
    if (!Uninstall()) return 1;
    if (asService && !Install()) return 1;
    return 0;
}

int CServiceModule::UnregisterServer() { return !PackageOwnsUnit() && Uninstall() ? 0 : 1; }

int CServiceModule::StopAll(DWORD waitMs) {
    sem_t* event = sem_open(kProductExitEventName, 0);
    if (event == SEM_FAILED) {
        std::fprintf(stderr, "varnholt: cannot open the exit event %s: %s\n", kProductExitEventName,
                     std::strerror(errno));
        return 1;
    }
    const int posted = sem_post(event);
    const int postError = errno;
    sem_close(event);
    if (posted != 0) {
        std::fprintf(stderr, "varnholt: cannot set the exit event %s: %s\n", kProductExitEventName,
                     std::strerror(postError));
        return 1;
    }
    Sleep(waitMs);  // gives the processes that own the event time to end
    return 0;
}

int CServiceModule::Main(int argc, char** argv) {
    BlockStopSignals();

    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }

    switch (ParseSwitch(commandLine)) {
        case CommandSwitch::Console:
            m_bService.store(false);
            m_bConsole.store(true);
            SetRunMode(false, true);
            CProgramLogRecorder::GetInstance()->SetConsoleMode(true);
            PrepareHostThread();
            Run();
            return ReportExit();
        case CommandSwitch::None:
            if (!IsStartedByServiceManager()) {
                m_bService.store(false);
                return 0;
            }
            SetRunMode(true, false);
            PrepareHostThread();
            SetServiceStatus(SERVICE_START_PENDING);
            Run();
            SetServiceStatus(SERVICE_STOPPED);
            return ReportExit();
        case CommandSwitch::UnregServer:
            return UnregisterServer();
        case CommandSwitch::RegServer:
            return RegisterServer(false);
        case CommandSwitch::Service:
            return RegisterServer(true);
        case CommandSwitch::StopAll:
            return StopAll(kStopAllWaitMs);
    }
    return 0;
}
