// The SQL writer when MySQL goes away: runs its own MariaDB (started and
// stopped by scripts/mariadb-local.sh) so that stopping it touches no other
// test program.
#include <stdlib.h>

#include <regex>

#include "core/ExitEvent.h"
#include "core/LossAccounting.h"
#include "core/Utility.h"
#include "platform/Files.h"
#include "support/IntakeTest.h"
#include "support/WriterRecords.h"
#include "writers/FinalLogWriter.h"
#include "writers/RowCheck.h"
#include "writers/SqlSpool.h"

namespace {

constexpr char kNodeMd5[] = "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a";

class SqlOutageTest : public ::testing::Test {
protected:
    static int Server(const char* command) {
        const std::string line = "VARNHOLT_DB_DIR='" + s_dir + "' VARNHOLT_DB_PORT=" + std::to_string(s_dbPort) + " '" +
                                 std::string(VARNHOLT_SOURCE_DIR) + "/scripts/mariadb-local.sh' " + command +
                                 " >/dev/null 2>&1";
        return system(line.c_str());
    }

    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_dir = testenv::InstallDir() + "/mariadb";
        s_dbPort = testnet::FreePort();
        ASSERT_EQ(Server("start"), 0) << "the private MariaDB did not start";
        s_shared = testdb::UseServer({"127.0.0.1", s_dbPort, "varnholt", "varnholt"});
        s_service.Open("outage", kNodeMd5);
    }

    static void TearDownTestSuite() {
        s_service.Close();
        Server("stop");
        testdb::UseServer(s_shared);  // later suites use the shared server again
    }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        DecodeHex16(kNodeMd5, m_id);
        m_peer = testintake::SyncedPeer(s_port, m_id);
    }
    void TearDown() override { testnet::Close(m_peer); }

    // Sends alarms with the given message prefix (and extra packets), then a
    // keep-alive whose reply proves that every packet before it was handled.
    void SendAlarms(const std::string& prefix, int count, int peer = -1, const std::string& extra = "") {
        if (peer < 0) peer = m_peer;
        ASSERT_TRUE(testintake::SendConfirmed(peer, m_id, testpkt::Alarms(m_id, prefix, count) + extra, 60000));
    }

    // A writer's statement for an alarm with this message.
    static std::string Insert(const std::string& text) {
        return "insert into alarm_log (`type`,`message`,`log_time`) values(1,'" + text + "','2026-01-01 00:00:00')";
    }
    static std::vector<std::string> Messages() {
        return testintake::Column(s_nodeDb, "select message from alarm_log order by id");
    }

    // The messages of the alarms SendAlarms sent for each prefix and count, in order.
    static std::vector<std::string> Expected(const std::vector<std::pair<std::string, int>>& parts) {
        std::vector<std::string> out;
        char text[512];
        for (const auto& [prefix, count] : parts) {
            for (int i = 0; i < count; ++i) {
                std::snprintf(text, sizeof(text), "%s %02d", prefix.c_str(), i);
                out.push_back(text);
            }
        }
        return out;
    }

    static inline std::string s_dir;
    static inline std::uint16_t s_dbPort = 0;
    static inline testdb::Server s_shared;
    static inline testintake::Service s_service;
    static inline const std::uint16_t& s_port = s_service.port;
    static inline const std::string& s_nodeDb = s_service.nodeDb;
    BYTE m_id[16];
    int m_peer = -1;
    std::string m_log;
};

// While MySQL is down the intake never waits for it: due caches go to the
// spool at once and only the background tries to connect, with growing
// pauses. Afterwards everything arrives once and in order, later statements
// queued behind the spooled ones.
TEST_F(SqlOutageTest, StatementsWaitWhileMySqlIsDownAndGoInOrderAfterwards) {
    SendAlarms("before", 10);
    ASSERT_EQ(Server("stop"), 0);
    SendAlarms("down", 490);  // 500 statements: ten due caches, no server
    EXPECT_LE(testenv::CountOccurrences(testenv::ReadFile(m_log), "[AllocSqlConn] Cannot Connect MySQL"), 5u);
    EXPECT_TRUE(CSQLConnManager::GetInstance()->IsMySqlDown());
    EXPECT_EQ(CSqlSpool::GetInstance()->PendingCount(), 500u);
    ASSERT_EQ(Server("start"), 0);
    SendAlarms("after", 50);
    const std::vector<std::string> expected = Expected({{"before", 10}, {"down", 490}, {"after", 50}});
    ASSERT_TRUE(testenv::WaitFor([&] { return Messages().size() >= expected.size(); }, 30000)) << Messages().size();
    EXPECT_EQ(Messages(), expected);
    EXPECT_FALSE(CSQLConnManager::GetInstance()->IsMySqlDown());
}

// A connection killed under an INSERT leaves its result unknown: held by a
// table lock the row was not stored and is sent again; killed in an AFTER
// trigger the row was stored and is not. Either way each log is stored once.
TEST_F(SqlOutageTest, ConnectionKilledInTheMiddleOfASubmissionStoresEachLogOnce) {
    int round = 0;
    for (const char* hold : {"lock tables alarm_log read",
                             "create trigger stall after insert on alarm_log for each row begin if new.message like "
                             "'second%' then do sleep(60); end if; end"}) {
        SCOPED_TRACE(hold);
        const std::string first = "first" + std::to_string(round);
        const std::string second = "second" + std::to_string(round++);
        MYSQL* c = testdb::Connect(s_nodeDb);
        testdb::Exec(c, "delete from alarm_log");
        SendAlarms(first, 50);  // opens the writer's connection
        ASSERT_TRUE(testenv::WaitFor([&] { return Messages().size() == 50; }, 10000));
        testdb::Exec(c, hold);
        ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::Alarms(m_id, second, 50) + testpkt::KeepAlive(m_id)));
        const std::string inserting = "select id from information_schema.processlist where db = '" + s_nodeDb +
                                      "' and command = 'Query' and id <> connection_id() and "
                                      "(info like 'insert into alarm_log%' or info like '%sleep(60)')";
        std::string writer;
        ASSERT_TRUE(testenv::WaitFor([&] { return !(writer = testdb::Scalar(c, inserting)).empty(); }, 10000));
        testdb::Exec(c, "kill connection " + writer);
        testdb::Exec(c, "unlock tables");
        testdb::Exec(c, "drop trigger if exists stall");
        testdb::Close(c);
        ASSERT_EQ(testnet::ReceiveExactly(m_peer, 46, 60000).size(), 46u);

        const std::vector<std::string> expected = Expected({{first, 50}, {second, 50}});
        ASSERT_TRUE(testenv::WaitFor([&] { return Messages().size() >= expected.size(); }, 20000))
            << Messages().size();
        EXPECT_EQ(Messages(), expected);
        EXPECT_TRUE(testintake::LogHas(m_log, "[SubmitSqlCache] Query Fail.Sql = insert into alarm_log"));
    }
}

// A node that leaves and a node still connected when the service stops, both
// while MySQL is down: their statements wait in the spool file, survive the
// stop, and reach MySQL exactly once when it answers again.
TEST_F(SqlOutageTest, NodesLeavingAndAStopDuringAnOutageLoseNothing) {
    testdb::ExecIn(s_nodeDb, "delete from alarm_log; delete from syslog");
    CSqlSpool* spool = CSqlSpool::GetInstance();
    spool->UnInit();  // no pass while the outage is set up
    ASSERT_EQ(Server("stop"), 0);

    SendAlarms("left", 20, m_peer, testpkt::Bytes(testpkt::System(m_id, 1, 2, "left")));
    testnet::Close(m_peer);
    m_peer = -1;
    ASSERT_TRUE(testenv::WaitFor([&] { return spool->PendingCount() == 20; }, 20000)) << spool->PendingCount();
    // The quitting writer tried one connection, without pauses, and no
    // other when MySQL was known to be down.
    const std::string text = testenv::ReadFile(m_log);
    const std::regex spooled(R"(\[TID=([0-9]+)\]\[CSqlSpool\]\[Append\] 20 Statement)");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, spooled)) << text;
    const std::string attempt = "[TID=" + match[1].str() + "][CSQLConnManager][AllocSqlConn] Cannot Connect MySQL";
    EXPECT_EQ(testenv::CountOccurrences(text, attempt), 1u);

    // The node is known: a second connection's logs are taken without a sync.
    int second = testnet::Connect(s_port);
    ASSERT_GE(second, 0);
    SendAlarms("stopped", 20, second);
    SetExitEvent();  // the service stops
    CTarnNodeManager::GetInstance()->WaitAllTarnNodeExit(30000);
    ResetEvent(GetExitEvent());
    // The exit event ended the registry's reaper too: a new one reaps.
    CTarnNodeManager::GetInstance()->UnInit();
    ASSERT_TRUE(CTarnNodeManager::GetInstance()->Init());
    testintake::Stop(s_service.listener);
    testnet::Close(second);
    EXPECT_EQ(spool->PendingCount(), 40u);

    // Started again, still without MySQL: nothing goes, nothing is lost.
    ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
    ASSERT_TRUE(spool->Init());
    EXPECT_EQ(spool->SubmitPending(), 0u);
    EXPECT_EQ(spool->PendingCount(), 40u);

    ASSERT_EQ(Server("start"), 0);
    ASSERT_TRUE(testenv::WaitFor([&] { return spool->PendingCount() == 0; }, 20000));
    EXPECT_EQ(Messages(), Expected({{"left", 20}, {"stopped", 20}}));
    EXPECT_EQ(spool->FailedCount(), 0u);

    spool->UnInit();
    CSQLConnManager::GetInstance()->UnInit();
    s_service.listener = testintake::Start(s_port);
    // The system log went to a data file, which the start-up import loads.
    const auto syslog = [] { return testintake::Column(s_nodeDb, "select message from syslog"); };
    EXPECT_TRUE(testenv::WaitFor([&] { return syslog().size() == 1; }, 20000));
    EXPECT_EQ(syslog(), std::vector<std::string>{"left"});
}

// A statement cut short by a kill mid-append is cut off when the spool starts
// again, so statements appended behind it are not lost with it.
TEST_F(SqlOutageTest, TornSpoolRecordIsCutAtStartAndLaterStatementsSurvive) {
    testdb::ExecIn(s_nodeDb, "delete from alarm_log");
    CSqlSpool* spool = CSqlSpool::GetInstance();
    spool->UnInit();
    auto record = [](const std::string& statement) { return std::to_string(statement.size()) + "\n" + statement + "\n"; };
    // An older file still being sent keeps the spool file from being claimed
    // while MySQL is away, so the append goes behind the cut record.
    testenv::WriteFile(CSqlSpool::SpoolPath(s_nodeDb) + ".sending", record(Insert("older")));
    testenv::WriteFile(CSqlSpool::SpoolPath(s_nodeDb), record(Insert("kept")) + "90\ninsert into alarm_");
    testintake::SetKey("Zelk.conf", "DatabaseConfig", "DBServer", "127.0.0.2");  // no pass gets through yet
    ASSERT_TRUE(spool->Init());
    ASSERT_TRUE(spool->Append(s_nodeDb, {Insert("appended")}));
    testintake::SetKey("Zelk.conf", "DatabaseConfig", "DBServer", testdb::GetServer().host);
    EXPECT_TRUE(testenv::WaitFor([] { return Messages().size() == 3; }, 10000)) << Messages().size();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"older", "kept", "appended"}));
    EXPECT_TRUE(testintake::LogHas(m_log, "Ended With An Incomplete Statement , 21 Byte(s) Dropped"));
}

// The spool stores each statement once: a kept statement whose row landed
// before its connection broke is not sent again, one whose row did not is,
// and after a pass cut short by a kill the rows of that pass are looked up,
// equal statements counted one by one, not sent a second time.
TEST_F(SqlOutageTest, SpoolStoresStatementsInDoubtOnce) {
    // A lookup reads back what the writers' escaping stored: quotes,
    // backslashes, a GBK character whose second byte is a backslash.
    ASSERT_TRUE(testenv::WaitFor([] { return !CSQLConnManager::GetInstance()->IsMySqlDown(); }, 20000));
    MYSQL* c = CSQLConnManager::GetInstance()->AllocSqlConn(s_nodeDb.c_str(), CLIENT_MULTI_STATEMENTS);
    ASSERT_NE(c, nullptr);
    std::string gbk;
    ASSERT_TRUE(Utf8ToGbkString("it's 乗\\ end\\", gbk));
    for (const std::string& text : {gbk, std::string("\x81\x5c'")}) {
        const std::string statement = Insert(EscapeSqlGbk(text));
        ASSERT_TRUE(ExecuteSql(c, statement)) << mysql_error(c);
        EXPECT_EQ(CRowCheck::CountRows(c, statement, 0), 1) << statement;
    }
    CSQLConnManager::GetInstance()->ReleaseSqlConn(c);

    testdb::ExecIn(s_nodeDb, "delete from alarm_log");
    testdb::ExecIn(s_nodeDb, Insert("same"));  // an equal row of long ago
    const std::uint64_t floor = std::stoull(testdb::ScalarIn(s_nodeDb, "select max(id) from alarm_log"));
    testdb::ExecIn(s_nodeDb, Insert("landed"));  // a writer's statement that got stored, reply lost
    CSqlSpool* spool = CSqlSpool::GetInstance();
    spool->UnInit();
    ASSERT_TRUE(spool->Append(s_nodeDb, {MarkUnsure(Insert("landed"), floor), MarkUnsure(Insert("lost"), floor),
                                         Insert("same"), Insert("same"), Insert("x"), Insert("y")}));
    // The start's pass is cut after three statements; the next one is ours.
    spool->SetCutPassAfter(3);
    spool->SetPassPeriod(3600000);
    ASSERT_TRUE(spool->Init());
    EXPECT_TRUE(testenv::WaitFor([] { return Messages().size() == 4; }, 10000));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"same", "landed", "lost", "same"}));
    // The file claimed and partly sent keeps its oldest time (from its
    // modification at the start), ahead of a newer append's.
    TestClock::AdvanceLocalTime(1000);
    ASSERT_TRUE(spool->Append(s_nodeDb, {Insert("z")}, GetSystemTimeSeconds()));
    OldestPendingMap oldest;
    spool->OldestPending(&oldest);
    EXPECT_LT(oldest[s_nodeDb], GetSystemTimeSeconds() - 900);
    spool->SetCutPassAfter(0);
    spool->SubmitPending();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"same", "landed", "lost", "same", "same", "x", "y", "z"}));
    oldest.clear();
    spool->OldestPending(&oldest);
    EXPECT_EQ(oldest.count(s_nodeDb), 0u);
    spool->UnInit();
    spool->SetPassPeriod(CSqlSpool::kPassPeriodMs);
    ASSERT_TRUE(spool->Init());
    EXPECT_EQ(spool->PendingCount(), 0u);
    EXPECT_EQ(GetFileAttributesA(CSqlSpool::PassPath(s_nodeDb).c_str()), INVALID_FILE_ATTRIBUTES);
}

// A cache that cannot be sent is bounded in statements and in bytes: past its
// bound it goes to the spool file (and from there to MySQL, in order), or, for
// a writer that never learnt its database, is dropped with its count logged.
TEST_F(SqlOutageTest, CachePastItsBoundLeavesMemory) {
    testdb::ExecIn(s_nodeDb, "delete from alarm_log");
    // Bounds (statements, MiB), database known, alarms, their prefix, most the cache may hold (long ones > 460 B).
    for (auto [statements, mib, named, count, prefix, most] :
         {std::tuple{"1000000", "1", false, 3000, std::string(400, 'p'), size_t{(1u << 20) / 460}},
          {"50", "8", true, 60, std::string("bound"), size_t{50}}}) {
        testintake::SetKey("ZelkAdv.conf", "SqlCache", "MaxCacheStatements", statements);
        testintake::SetKey("ZelkAdv.conf", "SqlCache", "MaxCacheSize", mib);
        testintake::SetKey("Zelk.conf", "DatabaseConfig", "DBServer", "127.0.0.2");  // MySQL out of reach
        const loss::Counter counter = named ? loss::SPOOL_WRITTEN : loss::DROP_NO_DATABASE;
        const std::uint64_t before = loss::Get(counter);
        CFinalLogWriter writer;
        ASSERT_EQ(writer.Init(), 1);
        if (named) writer.SetDbName(s_nodeDb.c_str());
        const std::string alarms = testpkt::Alarms(m_id, prefix, count);
        size_t held = 0;
        const std::int64_t first = GetSystemTimeSeconds();
        for (int i = 0; i < count; ++i) {
            writer.WriteLog(1, reinterpret_cast<const packet::AlarmRecord*>(&alarms[i * packet::kAlarmSize]), nullptr);
            held = std::max(held, writer.PendingStatements(CFinalLogWriter::CACHE_ALARM_LOG));
            if (i == 0) TestClock::AdvanceLocalTime(1000);
        }
        // The spool took the full cache's time with its statements; the
        // cache counts again from its next statement.
        OldestPendingMap spooled, cached;
        CSqlSpool::GetInstance()->OldestPending(&spooled);
        CFinalLogWriter::OldestPending(&cached);
        if (named) {
            EXPECT_LE(spooled[s_nodeDb], first + 5);
            EXPECT_GE(cached[s_nodeDb], first + 1000);
        }
        const size_t moved = count - writer.PendingStatements(CFinalLogWriter::CACHE_ALARM_LOG);
        EXPECT_LE(held, most);
        EXPECT_EQ(loss::Get(counter) - before, moved);  // spooled, or dropped and counted
        testintake::SetKey("Zelk.conf", "DatabaseConfig", "DBServer", testdb::GetServer().host);
        EXPECT_TRUE(testenv::WaitFor([&, n = named] { return Messages().size() == (n ? moved : 0); }, 20000));
        writer.FlushSqlCaches(true);  // the rest goes after what was spooled
        EXPECT_EQ(Messages(), named ? Expected({{prefix, count}}) : std::vector<std::string>{});
        // Submitted: nothing of the database waits any more.
        for (auto* read : {+[](OldestPendingMap* m) { CFinalLogWriter::OldestPending(m); },
                           +[](OldestPendingMap* m) { CSqlSpool::GetInstance()->OldestPending(m); }}) {
            OldestPendingMap oldest;
            read(&oldest);
            EXPECT_EQ(oldest.count(s_nodeDb), 0u);
        }
        writer.OnQuit();
        writer.UnInit();
    }
    testintake::SetKey("ZelkAdv.conf", "SqlCache", "MaxCacheStatements", "10000");
    testintake::SetKey("ZelkAdv.conf", "SqlCache", "MaxCacheSize", "8");
}

}  // namespace
