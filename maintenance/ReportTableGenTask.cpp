#include "maintenance/ReportTableGenTask.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

constexpr char kTag[] = "[CReportTableGenTask]";
constexpr size_t kSqlBufferSize = 1024;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// The number in text[at, at + length), 0 where the text is shorter.
int NumberAt(const std::string& text, size_t at, size_t length) {
    if (at >= text.size()) return 0;
    return std::atoi(text.substr(at, length).c_str());
}

// Seconds since the epoch of a local date-and-time text read by position
// ("YYYY-MM-DD HH:MM:SS", any single separators).
std::int64_t LocalTextToSeconds(const std::string& text) {
    std::tm tm{};
    tm.tm_year = NumberAt(text, 0, 4) - 1900;
    tm.tm_mon = NumberAt(text, 5, 2) - 1;
    tm.tm_mday = NumberAt(text, 8, 2);
    tm.tm_hour = NumberAt(text, 11, 2);
    tm.tm_min = NumberAt(text, 14, 2);
    tm.tm_sec = NumberAt(text, 17, 2);
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(mktime(&tm));
}

// Waits stepMs on the exit event and the stop signal; false when the waiter
// must end (exit event, stop, failed wait, or running() turned false).
template <class Running>
bool WaitOneStep(DWORD stepMs, HANDLE stop, Running running) {
    HANDLE waits[2] = {GetExitEvent(), stop};
    return WaitForMultipleObjects(2, waits, false, stepMs) == WAIT_TIMEOUT && running();
}

std::string CutText(const char* text, size_t length) {
    std::string value(text, length);
    if (value.size() > CReportTableGenTask::kMaxTimeText) value.resize(CReportTableGenTask::kMaxTimeText);
    return value;
}

}  // namespace

// What the task shares with its table threads; see the header.
class CReportTableGenTask::CGenState {
public:
    CGenState(std::string dbName, DWORD waitStepMs, DWORD minuteMs)
        : m_strDBName(std::move(dbName)), m_dwWaitStepMs(waitStepMs), m_dwMinuteMs(minuteMs) {}
    ~CGenState() {
        if (m_bLockReady) DeleteCriticalSection(&m_csTask);
        if (m_hStop != nullptr) CloseHandle(m_hStop);
    }
    CGenState(const CGenState&) = delete;
    CGenState& operator=(const CGenState&) = delete;

    bool CreateLock() {
        m_bLockReady = InitializeCriticalSectionAndSpinCount(&m_csTask, kCsSpinCount);
        return m_bLockReady;
    }

    // 1 when the table's statistics should run now; writes the window into
    // its statistics statement when they run after an earlier window.
    int CanStatistics(size_t index);
    // 1 when every non-empty statement of the table succeeded.
    int DoStatistics(size_t index);
    // 1 when the statement succeeded; with freeResult every result is read
    // and freed, otherwise the caller reads the first one.
    int ExecSql(MYSQL* connection, const char* statement, int freeResult);

    bool IsRunning() const { return m_nRunning.load(std::memory_order_acquire) == 1; }
    void StopThreads() {
        m_nRunning.store(0, std::memory_order_release);
        if (m_hStop != nullptr) SetEvent(m_hStop);
    }
    size_t ConnectionsInUse() {
        CCSLocker lock(&m_csTask);
        return m_ConnectionsInUse.size();
    }

    const std::string m_strDBName;
    HANDLE m_hStop = CreateEvent(true, false);  // set by StopThreads: ends the threads' waits
    // Written before the threads start; afterwards each thread changes only
    // the statistics statement of its own table.
    std::vector<StatisticsTableInfo> m_Tables;
    const DWORD m_dwWaitStepMs;
    const DWORD m_dwMinuteMs;

private:
    // A connection to the database, listed as in use; null when none.
    MYSQL* AllocConnection();
    void ReleaseConnection(MYSQL* connection);
    bool ShouldWait(const StatisticsTableInfo& table, const std::string& updateTime) const;
    static void WriteWindow(std::string* statement, const std::string& endTime);

    std::atomic<std::int32_t> m_nRunning{1};
    CRITICAL_SECTION m_csTask;
    bool m_bLockReady = false;
    std::vector<MYSQL*> m_ConnectionsInUse;
};

namespace {

struct TableThreadArg {
    size_t index;
    std::shared_ptr<CReportTableGenTask::CGenState> state;
};

}  // namespace

DWORD CReportTableGenTask::Run() {
    if (m_strDBName.empty()) return static_cast<DWORD>(-1);
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] Table Gen Thread For Db = %s Start...\n", m_strDBName.c_str());
    m_pState = std::make_shared<CGenState>(m_strDBName, m_dwWaitStepMs, m_dwMinuteMs);
    if (!m_pState->CreateLock()) {
        m_pState.reset();
        return static_cast<DWORD>(-1);
    }

    const auto tables = CConfigManager::GetInstance()->m_Statistics.Tables.Get();
    m_pState->m_Tables.assign(tables->begin(), tables->end());
    const size_t threadCount = std::min(m_pState->m_Tables.size(), kMaxTableThreads);
    for (size_t i = 0; i < threadCount; ++i) {
        auto* argument = new TableThreadArg{i, m_pState};
        DWORD threadId = 0;
        HANDLE thread = CreateThread(&CReportTableGenTask::TableStatistics, argument, &threadId);
        if (thread == nullptr) {
            delete argument;
            Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Run] Cannot Start Gen Table = %s.%s Work!\n", m_strDBName.c_str(),
                m_pState->m_Tables[i].TableName.c_str());
        }
        m_ThreadHandles.push_back(thread);
    }

    while (IsRunning()) {
        UpdateActivityTime();
        if (!WaitOneStep(m_dwWaitStepMs, m_hStopRequested, [this] { return IsRunning(); })) break;
    }

    m_pState->StopThreads();
    std::vector<HANDLE> started;
    for (HANDLE thread : m_ThreadHandles) {
        if (thread != nullptr) started.push_back(thread);
    }
    if (!started.empty() && WaitForMultipleObjects(static_cast<DWORD>(started.size()), started.data(), true,
                                                   kThreadEndWaitMs) != WAIT_OBJECT_0) {
        // Threads are never killed here: one still inside a statement ends
        // by itself when the statement returns, holding the shared state.
        size_t busy = 0;
        for (HANDLE thread : started) {
            if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) ++busy;
        }
        Log(Recorder(), LOG_LEVEL_WARN, kTag,
            "[Run] %u Gen Table Thread(s) For Db = %s Still Busy With %u SQL Connection(s), Left To End By "
            "Themselves.\n",
            static_cast<unsigned>(busy), m_strDBName.c_str(), static_cast<unsigned>(m_pState->ConnectionsInUse()));
    }
    for (HANDLE thread : started) CloseHandle(thread);
    m_ThreadHandles.clear();
    m_pState.reset();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[Run] Table Gen Thread For Db = %s Exit.\n", m_strDBName.c_str());
    return 0;
}

DWORD CReportTableGenTask::TableStatistics(void* argument) {
    if (argument == nullptr) return static_cast<DWORD>(-1);
    std::unique_ptr<TableThreadArg> arg(static_cast<TableThreadArg*>(argument));
    std::shared_ptr<CGenState> state = arg->state;
    if (!state) return static_cast<DWORD>(-2);
    const size_t index = arg->index;
    if (index >= state->m_Tables.size()) return static_cast<DWORD>(-3);
    const char* db = state->m_strDBName.c_str();
    const std::string table = state->m_Tables[index].TableName;

    CSQLConnManager::ThreadInit();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[TableStatistics] Report Gen For %s.%s Start...\n", db, table.c_str());
    const std::int64_t period = static_cast<std::int64_t>(state->m_Tables[index].SleepTime) * state->m_dwMinuteMs;
    std::int64_t counter = 0;
    while (state->IsRunning()) {
        if (!WaitOneStep(state->m_dwWaitStepMs, state->m_hStop, [&state] { return state->IsRunning(); })) break;
        counter += state->m_dwWaitStepMs;
        if (counter >= period) {
            if (state->CanStatistics(index) == 1 && state->DoStatistics(index) == 0) {
                Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[TableStatistics] Statistics Table %s.%s Fail.\n", db,
                    table.c_str());
            }
            counter = 0;
        }
    }
    CSQLConnManager::ThreadEnd();
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[TableStatistics] Report Gen For %s.%s Exit Normally.\n", db, table.c_str());
    return 0;
}

MYSQL* CReportTableGenTask::CGenState::AllocConnection() {
    MYSQL* connection = CSQLConnManager::GetInstance()->AllocSqlConn(m_strDBName.c_str(), CLIENT_MULTI_STATEMENTS);
    if (connection == nullptr) return nullptr;
    CCSLocker lock(&m_csTask);
    m_ConnectionsInUse.push_back(connection);
    return connection;
}

void CReportTableGenTask::CGenState::ReleaseConnection(MYSQL* connection) {
    {
        CCSLocker lock(&m_csTask);
        auto it = std::find(m_ConnectionsInUse.begin(), m_ConnectionsInUse.end(), connection);
        if (it != m_ConnectionsInUse.end()) m_ConnectionsInUse.erase(it);
    }
    CSQLConnManager::GetInstance()->ReleaseSqlConn(connection);
}

int CReportTableGenTask::CGenState::CanStatistics(size_t index) {
    if (CConfigManager::GetInstance()->m_Zelk.ISFULL.Get() != 0) {
        Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[CanStatistics] Disk Full So No Statistics Will Do.\n");
        return 0;
    }
    MYSQL* connection = AllocConnection();
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[CanStatistics] Cannot Alloc SQL Connection.\n");
        return 0;
    }

    StatisticsTableInfo& table = m_Tables[index];
    char sql[kSqlBufferSize];
    std::snprintf(sql, sizeof(sql),
                  "select beginTime, endTime,  updateTime from midtableinfo where tbName='%s' order by  updateTime "
                  "desc limit 1",
                  table.TableName.c_str());
    int result = 0;
    // A result set that cannot be read counts as a failed query: running
    // with "no row yet" would repeat the last window's statement.
    MYSQL_RES* rows = ExecSql(connection, sql, 0) == 1 ? mysql_store_result(connection) : nullptr;
    if (rows != nullptr) {
        std::string beginTime, endTime, updateTime;
        if (MYSQL_ROW row = mysql_fetch_row(rows); row != nullptr && mysql_num_fields(rows) >= 3) {
            const unsigned long* lengths = mysql_fetch_lengths(rows);
            if (row[0] != nullptr) beginTime = CutText(row[0], lengths[0]);
            endTime = row[1] != nullptr ? CutText(row[1], lengths[1]) : std::string("NULL");
            if (row[2] != nullptr) updateTime = CutText(row[2], lengths[2]);
        }
        mysql_free_result(rows);
        while (mysql_next_result(connection) == 0) {
            if (MYSQL_RES* more = mysql_store_result(connection)) mysql_free_result(more);
        }
        if (beginTime.empty() && endTime.empty() && updateTime.empty()) {
            result = 1;  // first run: the statement as configured
        } else if (!ShouldWait(table, updateTime)) {
            WriteWindow(&table.StatistSql, endTime);
            result = 1;
        }
    }
    ReleaseConnection(connection);
    return result;
}

bool CReportTableGenTask::CGenState::ShouldWait(const StatisticsTableInfo& table, const std::string& updateTime) const {
    const std::int64_t elapsed = static_cast<std::int64_t>(GetSystemTimeSeconds()) - LocalTextToSeconds(updateTime);
    const std::int64_t period = static_cast<std::int64_t>(table.StatistCys) * 60;
    // SleepTime, taken as seconds, lets a run start that much early, so
    // that a wake-up just before the period ends does not skip a whole
    // sleep.
    return elapsed < period && period - elapsed > table.SleepTime;
}

void CReportTableGenTask::CGenState::WriteWindow(std::string* statement, const std::string& endTime) {
    const std::string start = (endTime.empty() || endTime == "NULL") ? std::string("NULL") : "\"" + endTime + "\"";
    const size_t open = statement->find('(');
    if (open != std::string::npos) {
        const size_t after = open + 1;
        statement->replace(after, std::min(open + kWindowReplaceExtra, statement->size() - after), start);
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char end[64];
    std::snprintf(end, sizeof(end), " ,\"%4d-%02d-%02d %02d:%02d:%02d\")", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    statement->append(end);
}

int CReportTableGenTask::CGenState::DoStatistics(size_t index) {
    MYSQL* connection = AllocConnection();
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[DoStatistics] Cannot Alloc SQL Connection.\n");
        return 0;
    }
    const StatisticsTableInfo& table = m_Tables[index];
    int result = 1;
    for (const std::string* statement : {&table.CreateSql, &table.CreateProcSql, &table.StatistSql,
                                         &table.CleanStatistByTime, &table.CleanStatistSql}) {
        if (!statement->empty() && ExecSql(connection, statement->c_str(), 1) == 0) result = 0;
    }
    ReleaseConnection(connection);
    return result;
}

int CReportTableGenTask::CGenState::ExecSql(MYSQL* connection, const char* statement, int freeResult) {
    if (connection == nullptr || statement == nullptr) return 0;
    // With freeResult every result of a multi-statement text (or a procedure
    // call) is read, and a later statement's failure fails the whole text;
    // without, the caller reads the one result itself.
    const bool ok = freeResult == 1 ? ExecuteSql(connection, statement) : mysql_query(connection, statement) == 0;
    if (!ok) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[ExecSql] Fail To Exec Sql = %s , Errno = %u , ErrStr = %s\n",
            statement, mysql_errno(connection), mysql_error(connection));
        return 0;
    }
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[ExecSql] Succeed To Exec Sql = %s\n", statement);
    return 1;
}
