#include "writers/FinalLogWriter.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "config/ConfigManager.h"
#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "writers/UserWidening.h"
#include "writers/SqlSpool.h"

using namespace packet;

namespace {

constexpr char kClassTag[] = "[CFinalLogWriter]";
constexpr char kSetNamesGbk[] = "set   names   'gbk'";
constexpr std::uint32_t kItemTypes = 1u << LOG_KEEPALIVE | 1u << LOG_USER | 1u << LOG_AUDIT | 1u << LOG_ADMIN |
                                     1u << LOG_ALARM | 1u << LOG_SYSTEM | 1u << LOG_USER_V2 | 1u << LOG_USER_V3;

constexpr const char* kCacheNames[CFinalLogWriter::CACHE_COUNT] = {"usrflowlog", "usrbasiclog", "usrsvrlog", "adt_log",
                                                                   "alarm_log",  "syslog",      "dev_stat"};
// Used while ZelkAdv.conf has not been loaded (its values then read 0).
constexpr std::int32_t kDefaultMaxCacheStatements = 10000;
constexpr std::int32_t kDefaultMaxCacheMiB = 8;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// The live writers, for OldestPending. Never destroyed: writers may quit
// while the process ends.
std::mutex& RegistryLock() {
    static auto* lock = new std::mutex();
    return *lock;
}

std::set<CFinalLogWriter*>& Registry() {
    static auto* writers = new std::set<CFinalLogWriter*>();
    return *writers;
}

void Unregister(CFinalLogWriter* writer) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    Registry().erase(writer);
}

size_t CacheStatementBound() {
    const std::int32_t v = CConfigManager::GetInstance()->m_ZelkAdv.MaxCacheStatements.Get();
    return static_cast<size_t>(v > 0 ? v : kDefaultMaxCacheStatements);
}

size_t CacheByteBound() {
    const std::int32_t v = CConfigManager::GetInstance()->m_ZelkAdv.MaxCacheSize.Get();
    return static_cast<size_t>(v > 0 ? v : kDefaultMaxCacheMiB) << 20;
}

// The log time of a header as text; false when it cannot be formatted.
bool LogTime(const PacketHeader& h, std::string* text) {
    char buffer[128];
    if (!TranslateDWORDTimeToSZ(ReadU32Net(&h.logDateNet), ReadU32Net(&h.logTimeNet), buffer, sizeof(buffer))) {
        return false;
    }
    *text = buffer;
    return true;
}

// A fixed-size UTF-8 text field as GBK, escaped for a single-quoted literal.
bool SqlText(const char* field, size_t size, std::string* out, bool escape = true) {
    std::string utf8(field, strnlen(field, size));
    std::string gbk;
    if (!Utf8ToGbkString(utf8.c_str(), gbk)) return false;
    *out = escape ? EscapeSqlGbk(gbk) : gbk;
    return true;
}

}  // namespace

CFinalLogWriter::CFinalLogWriter() = default;

CFinalLogWriter::~CFinalLogWriter() {
    Unregister(this);
    if (m_pConnection != nullptr) CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConnection);
    m_pConnection = nullptr;
}

int CFinalLogWriter::Init() {
    bool ok = InitializeCriticalSectionAndSpinCount(&m_csSubmit, kCsSpinCount);
    for (SqlCache& cache : m_Caches) ok = InitializeCriticalSectionAndSpinCount(&cache.cs, kCsSpinCount) && ok;
    std::lock_guard<std::mutex> lock(RegistryLock());
    Registry().insert(this);
    return ok ? 1 : 0;
}

void CFinalLogWriter::UnInit() {
    Unregister(this);
    ReleaseOwnUploads();
    {
        CCSLocker lock(&m_csSubmit);
        if (m_pConnection != nullptr) CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConnection);
        m_pConnection = nullptr;
    }
    for (SqlCache& cache : m_Caches) DeleteCriticalSection(&cache.cs);
    DeleteCriticalSection(&m_csSubmit);
}

void CFinalLogWriter::SetDbName(const char* dbName) {
    if (dbName == nullptr) return;
    std::lock_guard<std::mutex> lock(m_NameMutex);
    m_strDbName = dbName;
}

std::string CFinalLogWriter::DbName() const {
    std::lock_guard<std::mutex> lock(m_NameMutex);
    return m_strDbName;
}

void CFinalLogWriter::OnQuit() {
    FlushSqlCaches(true);
    ReleaseOwnUploads();
    // What MySQL did not take goes to the spool file of the node's database
    // (in cache order, each cache in its own order), so that nothing is lost
    // when the node leaves or the service stops during an outage.
    CCSLocker submit(&m_csSubmit);
    std::vector<std::string> left;
    std::int64_t oldest = 0;
    for (SqlCache& cache : m_Caches) {
        CCSLocker lock(&cache.cs);
        const std::int64_t since = cache.firstAddTime.load();
        if (since > 0 && (oldest == 0 || since < oldest)) oldest = since;
        TakeCache(cache, 0, &left);
    }
    SpoolStatements("OnQuit", left, oldest);
    // The caches' times go once the spool holds their statements; a cache
    // the other thread filled again meanwhile set a time of its own.
    for (SqlCache& cache : m_Caches) {
        CCSLocker lock(&cache.cs);
        if (cache.statements.empty()) cache.firstAddTime.store(0);
    }
}

void CFinalLogWriter::OldestPending(OldestPendingMap* oldest) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    for (CFinalLogWriter* writer : Registry()) {
        const std::string db = writer->DbName();
        for (int i = 0; i < CACHE_COUNT; ++i) {
            if (i != CACHE_DEV_STAT) NoteOldestPending(oldest, db, writer->m_Caches[i].firstAddTime.load());
        }
    }
}

void CFinalLogWriter::SpoolStatements(const char* method, const std::vector<std::string>& statements,
                                      std::int64_t oldest) {
    if (statements.empty()) return;
    const std::string db = DbName();
    if (db.empty()) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[%s] %u Statement(s) Of A Node Without Database Are Lost\n", method,
            static_cast<unsigned>(statements.size()));
        loss::Drop(loss::DROP_NO_DATABASE, loss::CountLogStatements(statements));
        return;
    }
    const std::uint64_t logs = loss::CountLogStatements(statements);
    if (CSqlSpool::GetInstance()->Append(db, statements, oldest)) {
        loss::Add(loss::SPOOL_WRITTEN, logs);
    } else {
        loss::Drop(loss::DROP_SPOOL_WRITE, logs);
    }
}

void CFinalLogWriter::TakeCache(SqlCache& cache, size_t from, std::vector<std::string>* out) {
    for (size_t i = from; i < cache.statements.size(); ++i) {
        if (!cache.statements[i].empty()) out->push_back(std::move(cache.statements[i]));
    }
    cache.statements.clear();
    cache.bytes = 0;
}

void CFinalLogWriter::SpoolCache(SqlCache& cache, size_t from) {
    std::vector<std::string> left;
    TakeCache(cache, from, &left);
    // The cache's time goes to the spool with its statements and is cleared
    // only then, so a reading never misses them in between.
    SpoolStatements("SubmitSqlCache", left, cache.firstAddTime.load());
    cache.firstAddTime.store(0);
}

size_t CFinalLogWriter::PendingStatements(CacheIndex cache) {
    CCSLocker lock(&m_Caches[cache].cs);
    return m_Caches[cache].statements.size();
}

void CFinalLogWriter::AddStatement(CacheIndex index, std::string statement) {
    SqlCache& cache = m_Caches[index];
    CCSLocker lock(&cache.cs);
    if (cache.statements.empty()) {
        cache.firstAddTick = GetTickCount();
        cache.firstAddTime.store(static_cast<std::int64_t>(GetSystemTimeSeconds()));
    }
    if (loss::IsLogStatement(statement)) loss::Add(loss::SQL_QUEUED);
    cache.bytes += statement.size();
    cache.statements.push_back(std::move(statement));
    if (cache.statements.size() <= CacheStatementBound() && cache.bytes <= CacheByteBound()) return;
    // Only a cache that cannot be sent grows this far. It is spooled under
    // its own lock, so statements added meanwhile by the other thread come
    // after it in the spool file as well.
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
        "[AddStatement] Cache %s Past Its Bound With %u Statement(s) , %llu Byte(s) , Moved To The Spool File\n",
        kCacheNames[index], static_cast<unsigned>(cache.statements.size()),
        static_cast<unsigned long long>(cache.bytes));
    std::vector<std::string> full;
    full.swap(cache.statements);
    cache.bytes = 0;
    SpoolStatements("AddStatement", full, cache.firstAddTime.load());
    cache.firstAddTime.store(0);
}

int CFinalLogWriter::WriteLog(const LogItem* item, ReplyBuff* reply) { return DispatchItem(item, reply, kItemTypes); }

int CFinalLogWriter::WriteLog(std::uint32_t, const KeepAliveRecord* p, ReplyBuff*) {
    std::string when;
    if (p == nullptr || !LogTime(p->header, &when)) return 0;
    const std::int32_t up = static_cast<std::int32_t>(ReadU32(&p->upFlux));
    const std::int32_t down = static_cast<std::int32_t>(ReadU32(&p->downFlux));
    if (up < 0 || down < 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[WriteLog] Recv Not Correct Flux.Up = %d , Dw = %d\n", up, down);
        return 1;
    }
    {
        SqlCache& cache = m_Caches[CACHE_DEV_STAT];
        CCSLocker lock(&cache.cs);
        if (m_nKeepAliveCount == 0) {
            m_llUpSum = up;
            m_llDownSum = down;
        } else {
            m_llUpSum += up;
            m_llDownSum += down;
        }
        if (++m_nKeepAliveCount == kKeepAlivesPerRow) {
            char statement[256];
            std::snprintf(statement, sizeof(statement),
                          "insert into dev_stat(`dev_ip`,`time`,`upload_flux`,`download_flux`) values(%u,'%s',%" PRId64
                          ",%" PRId64 ")",
                          ReadU32Net(&p->deviceAddressNet), when.c_str(), m_llUpSum, m_llDownSum);
            AddStatement(CACHE_DEV_STAT, statement);
            m_nKeepAliveCount = 0;
        }
    }
    FlushSqlCaches(false);
    return 1;
}

int CFinalLogWriter::WriteLog(std::uint32_t, const SystemRecord* p, ReplyBuff*) {
    std::string when;
    std::string message;
    if (p == nullptr) return 0;
    if (!LogTime(p->header, &when) || !SqlText(p->message, sizeof(p->message), &message)) {
        loss::Drop(loss::DROP_BAD_FIELDS);
        return 0;
    }
    char head[96];
    std::snprintf(head, sizeof(head), "insert into syslog(`lev`,`process`,`message`,`log_time`) values(%d, %d,'",
                  static_cast<std::int32_t>(ReadU32(&p->level)), static_cast<std::int32_t>(ReadU32(&p->process)));
    AddStatement(CACHE_SYSLOG, head + message + "','" + when + "')");
    FlushSqlCaches(false);
    return 1;
}

int CFinalLogWriter::WriteLog(std::uint32_t, const AlarmRecord* p, ReplyBuff*) {
    std::string when;
    std::string message;
    if (p == nullptr) return 0;
    if (!LogTime(p->header, &when) || !SqlText(p->message, sizeof(p->message), &message)) {
        loss::Drop(loss::DROP_BAD_FIELDS);
        return 0;
    }
    char head[96];
    std::snprintf(head, sizeof(head), "insert into alarm_log (`type`,`message`,`log_time`) values(%d,'",
                  static_cast<std::int32_t>(ReadU32(&p->alarmType)));
    AddStatement(CACHE_ALARM_LOG, head + message + "','" + when + "')");
    FlushSqlCaches(false);
    return 1;
}

int CFinalLogWriter::WriteLog(std::uint32_t kind, const AuditRecord* p, ReplyBuff*) {
    if (p == nullptr) return 0;
    // An audit record carries no administrator name, so it cannot go through
    // the administrator look-up; it is recorded as an audit entry of its own
    // (administrator id and group -1, action 4, entity 7, result 0) instead
    // of being lost.
    packet::AdminRecord admin{};
    std::memcpy(&admin.header, &p->header, sizeof(admin.header));
    admin.groupId = 0xFFFFFFFFu;
    admin.action = 4;
    admin.entity = 7;
    admin.result = 0;
    std::memcpy(&admin.addressNet, &p->addressNet, 4);  // both network order
    std::memcpy(admin.message, p->message, strnlen(p->message, sizeof(p->message)));
    return WriteAdminRow(kind, &admin, true);
}

int CFinalLogWriter::WriteLog(std::uint32_t kind, const packet::AdminRecord* p, ReplyBuff*) {
    return p == nullptr ? 0 : WriteAdminRow(kind, p, false);
}

int CFinalLogWriter::WriteAdminRow(std::uint32_t, const packet::AdminRecord* p, bool fromAudit) {
    std::string when;
    std::string name;
    std::string message;
    if (!LogTime(p->header, &when) || !SqlText(p->adminName, sizeof(p->adminName), &name, false) ||
        !SqlText(p->message, sizeof(p->message), &message)) {
        loss::Drop(loss::DROP_BAD_FIELDS);
        return 0;
    }
    std::int32_t adminId = -1;
    std::int32_t groupId = static_cast<std::int32_t>(ReadU32(&p->groupId));
    int result = 1;
    if (!fromAudit) {
        const std::string db = DbName();
        result = CGlobalSharedData::GetInstance()->GetAdminInfoEx(db.empty() ? nullptr : db.c_str(),
                                                                  p->header.identity, name.c_str(), &adminId, &groupId);
    }
    if (result != 1 || (adminId == -1 && !fromAudit)) loss::Drop(loss::DROP_UNKNOWN_ADMIN);
    if (result == 1 && (adminId != -1 || fromAudit)) {
        char head[512];
        std::snprintf(head, sizeof(head),
                      "insert into adt_log (`log_time`,`adt_action`,`action_result`,`entity`,`adt_id`,`adt_name`,"
                      "`adt_grp_id`,`address`,`message`) values('%s',%d,%d,%d,%d,'",
                      when.c_str(), static_cast<std::int32_t>(ReadU32(&p->action)),
                      static_cast<std::int32_t>(ReadU32(&p->result)), static_cast<std::int32_t>(ReadU32(&p->entity)),
                      adminId);
        char middle[96];
        std::snprintf(middle, sizeof(middle), "',%d,%u,'", groupId, ReadU32Net(&p->addressNet));
        AddStatement(CACHE_ADT_LOG, head + EscapeSqlGbk(name) + middle + message + "')");
    }
    FlushSqlCaches(false);
    return result;
}

namespace {

// The UsrSvrLog INSERT of a service access; message is the SQL text of the
// record's message.
std::string ServiceRowStatement(const ServiceRow& row, const std::string& message) {
    const UserCommon& u = row.record->common;
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer),
                  "insert  into UsrSvrLog (`record_id`, `user_id`,`svr_ip`,`grp_id`,`svr_port`,`svr_type`,"
                  "`log_time`,`action_result`,`address`,`message`,`svr_attr`)values('%" PRId64
                  "',%d,%u,%d,%d,%d,'%s',%d,%u,'",
                  row.recordId, row.userId, ReadU32Net(&u.serverAddressNet), static_cast<std::int32_t>(ReadU32(&u.groupId)),
                  ReadU16Net(&u.serverPortNet), static_cast<std::int32_t>(ReadU32(&u.serviceType)), row.when.c_str(),
                  static_cast<std::int32_t>(ReadU32(&u.result)), ReadU32Net(&u.clientAddressNet));
    return buffer + message + "'," + std::to_string(static_cast<std::int32_t>(ReadU32(&u.serverAttribute))) + ")";
}

}  // namespace

int CFinalLogWriter::WriteLog(std::uint32_t, const UserRecordV3* p, ReplyBuff*) {
    std::string when;
    std::string name;
    if (p == nullptr) return 0;
    if (!LogTime(p->header, &when)) {
        loss::Drop(loss::DROP_BAD_FIELDS);
        return 0;
    }
    // The counter is taken as unsigned so that a counter past 2^31 still
    // gives a non-negative low word instead of sign bits over the tick.
    const std::uint32_t counter = static_cast<std::uint32_t>(CGlobalSharedData::GetInstance()->NextLogCounter());
    const std::int64_t recordId = static_cast<std::int64_t>(
        (counter % 2147483647u) | (static_cast<std::uint64_t>(timeGetTime()) << 32));
    if (!SqlText(p->common.userName, sizeof(p->common.userName), &name, false)) {
        loss::Drop(loss::DROP_BAD_FIELDS);
        return 0;
    }
    std::int32_t userId = 0;
    const std::int32_t groupId = static_cast<std::int32_t>(ReadU32(&p->common.groupId));
    const std::string db = DbName();
    if (CGlobalSharedData::GetInstance()->GetUserInfoEx(db.empty() ? nullptr : db.c_str(), p->header.identity,
                                                        name.c_str(), &userId, groupId) != 1) {
        loss::Drop(loss::DROP_UNKNOWN_USER);
        return 0;
    }
    const std::int32_t action = static_cast<std::int32_t>(ReadU32(&p->common.action));
    const std::int32_t result = static_cast<std::int32_t>(ReadU32(&p->common.result));
    const std::uint32_t server = ReadU32Net(&p->common.serverAddressNet);
    const std::uint32_t client = ReadU32Net(&p->common.clientAddressNet);
    const int port = ReadU16Net(&p->common.serverPortNet);
    std::int64_t up;
    std::int64_t down;
    std::int64_t rawUp;
    std::int64_t rawDown;
    std::memcpy(&up, &p->upFlux, 8);
    std::memcpy(&down, &p->downFlux, 8);
    std::memcpy(&rawUp, &p->rawUpFlux, 8);
    std::memcpy(&rawDown, &p->rawDownFlux, 8);
    char buffer[512];
    int rows = 0;
    if (action == 2) {
        std::snprintf(buffer, sizeof(buffer),
                      "insert into UsrFlowLog(`record_id`,`user_id`,`svr_ip`,`grp_id`,`dw_flux`,`up_flux`,"
                      "`raw_up_flux`,`raw_dw_flux`,`log_time`,`address`,`svr_port`) values('%" PRId64
                      "',%d,%u,%d,%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",'%s',%u,%d)",
                      recordId, userId, server, groupId, down, up, rawUp, rawDown, when.c_str(), client, port);
        AddStatement(CACHE_USRFLOWLOG, buffer);
        rows = 1;
    } else if (action != 3 || server != 0) {
        std::string message;
        if (!SqlText(p->message, sizeof(p->message), &message)) {
            loss::Drop(loss::DROP_BAD_FIELDS);
            return 0;
        }
        std::snprintf(buffer, sizeof(buffer),
                      "insert  into UsrBasicLog(`record_id`, `user_id`,`user_name`,`grp_id`,`user_action`,"
                      "`action_result`,`address`,`message`,`auth_method`,`log_time`, `svr_ip`, `svr_port`)  values ('%" PRId64
                      "',%d,'",
                      recordId, userId);
        std::string basic = buffer + EscapeSqlGbk(name);
        std::snprintf(buffer, sizeof(buffer), "',%d,%d,%d,%u,'", groupId, action, result, client);
        basic += buffer + message;
        std::snprintf(buffer, sizeof(buffer), "',%d,'%s',%u,%d)",
                      static_cast<std::int32_t>(ReadU32(&p->common.authMethod)), when.c_str(), server, port);
        basic += buffer;
        AddStatement(CACHE_USRBASICLOG, basic);
        rows = 1;
        if (action == 3) AddStatement(CACHE_USRSVRLOG, ServiceRowStatement({p, userId, when, recordId}, message));
    }
    if (rows == 0) loss::Drop(loss::DROP_NO_SERVER);
    FlushSqlCaches(false);
    return rows;
}

int CFinalLogWriter::WriteServiceRow(const ServiceRow& row) {
    std::string message;
    if (row.record == nullptr || !SqlText(row.record->message, sizeof(row.record->message), &message)) return 0;
    AddStatement(CACHE_USRSVRLOG, ServiceRowStatement(row, message));
    FlushSqlCaches(false);
    return 1;
}

int CFinalLogWriter::WriteLog(std::uint32_t kind, const UserRecordV2* p, ReplyBuff* reply) {
    if (p == nullptr) return 0;
    const UserRecordV3 wide = WidenToUserV3(*p);
    return WriteLog(kind, &wide, reply);
}

int CFinalLogWriter::WriteLog(std::uint32_t kind, const UserRecordV1* p, ReplyBuff* reply) {
    if (p == nullptr) return 0;
    const UserRecordV3 wide = WidenToUserV3(*p);
    return WriteLog(kind, &wide, reply);
}

bool CFinalLogWriter::IsDue(SqlCache& cache, bool force) {
    CCSLocker lock(&cache.cs);
    if (force) return !cache.statements.empty();
    if (cache.statements.size() >= kCacheLimit) return true;
    return !cache.statements.empty() && cache.firstAddTick + kCacheAgeMs < GetTickCount();
}

void CFinalLogWriter::FlushSqlCaches(bool force) {
    // The submission lock comes first, then a cache's lock: nobody takes
    // them the other way round.
    // A node without a database yet ends the flush: no cache can go
    // anywhere (without a connection a cache goes to the spool instead).
    CCSLocker submit(&m_csSubmit);
    for (SqlCache& cache : m_Caches) {
        if (IsDue(cache, force) && SubmitSqlCache(cache) == 0) break;
    }
}

int CFinalLogWriter::MakeMySqlOK() {
    const std::string db = DbName();
    if (db.empty()) return 0;
    if (m_pConnection == nullptr) {
        m_pConnection = CSQLConnManager::GetInstance()->AllocSqlConn(db.c_str(), CLIENT_MULTI_STATEMENTS,
                                                                     CSQLConnManager::Wait::kNoWait);
        if (m_pConnection == nullptr) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[MakeMySqlOK] Cannot Alloc Sql Connection\n");
            return 0;
        }
    } else {
        const DWORD now = GetTickCount();
        if (m_dwLastProbeTick <= now && now - m_dwLastProbeTick <= kProbeIntervalMs) return 1;
    }
    if (ExecuteSql(m_pConnection, "show tables")) {
        m_dwLastProbeTick = GetTickCount();
        return 1;
    }
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[MakeMySqlOK] MYSQL Connection Invalid. ErrNo = %u\n",
        mysql_errno(m_pConnection));
    CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConnection);
    m_pConnection = nullptr;
    return 0;
}

int CFinalLogWriter::SubmitSqlCache(SqlCache& cache) {
    CCSLocker lock(&cache.cs);
    // Before the node is known there is no database to connect to: the
    // statements wait, and the log that made the cache due is not held up
    // by pauses that cannot help.
    const std::string db = DbName();
    if (db.empty()) return 0;
    if (CSqlSpool::GetInstance()->HasBacklog(db) || MakeMySqlOK() != 1) {
        SpoolCache(cache, 0);
        return 1;
    }
    ExecuteSql(m_pConnection, kSetNamesGbk);
    // Floors are learned afresh for every submission: the spool or another
    // node of the database may have added rows since the last one.
    m_RowCheck.Clear();

    size_t next = 0;
    bool retried = false;
    while (next < cache.statements.size()) {
        const std::string& statement = cache.statements[next];
        if (statement.empty()) {
            ++next;
            continue;
        }
        const bool sent = m_RowCheck.Prepare(m_pConnection, statement);
        if (sent && ExecuteSql(m_pConnection, statement)) {
            m_RowCheck.Stored(m_pConnection, statement);
            if (loss::IsLogStatement(statement)) loss::Add(loss::SQL_STORED);
            ++next;
            retried = false;
            continue;
        }
        const unsigned err = mysql_errno(m_pConnection);
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[SubmitSqlCache] Query Fail.Sql = %s Err = %u\n", statement.c_str(),
            err);
        CSQLConnManager::GetInstance()->ReleaseSqlConn(m_pConnection);
        m_pConnection = CSQLConnManager::GetInstance()->AllocSqlConn(db.c_str(), CLIENT_MULTI_STATEMENTS,
                                                                     CSQLConnManager::Wait::kNoWait);
        // A statement that failed on its own (syntax, data) is dropped after
        // its log line, so it is never retried forever. One that failed with
        // the connection may have stored its row all the same: the new
        // connection asks first and sends it again only when it did not
        // (once; a second break while the server answers drops it like a
        // statement of its own fault).
        if (!IsSqlConnectionError(err) || (retried && m_pConnection != nullptr)) {
            if (loss::IsLogStatement(statement)) loss::Drop(loss::DROP_SQL_REFUSED);
            ++next;
            retried = false;
        } else if (m_pConnection != nullptr) {
            ExecuteSql(m_pConnection, kSetNamesGbk);
            if (sent && CRowCheck::CountRows(m_pConnection, statement, m_RowCheck.Floor(statement)) > 0) {
                Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
                    "[SubmitSqlCache] Statement Stored Before The Connection Broke , Not Sent Again\n");
                if (loss::IsLogStatement(statement)) loss::Add(loss::SQL_STORED);
                ++next;
            } else {
                retried = true;
            }
        } else if (sent) {
            // No connection to ask: the statement is kept with the floor its
            // row would lie above, and the spool asks before sending it.
            cache.statements[next] = MarkUnsure(statement, m_RowCheck.Floor(statement));
        }
        if (m_pConnection == nullptr) {
            // No connection: what was not sent yet goes to the spool, in order.
            SpoolCache(cache, next);
            return 1;
        }
        m_dwLastProbeTick = GetTickCount();
        ExecuteSql(m_pConnection, kSetNamesGbk);
    }
    cache.statements.clear();
    cache.bytes = 0;
    cache.firstAddTime.store(0);
    CGlobalSharedData::GetInstance()->NoteStored(db);
    return 1;
}
