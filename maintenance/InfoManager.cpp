#include "maintenance/InfoManager.h"

#include <cstdio>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/Socket.h"

namespace {

constexpr char kClassTag[] = "[CInfoManager]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

}  // namespace

CInfoManager* CInfoManager::GetInstance() {
    static CInfoManager* instance = new CInfoManager();  // read until the process ends
    return instance;
}

bool CInfoManager::Init() {
    if (IsInitialised()) return true;
    SYSTEMTIME st;
    GetLocalTime(&st);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    {
        std::lock_guard<std::mutex> lock(m_StateLock);
        m_strStartTime = text;
    }
    // The timed functions count from now; the info thread is not running yet.
    const DWORD now = GetTickCount();
    for (RealTimeInfoFunc& row : m_Funcs) row.lastRunTick = now;
    if (!m_InfoThread.Start(&CInfoManager::InfoThread, this)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Init] Cannot Create Info Thread. Err = %u\n", GetLastError());
        return false;
    }
    m_nInitialised.store(1);
    return true;
}

bool CInfoManager::UnInit() {
    m_nInitialised.store(0);
    m_InfoThread.Stop(kInfoStopWaitMs);
    return true;
}

std::string CInfoManager::GetStartTime() const {
    std::lock_guard<std::mutex> lock(m_StateLock);
    return m_strStartTime;
}

DWORD CInfoManager::InfoThread(void* param) {
    auto* manager = static_cast<CInfoManager*>(param);
    while (manager->m_InfoThread.WaitPeriod(manager->m_dwInfoStepMs.load()) == WAIT_TIMEOUT) {
        manager->Exec_RealTimeInfo_Func();
    }
    return 0;
}

void CInfoManager::Exec_RealTimeInfo_Func() {
    // Elapsed time is taken from the tick count, not from the number of
    // calls, so that a slow check does not stretch the interval.
    const DWORD now = GetTickCount();
    for (RealTimeInfoFunc& row : m_Funcs) {
        if (now - row.lastRunTick < row.intervalMs) continue;
        row.lastRunTick = now;
        if ((this->*row.func)() == 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Exec_RealTimeInfo_Func] Exec Func = %s Fail!\n", row.name);
        }
    }
}

int CInfoManager::RealTimeInfo_DiskSpace() {
    std::lock_guard<std::mutex> lock(m_DiskCheckLock);
    CConfigManager* config = CConfigManager::GetInstance();
    const std::string dataDir = config->m_MySqld.datadir.Get();
    if (!IsMySqlDataDirLocal()) {
        // The disk of a remote server cannot be measured from here; ISFULL
        // keeps the value of Zelk.conf.
        if (!m_bDiskCheckSkipped) {
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
                "[RealTimeInfo_DiskSpace] Disk Check Skipped: MySQL Data Not On This Host. DataDir = %s , "
                "DBServer = %s\n",
                dataDir.c_str(), config->m_Zelk.DBServer.Get().c_str());
        }
        m_bDiskCheckSkipped = true;
        return 1;
    }
    m_bDiskCheckSkipped = false;

    // The file system that holds datadir is the counterpart of its drive.
    // What MySQL may still use: the space free to unprivileged writers, not
    // the root reserve that ext4 keeps beside it.
    std::uint64_t available = 0;
    const bool measured = GetDiskFreeSpaceExA(dataDir.c_str(), &available, nullptr, nullptr);
    const int full = measured && IsDiskFull(available, config->m_Zelk.MinFreeSpace.Get()) ? 1 : 0;
    if (full == config->m_Zelk.ISFULL.Get()) return 1;

    config->m_Zelk.ISFULL.Set(full);
    const std::string path = CGlobalSharedData::GetInstance()->GetConfigDir() + "/Zelk.conf";
    char value[16];
    std::snprintf(value, sizeof(value), "%d", full);
    if (!WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", value, path.c_str())) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[RealTimeInfo_DiskSpace] Cannot Write ISFULL To %s. Err = %u\n",
            path.c_str(), GetLastError());
    }
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
        full != 0 ? "[RealTimeInfo_DiskSpace] Disk Is Full!\n" : "[RealTimeInfo_DiskSpace] Disk Is Not Full!\n");
    return 1;
}

bool CInfoManager::IsDiskFull(std::uint64_t freeBytes, std::int32_t minFreeMiB) {
    return static_cast<std::int64_t>(freeBytes >> 20) <= static_cast<std::int64_t>(minFreeMiB);
}

bool CInfoManager::IsLocalHost(const std::string& host) { return host.empty() || IsThisHost(host); }

bool CInfoManager::IsMySqlDataDirLocal() {
    CConfigManager* config = CConfigManager::GetInstance();
    return !config->m_MySqld.datadir.Get().empty() && IsLocalHost(config->m_Zelk.DBServer.Get());
}
