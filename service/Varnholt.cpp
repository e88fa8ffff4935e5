#include "service/Varnholt.h"

#include "audit/AuditFileManager.h"
#include "config/ConfigManager.h"
#include "config/ConfigMonitorTask.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/SocketManager.h"
#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "info/InfoRetrieveTask.h"
#include "info/MetricsServer.h"
#include "maintenance/InfoManager.h"
#include "node/DataCenterListenTask.h"
#include "node/TarnNodeManager.h"
#include "platform/CrashHandler.h"
#include "platform/Thread.h"
#include "service/ServiceModule.h"
#include "writers/LogMerger.h"
#include "writers/SqlSpool.h"

CVarnholt::CVarnholt(MainProc mainProc) : m_pMainProc(mainProc) {}

CVarnholt::~CVarnholt() {
    if (m_hMainThread != nullptr) CloseHandle(m_hMainThread);
}

bool CVarnholt::Start() {
    if (m_hMainThread != nullptr) {
        if (WaitForSingleObject(m_hMainThread, 0) == WAIT_TIMEOUT) return true;
        CloseHandle(m_hMainThread);
        m_hMainThread = nullptr;
    }
    DWORD threadId = 0;
    m_hMainThread = CreateThread(m_pMainProc, this, &threadId);
    return m_hMainThread != nullptr;
}

bool CVarnholt::Stop() {
    CTaskManager::GetInstance()->StopAllTask();
    SetExitEvent();
    return true;
}

bool CVarnholt::WaitForExit(DWORD timeoutMs) {
    return WaitForSingleObject(m_hMainThread, timeoutMs) != WAIT_TIMEOUT;
}

bool CVarnholt::InitManagers() {
    return CConfigManager::GetInstance()->Init() && CBuffManager::GetInstance()->Init() &&
           CSocketManager::GetInstance()->Init() && CSQLConnManager::GetInstance()->Init() &&
           CSqlSpool::GetInstance()->Init() && CDataFileManager::GetInstance()->Init() &&
           CLogMergeManager::GetInstance()->Init() && CTarnNodeManager::GetInstance()->Init() &&
           CTaskManager::GetInstance()->Init() && CInfoManager::GetInstance()->Init() &&
           CAuditFileManager::GetInstance()->Init();
}

void CVarnholt::UnInitManagers() {
    CAuditFileManager::GetInstance()->UnInit();
    CTaskManager::GetInstance()->UnInit();
    CTarnNodeManager::GetInstance()->UnInit();
    CLogMergeManager::GetInstance()->UnInit();
    CDataFileManager::GetInstance()->UnInit();
    CSqlSpool::GetInstance()->UnInit();
    CSQLConnManager::GetInstance()->UnInit();
    CSocketManager::GetInstance()->UnInit();
    CInfoManager::GetInstance()->UnInit();
    CConfigManager::GetInstance()->UnInit();
    CBuffManager::GetInstance()->UnInit();
    CProgramLogRecorder::GetInstance()->UnInit();
}

template <class Task>
bool CVarnholt::StartTopLevelTask(Task* task, Task** slot) {
    task->SetAutoDelete(true);
    if (!CTaskManager::GetInstance()->AddTask(task)) {
        // Not registered: nobody else will free it. A task whose thread was
        // created after all is handed to the reaper instead.
        CTaskManager::GetInstance()->DeleteWhenEnded(task);
        return false;
    }
    *slot = task;
    return true;
}

DWORD CVarnholt::VarnholtMain(CVarnholt* self) {
    if (self == nullptr) return 0;

    bool started = CGlobalSharedData::GetInstance()->Init() && CProgramLogRecorder::GetInstance()->Init();
    // A crash of any thread from here on leaves Varnholt.dmp in the dump
    // folder and its back-trace in the program log; a debugger attached at
    // start sees the faults itself.
    if (started && !IsDebuggerAttached()) {
        InstallCrashHandler(CGlobalSharedData::GetInstance()->GetDumpDir().c_str(), [](const char* text) {
            Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[Exception]", "%s\n", text);
        });
    }
    started = started && InitManagers();
    // A fresh install tree may lack its working folders: make them now
    // rather than fail at the first info sync or data file.
    if (started) CGlobalSharedData::GetInstance()->CreateWorkingDirectories();
    if (started) started = StartTopLevelTask(new CDataCenterListenTask(), &self->m_pListenTask);
    if (started) started = StartTopLevelTask(new CConfigMonitorTask(), &self->m_pConfigMonitorTask);
    if (started) started = StartTopLevelTask(new CInfoRetrieveTask(), &self->m_pInfoRetrieveTask);
    // The scrape endpoint is an operator's view, not the intake: when it
    // cannot listen the service says so at ERROR and goes on without it.
    CMetricsServer metrics;
    if (started) StartMetricsEndpoint(&metrics);
    if (started) {
        WaitForExitEvent(INFINITE);
        metrics.Stop();
        CTaskManager::GetInstance()->WaitForAllTask(INFINITE);
        CTaskManager::GetInstance()->RemoveTask(self->m_pListenTask);
        self->m_pListenTask = nullptr;
        CTaskManager::GetInstance()->RemoveTask(self->m_pConfigMonitorTask);
        self->m_pConfigMonitorTask = nullptr;
        CTaskManager::GetInstance()->RemoveTask(self->m_pInfoRetrieveTask);
        self->m_pInfoRetrieveTask = nullptr;
        CTarnNodeManager::GetInstance()->WaitAllTarnNodeExit(INFINITE);
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[CVarnholt]", "[VarnholtMain] Exit Normally.\n");
    } else {
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[CVarnholt]",
            "[VarnholtMain] Start Up Fail , A Manager Or Top-Level Task Could Not Start.\n");
        CServiceModule::GetInstance()->SetExitFailure();
    }

    PostThreadMessage(CServiceModule::GetInstance()->GetHostThreadId(), WM_QUIT, 0, 0);
    return 0;
}
