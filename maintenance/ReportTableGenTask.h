// The report task of one node database: keeps its statistics tables current.
//
// statistics.conf lists the report tables and, for each, the statements that
// create it, create its procedure, fill it for a time window and clean it.
// The task copies that list once, at the start of Run, and runs one thread
// per table (at most 64). Every SleepTime minutes a table's thread reads the
// table's latest row of midtableinfo; when StatistCys minutes have passed
// since its updateTime (less a margin of SleepTime seconds), or when there is
// no row yet, it runs the table's statements in order. Before a run with a
// previous row, the window is written into the call of the statistics
// statement: the text after its first "(" becomes the previous window's end
// (quoted, or NULL) and ` ,"<local time now>")` is appended. Nothing runs
// while the disk counts as full (ISFULL).
//
// Threading: every thread counts 5-second waits on the exit event and
// notices a stop within 100 ms. The table threads share only a
// reference-counted state block (database name, table copies, connections in
// use, stop flag) with the task, never the task itself. When the task ends,
// threads that have not ended within 10 s (a long statement still runs on the
// server) are left to end by themselves: they keep the state block alive, see
// the stop flag when their statement returns, and end. The task object can
// therefore be deleted as soon as Run has returned. Each table's statistics
// statement is read and rewritten by that table's thread only.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/Task.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CReportTableGenTask : public CTask {
public:
    static constexpr size_t kMaxTableThreads = 64;
    static constexpr DWORD kWaitStepMs = 5000;
    // A stop request is noticed within this time inside a wait.
    // Length of one SleepTime minute.
    static constexpr DWORD kMinuteMs = 60000;
    static constexpr DWORD kThreadEndWaitMs = 10000;
    // Texts read from midtableinfo are cut to this many characters.
    static constexpr size_t kMaxTimeText = 63;
    // Characters replaced after the first "(" of the statistics statement,
    // beyond the position of that "(".
    static constexpr size_t kWindowReplaceExtra = 21;

    CReportTableGenTask() : m_dwWaitStepMs(s_dwDefaultWaitStepMs.load()), m_dwMinuteMs(s_dwDefaultMinuteMs.load()) {}
    ~CReportTableGenTask() override = default;

    // -1 when the database name is empty or the task lock cannot be made,
    // else 0.
    DWORD Run() override;

    void SetDBName(const std::string& dbName) { m_strDBName = dbName; }
    const std::string& GetDBName() const { return m_strDBName; }

    // The wait step and the length of a SleepTime minute of tasks created
    // from now on (node connections create theirs); tests shorten them.
    static void SetDefaultWaitStep(DWORD stepMs) { s_dwDefaultWaitStepMs.store(stepMs); }
    static void SetDefaultMinuteLength(DWORD minuteMs) { s_dwDefaultMinuteMs.store(minuteMs); }

    class CGenState;

private:
    static DWORD TableStatistics(void* argument);

    std::string m_strDBName;
    std::vector<HANDLE> m_ThreadHandles;
    std::shared_ptr<CGenState> m_pState;
    const DWORD m_dwWaitStepMs;
    const DWORD m_dwMinuteMs;

    static inline std::atomic<DWORD> s_dwDefaultWaitStepMs{kWaitStepMs};
    static inline std::atomic<DWORD> s_dwDefaultMinuteMs{kMinuteMs};
};
