#include "datafile/LoadDataTask.h"

#include <algorithm>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"

namespace {

constexpr char kTag[] = "[CLoadDataTask]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

}  // namespace

CLoadDataTask::~CLoadDataTask() {
    if (m_pSqlConn != nullptr) CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pSqlConn);
    m_pSqlConn = nullptr;
}

bool CLoadDataTask::WaitForNextPass() { return WaitForStop(m_dwPassPeriodMs.load()) == WAIT_TIMEOUT && IsRunning(); }

DWORD CLoadDataTask::Run() {
    CSQLConnManager::ThreadInit();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] LoadDataTask For DB = %s Start...\n", m_strDBName.c_str());
    while (IsRunning()) {
        UpdateActivityTime();
        if (!WaitForNextPass()) break;
        if (m_strDBName.empty()) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Run] DataBase Name Not Specify! Cannot Import DataFile\n");
        } else if (CConfigManager::GetInstance()->m_Zelk.ISFULL.Get() != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kTag,
                "[Run] Import Calcel Due To Not Enough DiskSpace.Try Import Later...\n");
        } else {
            ImportPass();
        }
    }
    if (m_pSqlConn != nullptr) CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pSqlConn);
    m_pSqlConn = nullptr;
    CSQLConnManager::ThreadEnd();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] LoadDataTask For DB = %s Exit. Pointer = 0x%08x\n",
        m_strDBName.c_str(), static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(this)));
    return 0;
}

void CLoadDataTask::ImportPass() {
    CDataFileManager* manager = CDataFileManager::GetInstance();
    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    CImportPass pass(m_strDBName);
    std::string db, table, path;
    while (IsRunning()) {
        if (!pass.Claim(&db, &table, &path)) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[Run] No DataFile Need Import. DBName = %s\n", m_strDBName.c_str());
            break;
        }
        if (m_pSqlConn == nullptr) m_pSqlConn = sql->AllocSqlConn(m_strDBName.c_str(), CLIENT_LOCAL_FILES);
        if (m_pSqlConn == nullptr) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Run] Cannot Alloc SQL Connection.\n");
            pass.Failed(db, table, path);
            break;
        }
        if (manager->ImportDataFile(m_pSqlConn, table.c_str(), path.c_str(), true)) {
            Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] DB = %s Succeed To Import DataFile = %s\n",
                m_strDBName.c_str(), path.c_str());
            pass.Succeeded(db, table, path);
        } else {
            pass.Failed(db, table, path);
        }
    }
    if (m_pSqlConn != nullptr) sql->ReleaseSqlConn(m_pSqlConn);
    m_pSqlConn = nullptr;
    // pass gives back the claims of every file that failed in it
}
