// The one place where MySQL connections are opened and closed.
//
// A thread borrows a connection for one database with AllocSqlConn, uses it
// from that thread only, and gives it back with ReleaseSqlConn; nothing is
// pooled between calls. The manager remembers which thread opened each live
// connection so that the monitor can close the connections of threads that
// ended without giving them back. When the process runs as the service, the
// monitor also keeps the MySQL server's service running (checked every 5 s).
//
// While MySQL does not answer (a connection attempt failed with a connection
// error), the manager knows it is down: the intake's writers (kNoWait) then
// get no connection at once, without an attempt, and keep their statements
// in the spool; other callers try one attempt when the next probe is due
// (after 1 s, then twice as long each time, up to kMaxProbeDelayMs) and get
// none at once before. The first connection that succeeds ends the outage.
//
// Lock order: the table lock, then the configuration's own locks. The table
// lock is never held while connecting: an unreachable server delays only the
// thread that asked for the connection.
//
// The server is not trusted with more than the SQL it is sent. Every handle
// has automatic reconnection off (a reconnected session would silently lose
// its character set and temporary tables; the holders reconnect themselves),
// is checked to talk GBK after connecting (else it counts as a failed
// attempt), uses TLS with a verified server certificate when DBSslMode asks
// for it, and refuses every file a LOAD DATA LOCAL request names, except the
// one file a CLocalInfileScope allows while an import runs.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "core/StoppableThread.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CSQLConnManager {
public:
    static constexpr int kConnectAttempts = 3;
    static constexpr DWORD kConnectRetryDelayMs = 3000;
    static constexpr DWORD kMonitorPeriodMs = 5000;
    static constexpr DWORD kMonitorStopWaitMs = 10000;
    static constexpr DWORD kFirstProbeDelayMs = 1000;
    static constexpr DWORD kMaxProbeDelayMs = 16000;

    // How long a caller may wait for a connection: kMayWait up to
    // kConnectAttempts attempts with pauses (one probe while MySQL is down);
    // kNoWait (the intake's writers) one attempt, none while MySQL is down.
    enum class Wait { kMayWait, kNoWait };
    // The unit of the local MySQL server.
    static constexpr char kMySqlServiceName[] = "mariadb.service";

    static CSQLConnManager* GetInstance();
    virtual ~CSQLConnManager() = default;

    bool Init();
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    // A connected handle to database (flags: CLIENT_MULTI_STATEMENTS, or
    // CLIENT_LOCAL_FILES for bulk loads), or null when the attempts wait
    // allows failed or MySQL is down.
    MYSQL* AllocSqlConn(const char* database, unsigned long flags, Wait wait = Wait::kMayWait);
    // True from a connection attempt that failed for want of a server until
    // one succeeds.
    bool IsMySqlDown() const { return m_bDown.load(); }
    void ReleaseSqlConn(MYSQL* connection);

    // True when the session's client, connection and result character sets
    // are all GBK; *found gets what the server reported otherwise.
    static bool IsGbkConnection(MYSQL* connection, std::string* found);

    static int ThreadInit();
    static void ThreadEnd();

    // True when the MySQL service runs or was just started.
    bool MakeMySqlOK();
    bool MysqlConnCleanUp();

    size_t ConnectionCount();
    // Tests shorten the pauses between connection attempts and the monitor's
    // period.
    void SetRetryDelay(DWORD delayMs) { m_dwRetryDelayMs = delayMs; }
    void SetMonitorPeriod(DWORD periodMs) { m_dwMonitorPeriodMs = periodMs; }
    // Starts the monitor whatever the run mode (tests of the clean-up).
    bool StartMonitor();

private:
    CSQLConnManager() = default;

    static DWORD MySqlMonitor(void* manager);
    // A fresh handle with the options every connection gets; null when the
    // library cannot make one.
    static MYSQL* NewHandle(unsigned long flags);
    // One connection attempt; null (logged) when it fails, *serverError set
    // when it failed for want of a server.
    MYSQL* Connect(const char* database, unsigned long flags, bool* serverError);
    // Outage book-keeping: whether this caller may try now, and what its
    // attempt found.
    bool MayTry(Wait wait);
    void NoteAttempt(bool connected, bool serverError);

    CStoppableThread m_Monitor;
    std::atomic<std::int32_t> m_nInitialised{0};
    std::map<MYSQL*, HANDLE> m_Connections;
    // Connections the clean-up closed; a late ReleaseSqlConn of one of them
    // must not close it a second time.
    std::set<MYSQL*> m_Reclaimed;
    CRITICAL_SECTION m_csConnections;
    std::atomic<DWORD> m_dwRetryDelayMs{kConnectRetryDelayMs};
    std::atomic<DWORD> m_dwMonitorPeriodMs{kMonitorPeriodMs};
    std::atomic<bool> m_bDown{false};
    std::mutex m_OutageLock;
    DWORD m_dwNextProbeTick = 0;
    DWORD m_dwProbeDelayMs = kFirstProbeDelayMs;
    std::uint64_t m_nFailedProbes = 0;
    bool m_bLibraryReady = false;
};

// While it lives, LOAD DATA LOCAL INFILE on connection may read exactly the
// file path (the server must name it byte for byte); any other file the
// server asks for is refused with one ERROR line. Afterwards the connection
// refuses every file again. One scope per connection at a time.
class CLocalInfileScope {
public:
    CLocalInfileScope(MYSQL* connection, std::string path);
    ~CLocalInfileScope();
    CLocalInfileScope(const CLocalInfileScope&) = delete;
    CLocalInfileScope& operator=(const CLocalInfileScope&) = delete;

private:
    MYSQL* m_pConnection;
    std::string m_strPath;
};
