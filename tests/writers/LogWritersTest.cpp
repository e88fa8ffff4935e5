// The log writers. The data-file writer against the test MariaDB: what the
// SQL writer inserts and what this writer's lines give after the bulk load
// must be the same rows. The log merger in a chain ahead of a writer that
// records what reaches it: what is merged, dropped and kept, when buffers go
// down the chain, and that nothing kept is lost at the end of a connection.
// The chain itself: which writer handles a log, what a failed Init does,
// replies and the lifecycle calls; passing items down is the merger's.
#include <future>
#include <mutex>

#include "core/ExitEvent.h"
#include "core/LossAccounting.h"
#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "core/InfoCounters.h"
#include "support/IntakeTest.h"
#include "support/WriterRecords.h"
#include "writers/DataFileBatch.h"
#include "writers/DataFileLogWriter.h"
#include "writers/FinalLogWriter.h"
#include "writers/LogMerger.h"
#include "writers/LogsWriterManager.h"

// Writers of the tests, outside any namespace so that their run-time names
// are plain.
class RecordingWriter : public CBaseLogWriter {
public:
    RecordingWriter(std::vector<std::string>* journal, std::string name, int result)
        : m_journal(journal), m_name(std::move(name)), m_result(result) {}

    int Init() override { return m_initResult; }
    void UnInit() override { m_journal->push_back(m_name + ".UnInit"); }
    int WriteLog(std::uint32_t, const packet::AdminRecord*, ReplyBuff*) override {
        m_journal->push_back(m_name + ".Admin");
        return m_result;
    }
    int WriteLog(std::uint32_t kind, const packet::UserRecordV3*, ReplyBuff*) override {
        m_journal->push_back(m_name + ".UserV3/" + std::to_string(kind));
        return m_result;
    }
    int WriteLog(std::uint32_t, const UserAuditFilePacket*, ReplyBuff* reply) override {
        m_journal->push_back(m_name + ".AuditFile");
        if (reply != nullptr && reply->capacity >= 2) {
            reply->data[0] = 'o';
            reply->data[1] = 'k';
            reply->used = 2;
        }
        return m_result;
    }
    void SetDbName(const char* dbName) override { m_journal->push_back(m_name + ".Db=" + dbName); }
    void OnQuit() override { m_journal->push_back(m_name + ".OnQuit"); }

    int m_initResult = 1;

private:
    std::vector<std::string>* m_journal;
    std::string m_name;
    int m_result;
};

class FailingInitWriter : public RecordingWriter {
public:
    explicit FailingInitWriter(std::vector<std::string>* journal) : RecordingWriter(journal, "F", 1) {
        m_initResult = 0;
    }
};

namespace {

using packet::UserRecordV3;

constexpr char kSqlMd5[] = "11112222333344445555666677778888";
constexpr char kFileMd5[] = "88887777666655554444333322221111";
// Every character LOAD DATA or SQL treats specially, Chinese text and 乗
// (GBK 81 5C: its second byte is a backslash).
const std::string kTricky = "it's \"quoted\" back\\slash\ttab\nlf\rcr 中文 乗嘰 \\N end\\";

std::string Repeat(const std::string& part, size_t bytes) {
    std::string out;
    while (out.size() + part.size() <= bytes) out += part;
    return out + std::string(bytes - out.size(), 'x');
}

// A log with its bytes, offered through the item entry point of a writer.
struct Sample {
    std::uint32_t type;
    std::vector<BYTE> bytes;
    int OfferTo(CBaseLogWriter& writer) const {
        const LogItem item{type, 1, bytes.data()};
        return writer.WriteLog(&item, nullptr);
    }
};

template <class Record>
Sample Pack(std::uint32_t type, const Record& r) {
    const auto* p = reinterpret_cast<const BYTE*>(&r);
    return {type, std::vector<BYTE>(p, p + sizeof(r))};
}

// A user log with none of its fields zero, so that every column is compared.
template <class Record>
Record UserLog(const BYTE identity[16], std::uint32_t type, int action, const std::string& name,
               const std::string& message, std::uint16_t port) {
    Record r = testpkt::User<Record>(identity, type, action, name, message, port);
    r.common.result = 2;
    r.common.serviceType = 3;
    std::memcpy(r.common.secondName, "second", 6);
    r.common.serverAttribute = 1;
    return r;
}

// The same logs for a node: every type and user action the writer takes.
std::vector<Sample> Logs(const BYTE identity[16]) {
    const std::string maxName = Repeat("a'\"\\\t乗", 99);
    const std::string maxMessage = Repeat("'\"\\\t\n\r乗", 511);
    const std::string chinese = Repeat("开乗", 511);
    std::vector<Sample> logs;
    for (const std::string* text : {&kTricky, &maxMessage}) {
        logs.push_back(Pack(packet::LOG_SYSTEM, testpkt::System(identity, 2, 603, *text)));
    }
    using V1 = packet::UserRecordV1;
    using V2 = packet::UserRecordV2;
    using V3 = packet::UserRecordV3;
    auto v1 = UserLog<V1>(identity, packet::LOG_USER, 2, "alice", "", 1001);
    v1.upFlux = -5;  // sign-extended into both the plain and the raw column
    v1.downFlux = 2000000000;
    auto v2 = UserLog<V2>(identity, packet::LOG_USER_V2, 2, "alice", "", 1003);
    v2 = {v2.header, v2.common, 1, -2, 3, 4, {}};
    auto v3 = UserLog<V3>(identity, packet::LOG_USER_V3, 2, maxName, "", 1005);
    v3 = {v3.header, v3.common, 1LL << 40, -(1LL << 33), 7, 8, {}, 0};
    logs.push_back(Pack(packet::LOG_USER, v1));
    logs.push_back(Pack(packet::LOG_USER, UserLog<V1>(identity, packet::LOG_USER, 1, "alice", kTricky, 1002)));
    logs.push_back(Pack(packet::LOG_USER_V2, v2));
    logs.push_back(Pack(packet::LOG_USER_V2, UserLog<V2>(identity, packet::LOG_USER_V2, 3, "张三乗's", kTricky, 1004)));
    logs.push_back(Pack(packet::LOG_USER_V3, v3));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 1, maxName, maxMessage, 1006)));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 3, "alice", maxMessage, 1007)));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 3, maxName, chinese, 1008)));
    logs.push_back(Pack(packet::LOG_USER_V3, UserLog<V3>(identity, packet::LOG_USER_V3, 0, "bob\\", kTricky, 1009)));
    return logs;
}

// The compared columns of each table (text as hex, so bytes are compared).
const std::vector<std::pair<std::string, std::string>> kTables = {
    {"syslog", "lev, process, hex(message), log_time"},
    {"usrflowlog", "record_id <> 0, user_id, svr_ip, grp_id, dw_flux, up_flux, raw_dw_flux, raw_up_flux, log_time, "
                   "address, svr_port"},
    {"usrbasiclog", "record_id <> 0, user_id, hex(user_name), grp_id, user_action, action_result, address, "
                    "hex(message), auth_method, log_time, svr_ip, svr_port"},
    {"usrsvrlog", "record_id <> 0, user_id, grp_id, svr_ip, svr_port, svr_type, log_time, action_result, address, "
                  "hex(message), svr_attr"},
};

class DataFileLogWriterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_main = testdb::UniqueName("dflw_main");
        s_sqlDb = testdb::UniqueName("dflw_sql");
        s_fileDb = testdb::UniqueName("dflw_file");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::RegisterNode(s_main, "gw", kSqlMd5, s_sqlDb);
        testdb::RegisterNode(s_main, "gw2", kFileMd5, s_fileDb);
        testdb::ConfigureService(s_main);
    }
    static void TearDownTestSuite() {
        for (const std::string& db : {s_main, s_sqlDb, s_fileDb}) testdb::DropDatabase(db);
    }

    void SetUp() override {
        testenv::UseFreshLogDay();
        for (const std::string& db : {s_sqlDb, s_fileDb}) {
            testdb::CreateDatabase(db, "node.sql");
            testdb::ExecIn(db, "insert into tarngroup (id, pgrpid, name) values (10, 0, 'staff');"
                               "insert into tarnuser (id, name, grpid) values (1, 'alice', 10), (2, 'carol', 10)");
        }
        DecodeHex16(kSqlMd5, m_sqlNode);
        DecodeHex16(kFileMd5, m_fileNode);
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        CSQLConnManager::GetInstance()->SetRetryDelay(1);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        ASSERT_EQ(CGlobalSharedData::GetInstance()->GetDabaBaseNodeInfo(), 1);
        Manager()->SetNodeListReadyCheck([] { return false; });  // no start-up import during the test
        ASSERT_TRUE(Manager()->Init());
        ASSERT_EQ(m_writer.Init(), 1);
        m_writer.SetDbName(s_fileDb.c_str());
    }
    void TearDown() override {
        m_writer.OnQuit();
        m_writer.UnInit();
        Manager()->UnInit();
        Manager()->SetNodeListReadyCheck({});
        CSQLConnManager::GetInstance()->UnInit();
        std::filesystem::remove_all(Dir(""));
    }

    static CDataFileManager* Manager() { return CDataFileManager::GetInstance(); }
    // The data-file writer with the SQL writer behind it, on the file node's database.
    struct FileChain {
        CDataFileLogWriter files;
        CFinalLogWriter sql;
        CVarnholtLogsWriterManager chain;
        FileChain() {
            chain.InstallLogWriterChain({&files, &sql});
            chain.SetDbName(s_fileDb.c_str());
        }
        void End() {
            chain.OnQuit();
            chain.UnInstallLogWriterChain();
        }
    };
    // Closes the writer's open data file of table under it, as a switch-out
    // or a failure of its own would leave it; false when none is open.
    static bool CloseOpenFile(const std::string& table) {
        bool closed = false;
        for (DWORD id = 1; id < 10000; ++id) {
            CDataFile* file = Manager()->GetDataFileByID(id);
            if (file != nullptr && file->IsWritable() && file->m_strTableName == table && file->m_strDBName == s_fileDb) {
                closed = file->Close() || closed;
            }
        }
        return closed;
    }
    static std::string Dir(const std::string& table) {
        return CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + s_fileDb + "/" + table;
    }
    // Closes the writer's open file of table, as a switch-out does, and puts
    // a regular file where the table's folder was, so no fresh one is made.
    static void BreakTable(const std::string& table) {
        CloseOpenFile(table);
        std::filesystem::rename(Dir(table), Dir(table + ".away"));
        testenv::WriteFile(Dir(table), "");
    }
    static void MendTable(const std::string& table) {
        std::filesystem::remove(Dir(table));
        std::filesystem::rename(Dir(table + ".away"), Dir(table));
    }
    // Loads every queued file of the writer's database; returns their number.
    static int ImportAll() {
        MYSQL* connection = CSQLConnManager::GetInstance()->AllocSqlConn(s_fileDb.c_str(), CLIENT_LOCAL_FILES);
        EXPECT_NE(connection, nullptr);
        std::string db = s_fileDb, path, table;
        int files = 0;
        while (Manager()->GetImportInfo(&db, &path, &table)) {
            EXPECT_TRUE(Manager()->ImportDataFile(connection, table.c_str(), path.c_str(), false)) << path;
            Manager()->RemoveImportInfo(db.c_str(), table.c_str(), path.c_str());
            ++files;
        }
        CSQLConnManager::GetInstance()->ReleaseSqlConn(connection);
        return files;
    }
    static auto Rows(const std::string& db, const std::string& table, const std::string& columns) {
        MYSQL* connection = testdb::Connect(db);
        auto rows = testdb::Query(connection, "select " + columns + " from " + table + " order by " + columns);
        testdb::Close(connection);
        return rows;
    }

    static inline std::string s_main, s_sqlDb, s_fileDb;
    BYTE m_sqlNode[16], m_fileNode[16];
    CDataFileLogWriter m_writer;
};

TEST_F(DataFileLogWriterTest, BulkLoadedRowsEqualTheSqlWritersRows) {
    CFinalLogWriter sql;
    ASSERT_EQ(sql.Init(), 1);
    sql.SetDbName(s_sqlDb.c_str());
    for (const Sample& log : Logs(m_sqlNode)) EXPECT_EQ(log.OfferTo(sql), 1);
    sql.OnQuit();
    sql.UnInit();
    {
        // As a record task's pass writes them: held, then one write per file.
        CDataFileBatch batch;
        CDataFileBatch::Scope pass(batch);
        for (const Sample& log : Logs(m_fileNode)) EXPECT_EQ(log.OfferTo(m_writer), 1);
        EXPECT_FALSE(std::filesystem::exists(Dir("usrbasiclog"))) << "nothing is written before the pass ends";
    }
    m_writer.OnQuit();
    EXPECT_EQ(ImportAll(), 4);

    const std::vector<size_t> expectedRows = {2, 3, 6, 3};
    for (size_t t = 0; t < kTables.size(); ++t) {
        const auto& [table, columns] = kTables[t];
        const auto fromSql = Rows(s_sqlDb, table, columns);
        EXPECT_EQ(fromSql.size(), expectedRows[t]) << table;
        EXPECT_EQ(Rows(s_fileDb, table, columns), fromSql) << table;
    }
    // Independent of the SQL writer: the stored bytes are the node's text in GBK.
    std::string gbk;
    ASSERT_TRUE(Utf8ToGbkString(kTricky.c_str(), gbk));
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select hex(message) from usrsvrlog where svr_port = 1004"),
              HexUpper(reinterpret_cast<const BYTE*>(gbk.data()), gbk.size()));
    ASSERT_TRUE(Utf8ToGbkString("张三乗's", gbk));
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select hex(user_name) from usrbasiclog where svr_port = 1004"),
              HexUpper(reinterpret_cast<const BYTE*>(gbk.data()), gbk.size()));
    // One record id per log, shared by the two rows of an access.
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select count(*) from usrsvrlog s join usrbasiclog b using (record_id)"
                                         " where b.svr_port = s.svr_port"),
              "3");
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select count(distinct record_id) from usrbasiclog"), "6");
}

// One data file per table until OnQuit; a service access without a server is
// declined and makes no file.
TEST_F(DataFileLogWriterTest, OneDataFilePerTableUntilOnQuitAndAccessWithoutServerDeclined) {
    auto access = UserLog<packet::UserRecordV3>(m_fileNode, packet::LOG_USER_V3, 3, "alice", "x", 80);
    packet::WriteU32Net(&access.common.serverAddressNet, 0);
    EXPECT_EQ(m_writer.WriteLog(1, &access, nullptr), 0);
    auto flow = UserLog<packet::UserRecordV3>(m_fileNode, packet::LOG_USER_V3, 2, "alice", "", 80);
    EXPECT_EQ(m_writer.WriteLog(1, &flow, nullptr), 1);
    EXPECT_EQ(m_writer.WriteLog(2, &flow, nullptr), 1);
    ASSERT_EQ(testenv::ListFiles(Dir("usrflowlog")).size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(Dir("usrbasiclog")));
    EXPECT_FALSE(std::filesystem::exists(Dir("usrsvrlog")));
    m_writer.OnQuit();
    EXPECT_EQ(Manager()->ImportListSize(), 1u);
    // The released file is not reopened: a later log goes to the final writer.
    EXPECT_EQ(m_writer.WriteLog(1, &flow, nullptr), 0);
    EXPECT_EQ(testenv::ListFiles(Dir("usrflowlog")).size(), 1u);
    EXPECT_EQ(ImportAll(), 1);
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select count(*) from usrflowlog where user_id = 1 and svr_port = 80"), "2");
}

// A service access whose usrsvrlog line fails after its usrbasiclog line is
// in: the line is tried once more on a fresh file, and when that fails too
// the row goes to the SQL writer alone. Every access keeps both rows, once.
TEST_F(DataFileLogWriterTest, FailedServiceLineGoesToAFreshFileThenToSql) {
    FileChain c;
    const std::uint64_t bySql = loss::Get(loss::SERVICE_ROW_SQL);
    auto access = [&](std::uint16_t port) {
        const auto log = UserLog<packet::UserRecordV3>(m_fileNode, packet::LOG_USER_V3, 3, "alice", "svc", port);
        return c.chain.WriteLog(1, &log);
    };
    EXPECT_EQ(access(2001), 1);
    ASSERT_TRUE(CloseOpenFile("usrsvrlog"));
    EXPECT_EQ(access(2002), 1);  // a fresh file
    ASSERT_TRUE(CloseOpenFile("usrsvrlog"));
    BreakTable("usrsvrlog");  // no fresh file either
    EXPECT_EQ(access(2003), 1);  // by INSERT
    MendTable("usrsvrlog");
    c.End();
    EXPECT_EQ(ImportAll(), 3);
    EXPECT_EQ(loss::Get(loss::SERVICE_ROW_SQL) - bySql, 1u);
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select group_concat(s.svr_port order by s.svr_port) from usrsvrlog s "
                                         "join usrbasiclog b using (record_id)"),
              "2001,2002,2003");
}

// A pass's lines whose data file refuses them twice (the file switched out
// under the pass, and no fresh one can be made) go to the SQL writer: a log
// of its own whole, a service access whose usrbasiclog line failed whole and
// without its usrsvrlog line, and a usrsvrlog line alone as its row. Every
// log ends up stored once, and a nested scope does not flush early.
TEST_F(DataFileLogWriterTest, ABatchRefusedByItsFilesGoesToSqlEachLogOnce) {
    FileChain c;
    auto log = [&](int action, std::uint16_t port) {
        const auto r = UserLog<packet::UserRecordV3>(m_fileNode, packet::LOG_USER_V3, action, "alice", "svc", port);
        return c.chain.WriteLog(1, &r);
    };
    const std::uint64_t bySql = loss::Get(loss::SERVICE_ROW_SQL);
    const std::uint64_t sqlQueued = loss::Get(loss::SQL_QUEUED);
    const std::uint64_t keptBefore = loss::Get(loss::BATCH_KEPT);
    const std::uint64_t outBefore = loss::Get(loss::BATCH_OUT);
    CDataFileBatch batch;
    {
        CDataFileBatch::Scope pass(batch);
        EXPECT_EQ(log(3, 3001), 1);
        EXPECT_EQ(log(0, 3002), 1);
        {
            CDataFileBatch::Scope inner(batch);
            EXPECT_EQ(CDataFileBatch::Current(), &batch);
        }
        EXPECT_FALSE(batch.Empty()) << "an inner scope leaves the flush to the pass";
        EXPECT_EQ(loss::Get(loss::BATCH_KEPT) - keptBefore, 2u) << "held in memory until the pass ends";
        EXPECT_EQ(loss::Get(loss::BATCH_OUT), outBefore);
    }
    ASSERT_TRUE(batch.Empty());
    EXPECT_EQ(loss::Get(loss::BATCH_OUT) - outBefore, 2u);
    EXPECT_EQ(loss::Get(loss::SQL_QUEUED), sqlQueued) << "all in data files";
    BreakTable("usrbasiclog");
    {
        CDataFileBatch::Scope pass(batch);
        EXPECT_EQ(log(3, 3003), 1);  // both rows by INSERT
        EXPECT_EQ(log(0, 3004), 1);  // by INSERT
        EXPECT_EQ(log(2, 3005), 1);  // its own file works
    }
    MendTable("usrbasiclog");
    BreakTable("usrsvrlog");
    {
        CDataFileBatch::Scope pass(batch);
        EXPECT_EQ(log(3, 3006), 1);  // usrbasiclog line in its file, usrsvrlog row by INSERT
    }
    MendTable("usrsvrlog");
    c.End();
    ImportAll();
    EXPECT_EQ(loss::Get(loss::SERVICE_ROW_SQL) - bySql, 1u);
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select group_concat(svr_port order by svr_port) from usrbasiclog"),
              "3001,3002,3003,3004,3006");
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select group_concat(s.svr_port order by s.svr_port) from usrsvrlog s "
                                         "join usrbasiclog b using (record_id)"),
              "3001,3003,3006");
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select group_concat(svr_port) from usrflowlog"), "3005");
    EXPECT_EQ(testdb::ScalarIn(s_fileDb, "select group_concat(svr_port order by svr_port) from usrsvrlog"),
              "3001,3003,3006");
}

// The writer behind the merger: keeps a copy of every user log passed down.
class SinkWriter : public CBaseLogWriter {
public:
    int WriteLog(const LogItem* item, ReplyBuff* reply) override {
        return DispatchItem(item, reply, 1u << packet::LOG_USER_V3);
    }
    int WriteLog(std::uint32_t kind, const UserRecordV3* p, ReplyBuff*) override {
        entered.fetch_add(1);
        while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (delayMs.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_logs.emplace_back(kind, *p);
        return 1;
    }
    // Every log passed down with its kind, in order.
    std::vector<std::pair<std::uint32_t, UserRecordV3>> Logs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_logs;
    }
    size_t Count() { return Logs().size(); }
    std::atomic<int> delayMs{0};  // a slow writer behind the merger
    std::atomic<bool> hold{false};  // a writer stuck until released
    std::atomic<int> entered{0};

private:
    std::mutex m_mutex;
    std::vector<std::pair<std::uint32_t, UserRecordV3>> m_logs;
};

const std::uint8_t kId[16] = {1, 2, 3, 4};

UserRecordV3 User(int action, int result, int serviceType, const char* message, std::uint32_t client = 7) {
    UserRecordV3 r = testpkt::User<UserRecordV3>(kId, packet::LOG_USER_V3, action, "alice", message);
    r.common.result = result;
    r.common.serviceType = serviceType;
    r.common.clientAddressNet = client;
    return r;
}

UserRecordV3 Flow(std::int64_t up, std::uint32_t client, int second) {
    UserRecordV3 r = User(2, 0, 0, "", client);
    r.upFlux = up;
    r.downFlux = 2 * up;
    r.rawUpFlux = 3 * up;
    r.rawDownFlux = 4 * up;
    packet::WriteU32Net(&r.header.logTimeNet, 14u << 16 | 5u << 8 | static_cast<std::uint32_t>(second));
    return r;
}

class LogMergerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testenv::UseFreshLogDay();
        Key("Global", "ParticleTime", "600");  // the tests decide when buffers are due
        Key("Global", "MergeBufferSize", "1");
        Key("UserLog", "HttpFilterList", "ads;;track");
        ASSERT_TRUE(CLogMergeManager::GetInstance()->Init());
        for (int c = INFO_COUNTER_MERGED_TOTAL; c <= INFO_COUNTER_MERGE_3; ++c) {
            m_before[c] = GetInfoCounter(static_cast<InfoCounter>(c));
        }
    }
    void Install() { m_chain.InstallLogWriterChain({&m_merger, &m_sink}); }
    void TearDown() override {
        m_chain.UnInstallLogWriterChain();
        CLogMergeManager::GetInstance()->UnInit();
        Key("Global", "ParticleTime", "30");
        Key("Global", "MergeBufferSize", "5");
        Key("Global", "MergeBuffers", "2");
        Key("UserLog", "HttpFilterList", "");
        Key("UserLog", "KeepFilterLog", "0");
    }
    static void Key(const char* section, const char* key, const char* value) {
        testintake::SetKey("ZelkAdv.conf", section, key, value);
    }
    int Send(const UserRecordV3& r, std::uint32_t kind = 1) { return m_chain.WriteLog(kind, &r); }
    std::uint64_t Counted(InfoCounter c) { return GetInfoCounter(c) - m_before[c]; }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const auto& [kind, r] : m_sink.Logs()) out.push_back(r.message);
        return out;
    }

    CLogMergerLogWriter m_merger;
    SinkWriter m_sink;
    CVarnholtLogsWriterManager m_chain;
    std::uint64_t m_before[INFO_COUNTER_COUNT] = {};
};

TEST_F(LogMergerTest, FlowsAddUpRepeatsAndFilteredWebLogsAreDroppedTheRestKeepsItsOrder) {
    Install();
    EXPECT_EQ(Send(Flow(1, 7, 1), 2), 1);
    EXPECT_EQ(Send(Flow(10, 7, 9)), 1);    // same key: added to the first
    EXPECT_EQ(Send(Flow(100, 8, 2)), 1);   // another client: its own record
    EXPECT_EQ(Send(User(3, 1, 2, "GET /index")), 1);
    EXPECT_EQ(Send(User(3, 1, 2, "GET /index.html?x")), 1);   // begins like the kept one: a repeat
    EXPECT_EQ(Send(User(3, 2, 2, "GET /index.html?x")), 1);   // result 2: always kept
    EXPECT_EQ(Send(User(3, 1, 1, "see ADS , here")), 1);      // web log with a keyword: dropped
    EXPECT_EQ(Send(User(3, 1, 1, "nothing to see")), 1);      // web log without one: kept
    EXPECT_EQ(Send(User(3, 1, 1, "ads,no blank")), 1);         // the keyword needs " ," after it
    EXPECT_EQ(Send(User(3, 1, 1, "a , b")), 1);                // the empty piece of "ads;;track" is no keyword
    EXPECT_EQ(Send(User(1, 0, 0, "login")), 1);
    EXPECT_EQ(m_sink.Count(), 0u) << "kept until the buffer is due or the connection ends";

    m_chain.OnQuit();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"", "", "GET /index", "GET /index.html?x", "nothing to see",
                                                    "ads,no blank", "a , b", "login"}));
    const auto logs = m_sink.Logs();
    ASSERT_EQ(logs.size(), 8u);
    const UserRecordV3& merged = logs[0].second;
    // Packed fields are copied out before they are compared.
    EXPECT_EQ(std::make_tuple(+merged.upFlux, +merged.downFlux, +merged.rawUpFlux, +merged.rawDownFlux),
              std::make_tuple(11, 22, 33, 44));
    EXPECT_EQ(packet::ReadU32Net(&merged.header.logTimeNet) & 0xFF, 1u) << "the first log's time";
    EXPECT_EQ(logs[0].first, 2u);
    EXPECT_EQ(std::int64_t{logs[1].second.upFlux}, 100);
    EXPECT_EQ(std::make_tuple(Counted(INFO_COUNTER_MERGE_2), Counted(INFO_COUNTER_MERGE_1),
                              Counted(INFO_COUNTER_MERGED_TOTAL)),
              std::make_tuple(1u, 2u, 3u));
}

TEST_F(LogMergerTest, KeepFilterLogKeepsOnlyWebLogsWithAKeyword) {
    Key("UserLog", "KeepFilterLog", "1");
    Install();
    for (const char* message : {"track , me", "plain", "tRaCk ,"}) EXPECT_EQ(Send(User(3, 1, 1, message)), 1);
    EXPECT_EQ(Send(User(3, 1, 2, "plain")), 1);  // not a web log: not filtered
    m_chain.OnQuit();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"track , me", "tRaCk ,", "plain"}));
    EXPECT_EQ(Counted(INFO_COUNTER_MERGE_1), 1u);
}

// A service stop (the exit event) makes the write thread pass every kept log
// down, the current buffer's too, before the record task's own end.
TEST_F(LogMergerTest, TheExitEventPassesEveryKeptLogDown) {
    Install();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Send(Flow(1, 20 + i, 1)), 1);
    SetExitEvent();
    const bool passed = testenv::WaitFor([&] { return m_sink.Count() == 5; }, 5000);
    ResetEvent(GetExitEvent());
    EXPECT_TRUE(passed) << m_sink.Count();
    // A log after that last write-out goes on unmerged instead of waiting in
    // a buffer nobody writes out any more.
    EXPECT_EQ(Send(Flow(1, 20, 1)), 1);
    EXPECT_EQ(m_sink.Count(), 6u);
    m_chain.OnQuit();
    EXPECT_EQ(m_sink.Count(), 6u);
}

// A node leaving while its last buffer is passed down slowly: the merger's
// quit returns only when every kept log has gone down, before the writers
// behind it quit.
TEST_F(LogMergerTest, QuitWaitsUntilTheLastWriteOutHasGoneDown) {
    Install();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Send(Flow(1, 20 + i, 1)), 1);
    m_sink.delayMs = 100;
    CLogMerger::SetQuitWaitMs(20);
    m_chain.OnQuit();
    CLogMerger::SetQuitWaitMs(CLogMerger::kQuitWaitMs);
    EXPECT_EQ(m_sink.Count(), 5u);
    m_sink.delayMs = 0;
}

// A buffer goes down the chain once its particle time has passed or once it
// is full, while the connection goes on.
TEST_F(LogMergerTest, DueBuffersAreWrittenOutByTimeAndBySize) {
    Install();
    EXPECT_EQ(Send(User(1, 0, 0, "early")), 1);
    TestClock::AdvanceTicks(601 * 1000);
    EXPECT_EQ(Send(User(1, 0, 0, "later")), 1);  // finds the buffer due
    EXPECT_TRUE(testenv::WaitFor([&] { return m_sink.Count() == 1; }, 5000)) << m_sink.Count();

    // 1 MiB holds 1272 kept logs of 824 bytes; the next one finds it full.
    for (int i = 0; i < 1400; ++i) ASSERT_EQ(Send(User(1, 0, 0, "bulk")), 1);
    EXPECT_TRUE(testenv::WaitFor([&] { return m_sink.Count() >= 1 + 1272; }, 5000)) << m_sink.Count();
    m_chain.OnQuit();
    EXPECT_EQ(m_sink.Count(), 1402u);
}

// With a single buffer, a log that finds it due passes it down at once and
// goes on merging, instead of waiting for a free buffer that only the write
// thread (blocked on the same lock) could free and then declining the log.
TEST_F(LogMergerTest, ASingleDueBufferIsPassedDownWithoutStallingOrDecliningLogs) {
    Key("Global", "MergeBuffers", "1");
    Install();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Send(Flow(1, 7, 1)), 1);
        TestClock::AdvanceTicks(601 * 1000);
        const DWORD start = GetTickCount();
        EXPECT_EQ(Send(Flow(1, 7, 1)), 1) << "round " << round;
        EXPECT_LT(GetTickCount() - start, 5000u);
    }
    EXPECT_EQ(m_sink.Count(), 3u);
    m_chain.OnQuit();
    EXPECT_EQ(m_sink.Count(), 4u);
    DWORD buffers = 0;
    std::uint64_t total = 0, used = 0;
    CLogMergeManager::GetInstance()->GetStatistics(&buffers, &total, &used);
    EXPECT_EQ(buffers, 1u);
    EXPECT_EQ(total, 1048576u);
}

// The merge statistics (the info query) take no buffer's lock: a write-out
// stuck behind a writer does not hold up the query, nor the intake behind it.
// Nor does the oldest kept log's time, which a buffer keeps until the
// writers behind have taken its logs.
TEST_F(LogMergerTest, StatisticsDoNotWaitForAWriteOut) {
    Install();
    m_chain.SetDbName("merged_db");
    const std::int64_t kept = GetSystemTimeSeconds();
    ASSERT_EQ(Send(User(1, 0, 0, "kept")), 1);
    m_sink.hold = true;
    TestClock::AdvanceTicks(601 * 1000);
    TestClock::AdvanceLocalTime(1000);
    ASSERT_EQ(Send(User(1, 0, 0, "due")), 1);  // the due buffer goes to the write thread
    ASSERT_TRUE(testenv::WaitFor([&] { return m_sink.entered.load() > 0; }, 5000));
    auto query = std::async(std::launch::async, [] {
        DWORD buffers = 0;
        std::uint64_t total = 0, used = 0;
        CLogMergeManager::GetInstance()->GetStatistics(&buffers, &total, &used);
        OldestPendingMap oldest;
        CLogMergeManager::GetInstance()->OldestPending(&oldest);
        return std::pair(buffers, oldest);
    });
    const bool answered = query.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    m_sink.hold = false;
    EXPECT_TRUE(answered);
    const auto [buffers, oldest] = query.get();
    EXPECT_EQ(buffers, 2u);
    EXPECT_EQ(oldest.size(), 1u);
    EXPECT_LE(oldest.at("merged_db") - kept, 1);
    m_chain.OnQuit();
    OldestPendingMap after;
    CLogMergeManager::GetInstance()->OldestPending(&after);
    EXPECT_TRUE(after.empty());
}

class WriterChainTest : public ::testing::Test {
protected:
    void SetUp() override { m_log = testenv::UseFreshLogDay(); }
    std::string m_log;
    std::vector<std::string> m_journal;
    packet::AdminRecord m_admin{};
    packet::UserRecordV3 m_user{};
};

TEST_F(WriterChainTest, FirstWriterThatHandlesEndsTheWalk) {
    RecordingWriter declines(&m_journal, "A", 0);
    RecordingWriter handles(&m_journal, "B", 1);
    RecordingWriter last(&m_journal, "C", 1);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&declines, nullptr, &handles, &last});
    EXPECT_EQ(manager.WriteLog(2, &m_admin), 1);
    EXPECT_EQ(manager.WriteLog(1, &m_user), 1);
    EXPECT_EQ(m_journal, (std::vector<std::string>{"A.Admin", "B.Admin", "A.UserV3/1", "B.UserV3/1"}));
    CVarnholtLogsWriterManager empty;  // no writer built yet: nobody handles a log
    empty.InstallLogWriterChain();
    EXPECT_EQ(empty.WriteLog(1, &m_admin), 0);
}

TEST_F(WriterChainTest, FailedInitIsLoggedWithTheClassNameAndTheWriterStaysInUse) {
    FailingInitWriter failing(&m_journal);
    RecordingWriter fine(&m_journal, "B", 0);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&failing, &fine});
    const std::string text = testenv::ReadFile(m_log);
    for (const char* line :
         {"[WARN]", "[CVarnholtLogsWriterManager][InstallLogWriterChain] Fail To Call Log Writer Init(). Name = class "
                    "FailingInitWriter\n",
          "[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = class RecordingWriter\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    EXPECT_EQ(manager.WriteLog(1, &m_admin), 1);
    EXPECT_EQ(m_journal, (std::vector<std::string>{"F.Admin"}));
}

TEST_F(WriterChainTest, ReplyBufferAndLifecycleCalls) {
    RecordingWriter writer(&m_journal, "A", 0);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&writer});
    std::vector<BYTE> buffer(64);
    auto* reply = reinterpret_cast<ReplyBuff*>(buffer.data());
    reply->capacity = static_cast<std::uint32_t>(buffer.size() - 12);
    reply->used = 0;
    UserAuditFilePacket auditFile{};
    EXPECT_EQ(manager.WriteLog(1, &auditFile, reply), 0);  // declined, but it answered
    EXPECT_EQ(reply->used, 2u);
    manager.SetDbName("node_db");
    manager.OnQuit();
    manager.UnInstallLogWriterChain();
    EXPECT_EQ(m_journal, (std::vector<std::string>{"A.AuditFile", "A.Db=node_db", "A.OnQuit", "A.UnInit"}));
}

}  // namespace
