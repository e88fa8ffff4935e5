#include "maintenance/DataBaseCleanTask.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "maintenance/InfoManager.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

constexpr char kClassTag[] = "[CDataBaseCleanTask]";
constexpr int kClearBySize = 0;
constexpr int kClearByTime = 1;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

CDataBaseCleanTask::CDataBaseCleanTask()
    : m_dwCheckPeriodMs(s_dwDefaultCheckPeriodMs.load()), m_dwWaitStepMs(s_dwDefaultWaitStepMs.load()) {}

CDataBaseCleanTask::~CDataBaseCleanTask() = default;

void CDataBaseCleanTask::SetCheckPeriod(DWORD checkPeriodMs, DWORD waitStepMs) {
    m_dwCheckPeriodMs.store(checkPeriodMs);
    m_dwWaitStepMs.store(waitStepMs);
}

void CDataBaseCleanTask::SetDefaultCheckPeriod(DWORD checkPeriodMs, DWORD waitStepMs) {
    s_dwDefaultCheckPeriodMs.store(checkPeriodMs);
    s_dwDefaultWaitStepMs.store(waitStepMs);
}

SYSTEMTIME CDataBaseCleanTask::GetLastCleanTime() const {
    std::lock_guard<std::mutex> lock(m_LastCleanLock);
    return m_LastCleanTime;
}

// ---------------------------------------------------------------------------
// Task body

DWORD CDataBaseCleanTask::WaitOneStep() {
    const DWORD rc = WaitForStop(m_dwWaitStepMs.load());
    return rc == WAIT_OBJECT_0 + 1 ? WAIT_TIMEOUT : rc;  // a stop ends the loop through IsRunning
}

DWORD CDataBaseCleanTask::Run() {
    CSQLConnManager::ThreadInit();
    if (!m_strDBName.empty()) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Clean DataBase Thread For DB = %s Start...\n",
            m_strDBName.c_str());
    }
    // The counter grows by one wait per pass and the check runs on the pass
    // after it has reached the period: the first check comes after 60 waits,
    // later ones every 61 waits.
    DWORD counter = 0;
    DWORD waitRet = WAIT_TIMEOUT;
    for (;;) {
        UpdateActivityTime();
        if (counter >= m_dwCheckPeriodMs.load()) {
            CheckAndClean();
            counter = 0;
        } else {
            counter += m_dwWaitStepMs.load();
        }
        waitRet = WaitOneStep();
        if (waitRet != WAIT_TIMEOUT || !IsRunning()) break;
    }
    CSQLConnManager::ThreadEnd();
    if (!m_strDBName.empty()) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Clean DataBase Thread For DB = %s Exit With WaitRet = %u\n",
            m_strDBName.c_str(), waitRet);
    }
    return 0;
}

void CDataBaseCleanTask::CheckAndClean() {
    CConfigManager* config = CConfigManager::GetInstance();
    const int type = config->m_Zelk.AutoClearType.Get();
    if (type == kClearBySize || type == kClearByTime) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        const int lastDay = GetLastCleanTime().wDay;
        if (IsCleanWindowOpen(config->m_Zelk.StartCheckTime.Get(), config->m_Zelk.EndCheckTime.Get(), now.wHour,
                              now.wDay, lastDay)) {
            const int cleaned = type == kClearBySize ? CleanDataBaseByContent() : CleanDataBaseByTime();
            if (cleaned != 0) {
                std::lock_guard<std::mutex> lock(m_LastCleanLock);
                GetLocalTime(&m_LastCleanTime);
            }
        }
    }
    m_nChecks.fetch_add(1);
}

bool CDataBaseCleanTask::RunStatement(MYSQL* connection, const char* method, const std::string& sql) {
    if (ExecuteSql(connection, sql)) return true;
    Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[%s] Exec Sql = %s Fail. Errno = %u , ErrStr = %s\n", method,
        sql.c_str(), mysql_errno(connection), mysql_error(connection));
    return false;
}

// ---------------------------------------------------------------------------
// Clean by time

int CDataBaseCleanTask::CleanDataBaseByTime() {
    if (m_strDBName.empty()) return 0;
    CConfigManager* config = CConfigManager::GetInstance();
    SYSTEMTIME today;
    GetLocalTime(&today);
    SYSTEMTIME cutOff;
    if (!CutOffDate(today, config->m_Zelk.DbCyc.Get(), &cutOff)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[CleanDataBaseByTime] DbCyc = %d Is Out Of Range , Nothing Cleaned.\n",
            config->m_Zelk.DbCyc.Get());
        return 0;
    }

    CSQLConnManager* pool = CSQLConnManager::GetInstance();
    MYSQL* connection = pool->AllocSqlConn(m_strDBName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[CleanDataBaseByTime] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    int result = 0;
    const std::string prepare = config->m_Statistics.CleanBaseProcByTime.Get();
    if (!prepare.empty()) RunStatement(connection, "CleanDataBaseByTime", prepare);
    const std::string clean = config->m_Statistics.CleanBaseByTime.Get();
    if (!clean.empty() &&
        RunStatement(connection, "CleanDataBaseByTime", SubstitutePlaceholder(clean, CutOffText(cutOff)))) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[CleanDataBaseByTime] Succeed To Clean DataBase = %s.\n",
            m_strDBName.c_str());
        result = 1;
    }
    pool->ReleaseSqlConn(connection);
    return result;
}

// ---------------------------------------------------------------------------
// Clean by size

int CDataBaseCleanTask::GetDataBaseSize(std::int64_t* size) {
    *size = 0;
    if (m_strDBName.empty()) return 0;
    // The server's folders may be closed to the service's user: the server
    // then tells the size itself.
    const bool fromFiles = CInfoManager::IsMySqlDataDirLocal() &&
                           GetDataBaseSizeFromFiles(CConfigManager::GetInstance()->m_MySqld.datadir.Get(), size) != 0;
    if (!fromFiles && GetDataBaseSizeFromServer(size) == 0) return 0;
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[GetDataBaseSize] The Size Of Db = %s Is %lld Byte(s)",
        m_strDBName.c_str(), static_cast<long long>(*size));
    return 1;
}

int CDataBaseCleanTask::GetDataBaseSizeFromFiles(const std::string& dataDir, std::int64_t* size) {
    // The server keeps database directories in lower case
    // (lower_case_table_names=1), while a node's database may be named in
    // mixed case.
    std::string dir = dataDir + "/" + m_strDBName;
    if (GetFileAttributesA(dir.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::string lower = m_strDBName;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        dir = dataDir + "/" + lower;
    }
    std::vector<DirEntry> entries;
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        !ListDirectory(dir, "*", &entries)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[GetDataBaseSize] Cannot Search File To Count Size For Db = %s\n",
            m_strDBName.c_str());
        return 0;
    }
    std::int64_t total = 0;
    for (const DirEntry& entry : entries) {
        if (entry.isDirectory || !IsTableFile(entry.name)) continue;
        const std::int64_t bytes = GetFileSizeA((dir + "/" + entry.name).c_str());
        if (bytes >= 0) {
            total += bytes;
            continue;
        }
        // A temporary file of the server may vanish between the listing and
        // its measurement; any other failure ends the walk.
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND) continue;
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[GetDataBaseSize] Call FindNextFile Fail. Err = %u\n", err);
        break;
    }
    *size = total;
    return 1;
}

bool CDataBaseCleanTask::IsTableFile(const std::string& name) {
    // The server's temporary tables (#sql-...) and the copies a repair
    // leaves (.BAK, .TMD) are not the database's content.
    if (name.rfind("#sql", 0) == 0) return false;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* table : {"myd", "myi", "frm", "mad", "mai", "ibd"}) {
        if (extension == table) return true;
    }
    return false;
}

int CDataBaseCleanTask::GetDataBaseSizeFromServer(std::int64_t* size) {
    CSQLConnManager* pool = CSQLConnManager::GetInstance();
    MYSQL* connection = pool->AllocSqlConn(m_strDBName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[GetDataBaseSize] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    const std::string sql =
        "select sum(data_length + index_length) from information_schema.TABLES where table_schema = '" +
        EscapeSqlGbk(m_strDBName) + "'";
    std::vector<SqlRow> rows;
    int ok = 0;
    if (!QuerySqlRows(connection, sql, &rows)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[GetDataBaseSize] Exec Sql = %s Fail. Errno = %u , ErrStr = %s\n",
            sql.c_str(), mysql_errno(connection), mysql_error(connection));
    } else {
        // A database without tables sums to NULL: its size is 0.
        if (!rows.empty() && !rows[0].empty() && rows[0][0].has_value()) {
            *size = std::strtoll(rows[0][0]->c_str(), nullptr, 10);
        }
        ok = 1;
    }
    pool->ReleaseSqlConn(connection);
    return ok;
}

int CDataBaseCleanTask::CleanDataBaseByContent() {
    if (m_strDBName.empty()) return 0;
    std::int64_t size = 0;
    if (GetDataBaseSize(&size) == 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[CleanDataBaseByContent] Cannot Get Size Of DB = %s\n",
            m_strDBName.c_str());
        return 0;
    }
    CConfigManager* config = CConfigManager::GetInstance();
    const std::int64_t sizeMiB = size / 1024 / 1024;
    const std::int32_t limitMiB = config->m_Zelk.DbContent.Get();
    // No limit (blank, 0 or negative) would make every byte too much.
    if (limitMiB <= 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[CleanDataBaseByContent] DbContent = %d Is Not A Size , Nothing Cleaned.\n", limitMiB);
        return 0;
    }
    if (sizeMiB < limitMiB) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[CleanDataBaseByContent] Db = %s Do Not Need To Clean.\n",
            m_strDBName.c_str());
        return 1;
    }
    CSQLConnManager* pool = CSQLConnManager::GetInstance();
    MYSQL* connection = pool->AllocSqlConn(m_strDBName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[CleanDataBaseByContent] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    char percent[16];
    std::snprintf(percent, sizeof(percent), "%d", CleanPercentage(sizeMiB, limitMiB));
    int result = 0;
    const std::string clean = config->m_Statistics.CleanBaseByContent.Get();
    if (!clean.empty() && RunStatement(connection, "CleanDataBaseByContent", SubstitutePlaceholder(clean, percent))) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[CleanDataBaseByContent] Succeed To Clean DataBase = %s.\n",
            m_strDBName.c_str());
        result = 1;
    }
    const std::string repair = config->m_Statistics.RepairTable.Get();
    if (!repair.empty()) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[CleanDataBaseByContent] Need To Call RepairTables To Make Database Small.Datacenter Maybe No "
            "Response.\n");
        if (RunStatement(connection, "CleanDataBaseByContent", repair)) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[CleanDataBaseByContent] Succeed To Repair After Clean DataBase = %s.\n", m_strDBName.c_str());
            result = 1;
        }
    }
    pool->ReleaseSqlConn(connection);
    return result;
}

// ---------------------------------------------------------------------------
// Rules

bool CDataBaseCleanTask::IsCleanWindowOpen(int startHour, int endHour, int hour, int day, int lastCleanDay) {
    const bool inHours =
        startHour > endHour ? (hour >= startHour && hour < 24) || hour <= endHour : hour >= startHour && hour < endHour;
    return inHours && day != lastCleanDay;
}

int CDataBaseCleanTask::DaysInMonth(int year, int month) {
    switch (month) {
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return IsLeapYear(year) ? 29 : 28;
        default:
            return 31;
    }
}

bool CDataBaseCleanTask::CutOffDate(const SYSTEMTIME& today, std::int32_t days, SYSTEMTIME* cutOff) {
    // A period reaching before the year 1 has no date: its year would wrap
    // into the future and the clean would delete everything.
    if (days < 0 || days >= static_cast<std::int64_t>(today.wYear) * 365) return false;
    int year = today.wYear;
    int month = today.wMonth;
    std::int64_t day = static_cast<std::int64_t>(today.wDay) - days;
    while (day <= 0 || day > DaysInMonth(year, month)) {
        if (--month == 0) {
            month = 12;
            --year;
        }
        day += DaysInMonth(year, month);
    }
    *cutOff = SYSTEMTIME{};
    cutOff->wYear = static_cast<WORD>(year);
    cutOff->wMonth = static_cast<WORD>(month);
    cutOff->wDay = static_cast<WORD>(day);
    return true;
}

std::string CDataBaseCleanTask::CutOffText(const SYSTEMTIME& cutOff) {
    char text[64];
    std::snprintf(text, sizeof(text), "\"%4d-%02d-%02d 23:59:59\"", cutOff.wYear, cutOff.wMonth, cutOff.wDay);
    return text;
}

std::string CDataBaseCleanTask::SubstitutePlaceholder(const std::string& sql, const std::string& value) {
    const size_t at = sql.find('@');
    const size_t close = sql.find(')');
    if (at == std::string::npos || close == std::string::npos || close < at) return sql;
    return sql.substr(0, at) + value + sql.substr(close);
}

int CDataBaseCleanTask::CleanPercentage(std::int64_t sizeMiB, std::int32_t limitMiB) {
    if (sizeMiB <= 0) return 0;
    const double percent =
        std::ceil(static_cast<double>(sizeMiB - limitMiB) / static_cast<double>(sizeMiB) * 100.0);
    // A negative limit (a configuration error) can push the share past what
    // an int holds; it is held at the int range instead of overflowing.
    return static_cast<int>(std::clamp(percent, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}
