#include "db/SQLConnManager.h"
#include "db/SqlText.h"

#include "core/RunMode.h"
#include "support/FakeServiceControl.h"
#include "support/Prelude.h"

namespace {

class SQLConnManagerTest : public testenv::LogTest {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_main = testdb::UniqueName("pool");
        testdb::CreateDatabase(s_main, "main.sql");
    }
    static void TearDownTestSuite() { testdb::DropDatabase(s_main); }

    void SetUp() override {
        LogTest::SetUp();
        testdb::ConfigureService(s_main);
        Pool().SetRetryDelay(10);
        ASSERT_TRUE(Pool().Init());
    }
    void TearDown() override {
        Pool().UnInit();
        SetServiceControl(nullptr);
        SetRunMode(false, false);
        TestClock::Reset();
    }
    static CSQLConnManager& Pool() { return *CSQLConnManager::GetInstance(); }

    static inline std::string s_main;
};

TEST_F(SQLConnManagerTest, ConnectionsAreTrackedUntilReleased) {
    const size_t before = Pool().ConnectionCount();
    MYSQL* a = Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS);
    MYSQL* b = Pool().AllocSqlConn(s_main.c_str(), CLIENT_LOCAL_FILES);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);  // every call opens its own connection
    EXPECT_EQ(Pool().ConnectionCount(), before + 2);
    EXPECT_EQ(mysql_query(a, "select count(*) from dev_node"), 0);
    MYSQL_RES* r = mysql_store_result(a);
    ASSERT_NE(r, nullptr);
    mysql_free_result(r);
    // A later statement of a multi-statement text that fails fails the text.
    EXPECT_TRUE(ExecuteSql(a, "select 1; select count(*) from dev_node"));
    EXPECT_FALSE(ExecuteSql(a, "select 1; select * from no_such_table; select 2"));
    EXPECT_TRUE(ExecuteSql(a, "select 1"));  // the connection is usable again
    Pool().ReleaseSqlConn(a);
    Pool().ReleaseSqlConn(b);
    EXPECT_EQ(Pool().ConnectionCount(), before);
    EXPECT_FALSE(Logged("[WARN]"));
    Pool().ReleaseSqlConn(testdb::Connect(s_main));  // not the pool's own: reported and closed
    EXPECT_TRUE(Logged("[ReleaseSqlConn] Specify SqlConn Cannot Be Found In SqlManager\n"));
}

// A LOAD DATA LOCAL request may read only the file an import names, on an
// import connection while that import runs; each refusal is logged once and
// leaves the connection usable.
TEST_F(SQLConnManagerTest, LocalInfileReadsOnlyTheFileBeingImported) {
    const std::string allowed = testenv::InstallDir() + "/Zelk/Temp/infile.txt";
    testenv::WriteFile(allowed, "one\ntwo\n");
    testdb::ExecIn(s_main, "drop table if exists infile_t; create table infile_t (line varchar(250))");
    MYSQL* import = Pool().AllocSqlConn(s_main.c_str(), CLIENT_LOCAL_FILES);
    MYSQL* plain = Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS);
    ASSERT_NE(import, nullptr);
    ASSERT_NE(plain, nullptr);
    const struct {
        MYSQL* connection;
        bool importing;
        std::string path;
        bool loads;
        bool logged;
    } cases[] = {
        {import, true, allowed, true, false},
        {import, true, "/etc/passwd", false, true},
        {import, true, testenv::InstallDir() + "/Zelk/Temp/./infile.txt", false, true},  // same file, other name
        {import, false, allowed, false, true},
        {plain, true, allowed, false, false},  // refused before any file is named
        {plain, false, "/etc/passwd", false, false},
    };
    size_t refusals = 0;
    for (const auto& c : cases) {
        std::optional<CLocalInfileScope> scope;
        if (c.importing) scope.emplace(c.connection, allowed);
        EXPECT_EQ(ExecuteSql(c.connection, "load data local infile '" + c.path + "' into table infile_t"), c.loads)
            << c.path;
        EXPECT_TRUE(ExecuteSql(c.connection, "select 1")) << c.path;
        refusals += c.logged ? 1 : 0;
        EXPECT_EQ(LogCount("[LocalInfileInit] Server Asked To Read File = "), refusals) << c.path;
    }
    EXPECT_EQ(testdb::ScalarIn(s_main, "select count(*) from infile_t"), "2");
    Pool().ReleaseSqlConn(import);
    Pool().ReleaseSqlConn(plain);
}

// The holder of a connection reconnects itself: a killed session stays dead
// instead of coming back without its session settings. Only GBK sessions are
// handed out, as the server sees them, and with DBSslMode a server without
// TLS is refused.
TEST_F(SQLConnManagerTest, KilledSessionsStayDeadAndOnlyGbkOrTlsSessionsAreHandedOut) {
    MYSQL* c = Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS);
    ASSERT_NE(c, nullptr);
    testdb::ExecIn("", "kill " + std::to_string(mysql_thread_id(c)));
    ASSERT_TRUE(testenv::WaitFor([c] { return !ExecuteSql(c, "select 1"); }, 5000));
    EXPECT_FALSE(ExecuteSql(c, "select 1"));
    Pool().ReleaseSqlConn(c);

    MYSQL* own = testdb::Connect(s_main);
    std::string found;
    EXPECT_TRUE(CSQLConnManager::IsGbkConnection(own, &found)) << found;
    testdb::Exec(own, "set character_set_results = latin1");  // the library still believes in GBK
    EXPECT_FALSE(CSQLConnManager::IsGbkConnection(own, &found));
    EXPECT_EQ(found, "latin1");
    testdb::Close(own);

    testintake::SetKey("Zelk.conf", "DatabaseConfig", "DBSslMode", "1");
    EXPECT_EQ(Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    testintake::SetKey("Zelk.conf", "DatabaseConfig", "DBSslMode", "0");
    EXPECT_EQ(LogCount("Errno = 2026 , ErrStr = "), 3u) << LogText();
}

TEST_F(SQLConnManagerTest, WrongPasswordGivesThreeLoggedAttemptsAndNull) {
    testdb::ConfigureService(s_main, "not-the-password");
    const size_t before = Pool().ConnectionCount();
    EXPECT_EQ(Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    EXPECT_EQ(Pool().ConnectionCount(), before);
    const std::string line = "[CSQLConnManager][AllocSqlConn] Cannot Connect MySQL " + testdb::GetServer().host + ":" +
                             std::to_string(testdb::GetServer().port) + " DbName = " + s_main + " , User = " +
                             testdb::GetServer().user + " , PW = ****** , Errno = 1045 , ErrStr = ";
    EXPECT_EQ(LogCount(line), 3u) << LogText();
    EXPECT_FALSE(Logged("not-the-password")) << "the password reached the log";
}

// Connection attempts to a server that refuses hold up only their caller:
// another thread gives a connection back meanwhile. A stopping service makes
// one attempt only.
TEST_F(SQLConnManagerTest, FailingConnectsHoldUpOnlyTheirCaller) {
    MYSQL* good = Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS);
    ASSERT_NE(good, nullptr);
    testdb::ConfigureService(s_main, "not-the-password");
    Pool().SetRetryDelay(1000);
    std::atomic<bool> failed{false};
    std::thread caller([&] {
        EXPECT_EQ(Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
        failed.store(true);
    });
    ASSERT_TRUE(WaitForLog("Errno = 1045", 5000));
    Pool().ReleaseSqlConn(good);
    EXPECT_FALSE(failed.load()) << "the release waited for the other thread's connection attempts";
    caller.join();

    m_log = testenv::UseFreshLogDay();
    SetExitEvent();
    EXPECT_EQ(Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS), nullptr);
    ResetEvent(GetExitEvent());
    EXPECT_EQ(LogCount("Errno = 1045"), 1u) << LogText();
}

TEST_F(SQLConnManagerTest, ConnectionOfAnEndedThreadIsReclaimed) {
    const size_t before = Pool().ConnectionCount();
    MYSQL* leaked = nullptr;
    std::thread worker([&] {
        CSQLConnManager::ThreadInit();
        leaked = Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS);
        CSQLConnManager::ThreadEnd();
    });
    worker.join();
    ASSERT_NE(leaked, nullptr);
    MYSQL* mine = Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS);
    EXPECT_EQ(Pool().ConnectionCount(), before + 2);

    EXPECT_TRUE(Pool().MysqlConnCleanUp());
    EXPECT_EQ(Pool().ConnectionCount(), before + 1);  // only the ended thread's connection went
    EXPECT_EQ(LogCount("[MysqlConnCleanUp] Release A MySql Connection!\n"), 1u);

    Pool().ReleaseSqlConn(leaked);  // already reclaimed: reported, not freed twice
    EXPECT_TRUE(Logged("Cannot Be Found In SqlManager"));
    Pool().ReleaseSqlConn(mine);
    EXPECT_EQ(Pool().ConnectionCount(), before);
}

TEST_F(SQLConnManagerTest, MonitorReclaimsAndKeepsTheServiceRunning) {
    CFakeServiceControl fake;
    fake.running = false;
    SetServiceControl(&fake);
    Pool().SetMonitorPeriod(50);
    ASSERT_TRUE(Pool().StartMonitor());
    std::thread worker([&] { Pool().AllocSqlConn(s_main.c_str(), CLIENT_MULTI_STATEMENTS); });
    worker.join();
    ASSERT_TRUE(WaitForLog("[MysqlConnCleanUp] Release A MySql Connection!", 5000));
    EXPECT_TRUE(Logged("[MySqlMonitor] Thread Start...\n"));
    EXPECT_TRUE(Logged("[MakeMySqlOK] Start MySql Service Succeed.\n"));
    EXPECT_TRUE(Logged("[MySqlMonitor] MySQL Is OK.\n"));
    Pool().UnInit();
    Pool().SetMonitorPeriod(CSQLConnManager::kMonitorPeriodMs);
    EXPECT_TRUE(Logged("[MySqlMonitor] Thread Exit WaitRet = 1\n"));
    ASSERT_GE(fake.calls.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(fake.calls.begin(), fake.calls.begin() + 4),
              (std::vector<std::string>{"connect", "open mariadb.service", "query mariadb.service",
                                        "start mariadb.service"}));
    ASSERT_TRUE(Pool().Init());
}

TEST_F(SQLConnManagerTest, MakeMySqlOKReportsEachFailingStep) {
    CFakeServiceControl fake;
    SetServiceControl(&fake);
    EXPECT_TRUE(Pool().MakeMySqlOK());  // running: nothing started
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "start mariadb.service"), 0);

    // Each failing step is reported with its own line and error.
    DWORD* steps[] = {&fake.connectError, &fake.openError, &fake.queryError};
    const char* lines[] = {"Cannot Open SCManager Err = 5\n", "Cannot Open Service Err = 5\n",
                           "Cannot QueryServiceStatus  Err = 5\n"};
    for (int i = 0; i < 3; ++i) {
        *steps[i] = 5;
        EXPECT_FALSE(Pool().MakeMySqlOK());
        *steps[i] = 0;
        EXPECT_TRUE(Logged(std::string("[MakeMySqlOK] ") + lines[i])) << lines[i];
    }

    // A refused start (a service user without the right) is reported once,
    // with what to do, until a start succeeds; then it is news again.
    fake.running = false;
    fake.startError = ERROR_ACCESS_DENIED;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(Pool().MakeMySqlOK());
        EXPECT_EQ(LogCount("[MakeMySqlOK] Cannot StartService  Err = 5\n"), round + 1u);
        EXPECT_EQ(LogCount("May Not Start mariadb.service; Start It Yourself Or Allow It With A polkit Rule"), round + 1u);
        fake.startError = 0;
        EXPECT_TRUE(Pool().MakeMySqlOK());
        fake.running = false;
        fake.startError = ERROR_ACCESS_DENIED;
    }
    fake.startError = 0;
    EXPECT_TRUE(Pool().MakeMySqlOK());
}

TEST_F(SQLConnManagerTest, ServiceModeChecksTheServiceAtInit) {
    Pool().UnInit();
    CFakeServiceControl fake;
    fake.running = false;
    fake.startError = 5;
    SetServiceControl(&fake);
    SetRunMode(true, false);
    EXPECT_FALSE(Pool().Init());  // the service could not be started
    EXPECT_FALSE(Pool().IsInitialised());
    Pool().UnInit();
    SetRunMode(false, true);  // console mode: no check, no monitor
    fake.calls.clear();
    ASSERT_TRUE(Pool().Init());
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
