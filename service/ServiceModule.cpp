#include "service/ServiceModule.h"

#include <strings.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "core/ProgramLog.h"
#include "core/RunMode.h"
#include "platform/Process.h"
#include "platform/Thread.h"

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

void CServiceModule::SetServiceStatus(DWORD state) {
    if (!m_bService.load()) return;
    m_dwCurrentState.store(state);
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
        _exit(0);
    }
    CVarnholt::UnInitManagers();
}

void CServiceModule::PrepareHostThread() {
    // The host thread's queue must exist before a signal can post to it.
    m_dwHostThreadId.store(GetCurrentThreadId());
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);
    StartStopSignalThread(&CServiceModule::OnStopSignal);
}

void CServiceModule::Run() {
    MSG msg{};  // the queue exists already (PrepareHostThread)

    if (m_bService.load()) SetServiceStatus(SERVICE_RUNNING);

    if (WSAStartup() != 0) {
        const char* text = "Varnholt Cannot Init WSAStartup\n";
        if (m_bService.load()) {
            ReportEventToSystemLog(text);
        } else {
            OutputDebugStringA(text);
        }
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
            return 0;
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
            return 0;
        case CommandSwitch::UnregServer:
        case CommandSwitch::RegServer:
        case CommandSwitch::Service:
        case CommandSwitch::StopAll:
            std::fprintf(stderr, "varnholt: this switch is not available yet; use -Console or run under systemd.\n");
            return 1;
    }
    return 0;
}
