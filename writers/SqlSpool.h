// Statements that could not reach MySQL.
//
// A writer that finds MySQL down, or quits while MySQL does not answer (a
// node leaving during an outage, a stop of the service), hands its
// statements to the spool, and so does a writer whose database still has a
// spool file (its statements queue behind the spooled ones):
// they are appended to one file per node database in the data-file folder,
// "SqlSpool_<database>.sql", and flushed to the disk before the writer goes.
// A background pass (every kPassPeriodMs, and at once when the service
// starts) submits the files in order once MySQL answers. A statement that
// fails on its own is logged with its error, counted and dropped; one that
// fails because the connection went away stays for the next pass. A pass
// first renames a spool file to "SqlSpool_<database>.sql.sending", which it
// rewrites with what is left when it must stop, so statements appended in the
// meantime always come after it.
//
// Delivery is exactly once. A statement whose result was lost with its
// connection is looked up before it is sent again (writers/RowCheck.h); so is
// every statement of a file whose last pass was cut short by a crash: before
// it sends anything, a pass records each table's highest id in
// "SqlSpoolPass_<database>.sql", and removes that file only once the claimed
// file is written back or done.
//
// The files hold the statements' data: they are made with mode 0600, and a
// symbolic link standing in a spool file's place is refused, never followed.
//
// Format: one record per statement, its length in decimal digits, "\n", the
// statement's bytes, "\n". A record cut short by a crash is cut off (and its
// bytes logged) when the spool starts again, before anything is appended.
//
// Threads: Append and SubmitPending may be called from any thread; appends
// and the claiming of a file are serialised by one lock, passes by another.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/OldestPending.h"
#include "core/StoppableThread.h"
#include "platform/Sync.h"

class CSqlSpool {
public:
    static constexpr DWORD kPassPeriodMs = 10000;
    static constexpr DWORD kStopWaitMs = 10000;

    static CSqlSpool* GetInstance();

    // Starts the background pass (whose first run is at once).
    bool Init();
    void UnInit();

    // Appends statements for database; false (after an ERROR line with the
    // count) when they could not be kept. oldest: Unix seconds of when the
    // oldest of them came (a cache's first statement), 0 for now.
    bool Append(const std::string& database, const std::vector<std::string>& statements, std::int64_t oldest = 0);
    // One pass over every spool file; returns the statements submitted.
    size_t SubmitPending();

    // Statements kept in spool files and not yet submitted.
    std::uint64_t PendingCount();
    // True while a spool file of database (or its file being sent) exists:
    // new statements of the database must queue behind it.
    bool HasBacklog(const std::string& database);
    // Notes, per database, when the oldest statement of its spool file or
    // of its file being sent came. The time of a file goes with it when it
    // is claimed and stays while a pass sends it only in part; a file found
    // at start counts from its modification time, the best bound left.
    // Takes a lock of its own, never one held while a file is written.
    void OldestPending(OldestPendingMap* oldest);
    // Statements dropped because they failed on their own.
    std::uint64_t FailedCount() const { return m_nFailed.load(); }

    static std::string SpoolPath(const std::string& database);
    // The floors of the pass over a database's claimed file.
    static std::string PassPath(const std::string& database);
    // Tests shorten the period of the background pass.
    void SetPassPeriod(DWORD periodMs) { m_dwPassPeriodMs.store(periodMs); }
    // Tests end a pass after this many statements as a kill would (0: never).
    void SetCutPassAfter(size_t statements) { m_nCutPassAfter.store(statements); }

private:
    CSqlSpool();

    static DWORD PassThread(void* spool);
    // Cuts every spool file back to its last whole record.
    void CutTornTails();
    // Submits the spool of one database; false when MySQL stopped answering.
    bool SubmitDatabase(const std::string& database, size_t* submitted);
    // Submits the records of one claimed file; what is left is written back.
    bool SubmitClaimed(const std::string& database, const std::string& path, size_t* submitted);

    // When the first statement still in each file of a database came, in
    // Unix seconds (0: no such file).
    struct PendingSince {
        std::int64_t spool = 0;
        std::int64_t claimed = 0;
    };

    CStoppableThread m_Thread;
    std::mutex m_PendingLock;  // taken inside m_csFiles, never the other way
    std::map<std::string, PendingSince> m_Pending;
    CRITICAL_SECTION m_csFiles;
    CRITICAL_SECTION m_csPass;
    std::atomic<std::uint64_t> m_nFailed{0};
    std::atomic<bool> m_bStopping{false};
    std::atomic<DWORD> m_dwPassPeriodMs{kPassPeriodMs};
    std::atomic<size_t> m_nCutPassAfter{0};
};
