// The last writer of every node's chain: turns each log into INSERT
// statements for the node's database.
//
// Statements wait in seven per-table caches and a cache is submitted in one
// go when it holds 50 statements, when its oldest statement is more than 60 s
// old (checked whenever a log arrives), or when the chain quits. Keep-alives
// are summed six to one dev_stat row. The writer owns one MySQL connection,
// probed with "show tables" at most every 5 minutes and replaced when it
// fails.
//
// A due cache goes to the node database's spool file (writers/SqlSpool.h)
// instead of MySQL while MySQL does not answer (the writer never waits for a
// connection: the connection manager knows the outage and tries again in the
// background) and while older statements of the database still wait in the
// spool, so that they keep their order. Every cache is also bounded
// (MaxCacheStatements statements, MaxCacheSize MiB): a cache past its bound
// goes to the spool instead of growing in memory.
//
// The audit-file uploads begun through a writer end with it: OnQuit and
// UnInit close and release them and delete their partial files.
//
// Threads: the record task's thread and the merger's write thread both write
// through it. Appending takes only the cache's own lock; submitting takes the
// writer-wide submission lock first and then the cache's lock, so the one
// connection is never used by two threads at once and no two threads wait on
// each other's cache locks.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/OldestPending.h"
#include "platform/Sync.h"
#include "writers/BaseLogWriter.h"
#include "writers/RowCheck.h"

class CFinalLogWriter : public CBaseLogWriter {
public:
    static constexpr size_t kCacheLimit = 50;
    static constexpr DWORD kCacheAgeMs = 60000;
    static constexpr DWORD kProbeIntervalMs = 300000;
    static constexpr int kKeepAlivesPerRow = 6;
    static constexpr DWORD kAuditWriteWaitMs = 1000;

    enum CacheIndex {
        CACHE_USRFLOWLOG,
        CACHE_USRBASICLOG,
        CACHE_USRSVRLOG,
        CACHE_ADT_LOG,
        CACHE_ALARM_LOG,
        CACHE_SYSLOG,
        CACHE_DEV_STAT,
        CACHE_COUNT
    };

    CFinalLogWriter();
    ~CFinalLogWriter() override;

    int Init() override;
    void UnInit() override;
    int WriteLog(std::uint32_t kind, const packet::KeepAliveRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::SystemRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::AlarmRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::AuditRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::AdminRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV3* p, ReplyBuff* reply) override;
    int WriteServiceRow(const ServiceRow& row) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV2* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV1* p, ReplyBuff* reply) override;
    // Audit-file transactions: begin, transmission, end, rollback.
    int WriteLog(std::uint32_t kind, const UserAuditFilePacket* p, ReplyBuff* reply) override;
    int WriteLog(const LogItem* item, ReplyBuff* reply) override;
    using CBaseLogWriter::WriteLog;
    void SetDbName(const char* dbName) override;
    void OnQuit() override;

    // 1 when the writer holds a usable connection.
    int MakeMySqlOK();
    // Submits every cache that is due (every cache with force).
    void FlushSqlCaches(bool force);
    size_t PendingStatements(CacheIndex cache);
    // Notes, per database, when the oldest statement of a cache of any live
    // writer (registered from Init to UnInit) came. Keep-alive sums (the
    // dev_stat cache) are not logs and are left out. Reads atomics under the
    // registry's small lock: no cache lock, no wait on MySQL.
    static void OldestPending(OldestPendingMap* oldest);

private:
    struct SqlCache {
        DWORD firstAddTick = 0;
        // Unix seconds of the first statement since the cache was empty, 0
        // while it is: set under cs, read without it.
        std::atomic<std::int64_t> firstAddTime{0};
        CRITICAL_SECTION cs;
        std::vector<std::string> statements;
        size_t bytes = 0;  // of the statements' texts
    };

    // Appends under the cache's lock (the caller may already hold it); a
    // cache past its bound then goes to the spool file.
    void AddStatement(CacheIndex cache, std::string statement);
    // Hands statements MySQL did not take to the spool file of the node's
    // database, with their loss accounting; without a database name they are
    // dropped and counted. method names the caller in the log lines.
    // oldest: when the first of them came (0: now).
    void SpoolStatements(const char* method, const std::vector<std::string>& statements, std::int64_t oldest);
    // Closes and releases the audit-file uploads begun through this writer.
    void ReleaseOwnUploads();
    // 1 when the cache was worked through (sent, or what could not be sent
    // spooled in order), 0 when the node has no database yet (the statements
    // then stay). Submission lock held by caller.
    int SubmitSqlCache(SqlCache& cache);
    // Moves the cache's non-empty statements from index from on to out and
    // empties the cache. Cache lock held by caller.
    static void TakeCache(SqlCache& cache, size_t from, std::vector<std::string>* out);
    // TakeCache, then to the spool file.
    void SpoolCache(SqlCache& cache, size_t from);
    bool IsDue(SqlCache& cache, bool force);
    std::string DbName() const;
    int WriteAdminRow(std::uint32_t kind, const packet::AdminRecord* p, bool fromAudit);

    int OnBeginUserAuditFile(const UserAuditFilePacket* p, ReplyBuff* reply);
    int OnTransmissionUserAuditFile(const UserAuditFilePacket* p);
    int OnEndUserAuditFile(const UserAuditFilePacket* p, ReplyBuff* reply);
    int OnRollbackUserAuditFile(const UserAuditFilePacket* p);
    // The begin and end behind their reply checks; r: the transaction reply.
    int BeginAuditFile(const UserAuditFilePacket* p, BYTE* r);
    int EndAuditFile(const UserAuditFilePacket* p, ReplyBuff* reply);
    bool GetAndCreateAduitFileFullPathFile(struct AuditFileInfo* info, const UserAuditFilePacket* p);
    bool FinishLastAsyncWrite(struct AuditFileInfo* info);
    bool DoWriteAuditFileData(struct AuditFileInfo* info, const UserAuditFilePacket* p);
    bool UpdateAuditFileBlockInfo(struct AuditFileInfo* info);
    bool InsertUserAuditLog(struct AuditFileInfo* info);
    // Locks the upload of the packet's file ID when it belongs to the
    // packet's node and this writer's database; null otherwise.
    struct AuditFileInfo* LockOwnAuditFile(const UserAuditFilePacket* p);

    mutable std::mutex m_NameMutex;
    std::string m_strDbName;
    std::int32_t m_nKeepAliveCount = 0;  // guarded by the dev_stat cache lock
    std::int64_t m_llUpSum = 0;
    std::int64_t m_llDownSum = 0;
    DWORD m_dwLastProbeTick = 0;
    MYSQL* m_pConnection = nullptr;  // guarded by the submission lock
    CRowCheck m_RowCheck;            // likewise
    CRITICAL_SECTION m_csSubmit;
    SqlCache m_Caches[CACHE_COUNT];
};
