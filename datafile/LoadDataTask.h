// The import task of one node: every 10 s it loads the waiting data files of
// the node's database (see CDataFileManager for the import list and claims).
//
// The node sets the database name before the task starts; the task runs on
// its own thread (started through CTaskManager::AddTask) until it is told to
// stop or the exit event is set. It waits in short steps so that a stop ends
// it within one step. Within one pass a file that fails is not taken again;
// the claims of all files that failed in the pass are given back when the
// pass ends, so they are tried again in the next pass (CImportPass).
#pragma once

#include <mysql.h>

#include <atomic>
#include <string>

#include "core/Task.h"
#include "platform/WinTypes.h"

class CLoadDataTask : public CTask {
public:
    static constexpr DWORD kPassPeriodMs = 10000;

    CLoadDataTask() : m_dwPassPeriodMs(s_dwDefaultPassPeriodMs.load()) {}
    // Gives a connection still held back to the pool.
    ~CLoadDataTask() override;

    DWORD Run() override;

    void SetDBName(const std::string& dbName) { m_strDBName = dbName; }
    const std::string& GetDBName() const { return m_strDBName; }
    // Tests shorten the time between passes before the task starts.
    void SetPassPeriod(DWORD periodMs) { m_dwPassPeriodMs.store(periodMs); }
    // The period of tasks created from now on (node connections create
    // theirs); tests shorten it.
    static void SetDefaultPassPeriod(DWORD periodMs) { s_dwDefaultPassPeriodMs.store(periodMs); }

private:
    // Waits one period on the exit event in short steps; false when the task
    // must end (exit event, failed wait, or told to stop).
    bool WaitForNextPass();
    void ImportPass();

    std::string m_strDBName;
    MYSQL* m_pSqlConn = nullptr;
    std::atomic<DWORD> m_dwPassPeriodMs;

    static inline std::atomic<DWORD> s_dwDefaultPassPeriodMs{kPassPeriodMs};
};
