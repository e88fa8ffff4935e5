#include "service/Varnholt.h"

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/SocketManager.h"
#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "platform/Thread.h"
#include "service/ServiceModule.h"

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
    CGlobalSharedData::GetInstance()->SetExitEvent();
    return true;
}

bool CVarnholt::WaitForExit(DWORD timeoutMs) {
    return WaitForSingleObject(m_hMainThread, timeoutMs) != WAIT_TIMEOUT;
}

bool CVarnholt::InitManagers() {
    return CConfigManager::GetInstance()->Init() && CBuffManager::GetInstance()->Init() &&
           CSocketManager::GetInstance()->Init() && CSQLConnManager::GetInstance()->Init() &&
           CTaskManager::GetInstance()->Init();
}

void CVarnholt::UnInitManagers() {
    CTaskManager::GetInstance()->UnInit();
    CSQLConnManager::GetInstance()->UnInit();
    CSocketManager::GetInstance()->UnInit();
    CConfigManager::GetInstance()->UnInit();
    CBuffManager::GetInstance()->UnInit();
    CProgramLogRecorder::GetInstance()->UnInit();
}

DWORD CVarnholt::VarnholtMain(CVarnholt* self) {
    if (self == nullptr) return 0;

    const bool started = CGlobalSharedData::GetInstance()->Init() && CProgramLogRecorder::GetInstance()->Init() &&
                         InitManagers();
    if (started) {
        CGlobalSharedData::GetInstance()->WaitForExitEvent(INFINITE);
        CTaskManager::GetInstance()->WaitForAllTask(INFINITE);
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_INFO, "[CVarnholt]", "[VarnholtMain] Exit Normally.\n");
    }

    PostThreadMessage(CServiceModule::GetInstance()->GetHostThreadId(), WM_QUIT, 0, 0);
    return 0;
}
