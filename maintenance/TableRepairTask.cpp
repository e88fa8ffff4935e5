#include "maintenance/TableRepairTask.h"

#include <mysql.h>

#include <algorithm>
#include <string>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"

namespace {

constexpr char kTag[] = "[CTableRepairTask]";
constexpr WORD kSaturday = 6;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

}  // namespace

const char CTableRepairTask::kProbeTables[kProbeTableCount][kTableNameField] = {
    "admin",
    "admingroup",
    "adt_log",
    "alarm_log",
    "ctrl_rights",
    "delay_restart_mysql",
    "dev_info",
    "dev_stat",
    "`devices`",
    "grp_flowrange",
    "grp_flowtrend",
    "midtableinfo",
    "`reportcache`",
    "tarngroup",
    "tarnrc",
    "tarnrcgrp",
    "tarnrole",
    "`tarnrole_grp`",
    "tarnrole_rc",
    "tarnrole_rcgrp",
    "tarnrole_user",
    "tarnuser",
    "svr_bwoptflow",
    "svr_flowrange",
    "svr_flowtrend",
    "svruser_flowrange",
    "syslog",
    "user_bwoptflow",
    "user_flowrange",
    "user_flowtrend",
    "usersvr_flowrange",
    "`usrbasiclog`",
    "usrsvrlog",
    "usrflowlog",
    "usrfileauditlog",
};

DWORD CTableRepairTask::Run() {
    if (!m_strDBName.empty()) {
        Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] Table Repair Thread For Db = %s Start...\n", m_strDBName.c_str());
    }
    CSQLConnManager::ThreadInit();
    // The counter grows by one wait step per wait; the first pass therefore
    // comes one period after the start.
    DWORD counter = 0;
    while (IsRunning()) {
        UpdateActivityTime();
        if (!WaitOneStep()) break;
        counter += m_dwWaitStepMs;
        if (counter >= m_dwPassPeriodMs) {
            RepairPass();
            counter = 0;
        }
    }
    CSQLConnManager::ThreadEnd();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] Table Repair Thread For Db = %s Exit.\n", m_strDBName.c_str());
    return 0;
}

bool CTableRepairTask::WaitOneStep() { return WaitForStop(m_dwWaitStepMs) == WAIT_TIMEOUT && IsRunning(); }

void CTableRepairTask::RepairPass() {
    if (m_strDBName.empty()) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (IsStrongRepairTime(now)) {
        DoStrongRepairTable();
    } else {
        DoNonStrongRepairTable();
    }
}

bool CTableRepairTask::IsStrongRepairTime(const SYSTEMTIME& now) const {
    if (now.wDayOfWeek != kSaturday || now.wDay == m_LastStrongRepairTime.wDay) return false;
    const CConfigManager* config = CConfigManager::GetInstance();
    const int start = config->m_Zelk.StartStrongRepairTime.Get();
    const int end = config->m_Zelk.EndStrongRepairTime.Get();
    const int hour = now.wHour;
    if (start > end) return (hour >= start && hour < 24) || hour <= end;
    return start <= hour && hour < end;
}

int CTableRepairTask::DoNonStrongRepairTable() {
    CSQLConnManager* pool = CSQLConnManager::GetInstance();
    MYSQL* connection = pool->AllocSqlConn(m_strDBName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[DoNonStrongRepairTable] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoNonStrongRepairTable] Non-Strong Repair To Db = %s Begin.\n",
        m_strDBName.c_str());
    for (const char* table : kProbeTables) {
        // Opening the table is enough to find it marked as crashed; no row
        // is read.
        if (ExecuteSql(connection, std::string("select * from  ").append(table).append(" limit 0"))) continue;
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[DoNonStrongRepairTable] Find Table %s.%s Maybe Crash. Errno = %u , ErrStr = %s.\n", m_strDBName.c_str(),
            table, mysql_errno(connection), mysql_error(connection));
        if (!ExecuteSql(connection, std::string("repair table ").append(table))) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag,
                "[DoNonStrongRepairTable] Repair Table %s.%s Fail. Errno = %u , ErrStr = %s.\n", m_strDBName.c_str(),
                table, mysql_errno(connection), mysql_error(connection));
        }
    }
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoNonStrongRepairTable] Non-Strong Repair For Db = %s End.\n",
        m_strDBName.c_str());
    pool->ReleaseSqlConn(connection);
    return 0;
}

int CTableRepairTask::DoStrongRepairTable() {
    CSQLConnManager* pool = CSQLConnManager::GetInstance();
    MYSQL* connection = pool->AllocSqlConn(m_strDBName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[DoStrongRepairTable] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    Log(Recorder(), LOG_LEVEL_WARN, kTag,
        "[DoStrongRepairTable] Strong Repair To Db = %s Begin , MySQL Will Run Into Busy Status And Datacenter Maybe "
        "No "
        "Response...\n",
        m_strDBName.c_str());
    int result = 0;
    // Read at each use, so that an edited statistics.conf applies at once.
    const std::string statement = CConfigManager::GetInstance()->m_Statistics.RepairTable.Get();
    if (!statement.empty()) {
        if (!ExecuteSql(connection, statement)) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag,
                "[DoStrongRepairTable] Cannot Exec Sql = %s ,  Errno = %u , ErrStr = %s.\n", statement.c_str(),
                mysql_errno(connection), mysql_error(connection));
        } else {
            GetLocalTime(&m_LastStrongRepairTime);
            Log(Recorder(), LOG_LEVEL_INFO, kTag, "[DoStrongRepairTable] Strong Repair For Db = %s Succeed.\n",
                m_strDBName.c_str());
            result = 1;
        }
    }
    Log(Recorder(), LOG_LEVEL_WARN, kTag, "[DoStrongRepairTable] Strong Repair For Db = %s End.\n",
        m_strDBName.c_str());
    pool->ReleaseSqlConn(connection);
    return result;
}
