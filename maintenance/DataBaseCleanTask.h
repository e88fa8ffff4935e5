// The clean task of one node database: once a day, inside the configured
// window of local hours, it deletes old rows, either everything older than
// DbCyc days (AutoClearType 1) or, when the database is larger than DbContent
// MiB, the share of data above the limit (AutoClearType 0).
//
// The SQL is site data: the statements are the first lines of the sections
// CleanBaseProcByTime, CleanBaseByTime, CleanBaseByContent and RepairTable of
// statistics.conf, read at each use. The task only substitutes a value at the
// statement's placeholder: the text from the first '@' up to, not including,
// the first ')' becomes the quoted cut-off "YYYY-MM-DD 23:59:59" or the
// percentage.
//
// The node connection sets the database name before the task starts; an
// empty name makes every clean do nothing. The task runs on its own thread
// (CTaskManager::AddTask) with its own connection per clean; it checks every
// 610 s (a counter of 10 s waits reaching 600 s) and ends within 100 ms of a
// stop or of the exit event. The last clean time is written by the task's
// thread only; other threads read it through GetLastCleanTime.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/Task.h"
#include "platform/WinTypes.h"

class CDataBaseCleanTask : public CTask {
public:
    // The check runs when the wait counter has reached this value.
    static constexpr DWORD kCheckPeriodMs = 600000;
    // One wait on the exit event; the counter grows by this much per wait.
    static constexpr DWORD kWaitStepMs = 10000;
    // A stop request is noticed within this time inside a wait.
    static constexpr std::int64_t kBytesPerMiB = 1048576;

    CDataBaseCleanTask();
    ~CDataBaseCleanTask() override;

    DWORD Run() override;

    void SetDBName(const std::string& dbName) { m_strDBName = dbName; }
    const std::string& GetDBName() const { return m_strDBName; }

    // 1 when the delete statement succeeded. Uses a connection of its own.
    int CleanDataBaseByTime();
    // 1 when no clean was needed, or a clean or repair statement succeeded.
    int CleanDataBaseByContent();
    // Size in bytes of the database: the files of its directory under
    // datadir when the MySQL server is local, otherwise (or with no datadir)
    // the table and index lengths that information_schema reports. 1/0.
    int GetDataBaseSize(std::int64_t* size);

    // When the last clean succeeded (all zero before the first one).
    SYSTEMTIME GetLastCleanTime() const;
    // Checks done so far (each one may or may not have cleaned).
    std::uint32_t GetCheckCount() const { return m_nChecks.load(); }

    // Tests shorten the check period and the wait before the task starts.
    void SetCheckPeriod(DWORD checkPeriodMs, DWORD waitStepMs);
    // The periods of tasks created from now on (node connections create
    // theirs); tests shorten them.
    static void SetDefaultCheckPeriod(DWORD checkPeriodMs, DWORD waitStepMs);

    // ---- The rules, free of time and database ------------------------------
    // Whether a clean may run at hour/day, with the window startHour..endHour
    // (a start after the end crosses midnight and includes the end hour) and
    // the day of month of the last clean.
    static bool IsCleanWindowOpen(int startHour, int endHour, int hour, int day, int lastCleanDay);
    // today minus days (days >= 0), walking back over month and year borders
    // by the Gregorian calendar. False for a negative number of days.
    static bool CutOffDate(const SYSTEMTIME& today, std::int32_t days, SYSTEMTIME* cutOff);
    // The cut-off as the statement receives it: "YYYY-MM-DD 23:59:59" with
    // the double quotes.
    static std::string CutOffText(const SYSTEMTIME& cutOff);
    // sql with value at its placeholder, or sql unchanged when it has none.
    static std::string SubstitutePlaceholder(const std::string& sql, const std::string& value);
    // Percentage of data to delete: ceil((sizeMiB - limitMiB) / sizeMiB * 100);
    // 0 when the size is not positive.
    static int CleanPercentage(std::int64_t sizeMiB, std::int32_t limitMiB);
    static int DaysInMonth(int year, int month);

private:
    // Waits one step on the exit event in short pieces; the result of the
    // last wait (WAIT_TIMEOUT also when the task was told to stop).
    DWORD WaitOneStep();
    // One check: cleans when the type asks for it and the window is open.
    void CheckAndClean();
    // Runs one statement; logs the ERROR line of method on failure.
    static bool RunStatement(MYSQL* connection, const char* method, const std::string& sql);
    int GetDataBaseSizeFromFiles(const std::string& dataDir, std::int64_t* size);
    // True for the files of a table (data, index, definition), not for the
    // server's temporary tables or a repair's leftovers.
    static bool IsTableFile(const std::string& name);
    int GetDataBaseSizeFromServer(std::int64_t* size);

    std::string m_strDBName;
    SYSTEMTIME m_LastCleanTime{};
    mutable std::mutex m_LastCleanLock;
    std::atomic<std::uint32_t> m_nChecks{0};
    std::atomic<DWORD> m_dwCheckPeriodMs;
    std::atomic<DWORD> m_dwWaitStepMs;

    static inline std::atomic<DWORD> s_dwDefaultCheckPeriodMs{kCheckPeriodMs};
    static inline std::atomic<DWORD> s_dwDefaultWaitStepMs{kWaitStepMs};
};
