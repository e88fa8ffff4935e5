// The data file manager and its importers against the test MariaDB: user
// logs of two node connections sharing one database through the real intake
// (written to data files while connected, rotated and loaded by the nodes'
// import tasks, the files released at the end of the connections loaded
// afterwards: every log becomes one row); which load path a file takes, what a
// failing file leaves behind, the start-up import's delay, concurrent
// importers and rotation. Then the data file as its writers and its manager
// see it: the bytes that end up in the file in asynchronous mode (the
// synchronous default is what every other writer test uses); the modes of
// what it makes.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "config/ConfigMonitorTask.h"
#include "core/LossAccounting.h"
#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "datafile/LoadDataTask.h"
#include "platform/AsyncFile.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "support/IntakeTest.h"
#include "writers/SqlSpool.h"

namespace {

constexpr const char* kNodes[2] = {"11112222333344445555666677778888", "8888777766665555444433332222aaaa"};

std::string Logs(const BYTE id[16], const std::string& prefix, int count) {
    std::string stream;
    for (int i = 0; i < count; ++i) stream += testpkt::UserV1(id, 1, "alice", prefix + std::to_string(i));
    return stream + testpkt::KeepAlive(id);  // its reply: every log before it was handled
}

TEST(DataFileIntakeTest, TwoNodesSharingADatabaseLoadEveryLogOnceWhileConnectedAndAfterLeaving) {
    testintake::Service service;
    service.Open("dfi", kNodes[0], kNodes[1]);
    const std::string log = testenv::UseFreshLogDay();
    int peers[2];
    BYTE ids[2][16];
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(DecodeHex16(kNodes[n], ids[n]));
        peers[n] = testintake::SyncedPeer(service.port, ids[n]);
    }
    auto send = [&](const std::string& round, int count) {
        for (int n = 0; n < 2; ++n) {
            ASSERT_TRUE(testnet::SendAll(peers[n], Logs(ids[n], round + std::to_string(n) + "-", count)));
        }
        for (int n = 0; n < 2; ++n) {
            ASSERT_EQ(testnet::ReceiveExactly(peers[n], packet::kKeepAliveReplySize, 20000).size(),
                      size_t{packet::kKeepAliveReplySize});
        }
    };
    auto rows = [&] {
        return testdb::ScalarIn(service.nodeDb, "select concat(count(*), ',', count(distinct message)) from usrbasiclog");
    };
    send("a", 500);
    EXPECT_EQ(rows(), "0,0") << "a data file is loaded only once it is switched out";
    testintake::RotateDataFiles();
    EXPECT_TRUE(testenv::WaitFor([&] { return rows() == "1000,1000"; }, 20000)) << rows();
    EXPECT_EQ(testenv::CountOccurrences(testenv::ReadFile(log), "[Run] LoadDataTask For DB = " + service.nodeDb +
                                                                   " Start...\n"),
              2u);

    send("b", 300);
    for (int& peer : peers) testnet::Close(peer);
    EXPECT_TRUE(testenv::WaitFor([&] { return rows() == "1600,1600"; }, 20000)) << rows();
    TestClock::Reset();
    service.Close();
}

constexpr char kNodeMd5[] = "0123456789abcdef0123456789abcdef";
constexpr DWORD kMiB = 1024 * 1024;

std::string Quoted(const std::string& field) { return "\"" + field + "\""; }

std::string FlowLine(int id) {
    return Quoted(std::to_string(id)) + "\t\"7\"\t\"3232235777\"\t\"10\"\t\"100\"\t\"200\"\t\"300\"\t\"400\"\t" +
           "\"2024-05-01 10:00:00\"\t\"167772161\"\t\"443\"\r\n";
}

std::string BasicLine(int id, const std::string& message) {
    return Quoted(std::to_string(id)) + "\t\"7\"\t\"alice\"\t\"10\"\t\"1\"\t\"0\"\t\"167772161\"\t" + Quoted(message) +
           "\t\"0\"\t\"2024-05-01 10:00:00\"\t\"0\"\t\"0\"\r\n";
}

// usrbasiclog lines of exactly size bytes; *lines receives their number.
std::string BasicFileOfSize(size_t size, int* lines) {
    std::string content;
    for (int id = 1;; ++id) {
        const size_t rest = size - content.size() - BasicLine(id, "").size();
        *lines = id;
        if (rest <= 1000) return content + BasicLine(id, std::string(rest, 'm'));
        content += BasicLine(id, std::string(900, 'm'));
    }
}

size_t Count(const std::string& text, const std::string& part) { return testenv::CountOccurrences(text, part); }

class DataFileManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_main = testdb::UniqueName("dfm_main");
        s_node = testdb::UniqueName("dfm_node");
        testenv::UseFreshLogDay();
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::RegisterNode(s_main, "dfm-node", kNodeMd5, s_node);
        testdb::ConfigureService(s_main);
    }
    static void TearDownTestSuite() { testdb::DropDatabase(s_main); }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        testdb::CreateDatabase(s_node, "node.sql");
        testintake::SetKey("ZelkAdv.conf", "DataFile", "NoTempTableDataFileSize", "1");
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        CSQLConnManager::GetInstance()->SetRetryDelay(1);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        CTaskManager::GetInstance()->SetReaperPeriod(100);
        ASSERT_TRUE(CTaskManager::GetInstance()->Init());
        ASSERT_EQ(CGlobalSharedData::GetInstance()->GetDabaBaseNodeInfo(), 1);
        Manager()->SetSwitchPeriod(20);
        Manager()->SetNodeListReadyCheck([this] { return m_nodeListReady.load(); });
        Manager()->SetStartImportDelay(CDataFileManager::kStartImportDelayMs);
        Manager()->SetWaitingImportPeriod(CDataFileManager::kWaitingImportPeriodMs);
    }
    void TearDown() override {
        for (CLoadDataTask* task : m_tasks) {
            task->Stop();
            EXPECT_EQ(CTaskManager::GetInstance()->WaitForSingleTask(task, 20000), WAIT_OBJECT_0);
            CTaskManager::GetInstance()->DetachTask(task);
            CTaskManager::GetInstance()->DeleteWhenEnded(task);
        }
        Manager()->UnInit();
        Manager()->SetNodeListReadyCheck({});
        testintake::SetKey("ZelkAdv.conf", "DataFile", "NoTempTableDataFileSize", "10");
        testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileUseTime", "10");
        CTaskManager::GetInstance()->UnInit();
        CSQLConnManager::GetInstance()->UnInit();
        std::filesystem::remove_all(DbDir(s_node));
        std::filesystem::remove_all(DbDir(testdb::UniqueName("dfm_nonode")));
        testdb::DropDatabase(s_node);
    }

    static CDataFileManager* Manager() { return CDataFileManager::GetInstance(); }
    static std::string DbDir(const std::string& db) { return CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + db; }
    // Writes a data file into the table's directory; queued when asked.
    std::string WriteDataFile(const std::string& db, const std::string& table, const std::string& name,
                              const std::string& content, bool queue = true) {
        std::filesystem::create_directories(DbDir(db) + "/" + table);
        const std::string path = DbDir(db) + "/" + table + "/" + name;
        testenv::WriteFile(path, content);
        if (queue) {
            EXPECT_TRUE(Manager()->SubmitToImportList(db, table, path));
        }
        return path;
    }
    CLoadDataTask* StartTask() {
        auto* task = new CLoadDataTask();
        task->SetDBName(s_node);
        task->SetPassPeriod(10);
        EXPECT_TRUE(CTaskManager::GetInstance()->AddTask(task));
        m_tasks.push_back(task);
        return task;
    }
    std::string Rows(const std::string& table) { return testdb::ScalarIn(s_node, "select count(*) from " + table); }
    std::string Log() { return testenv::ReadFile(m_log); }

    static inline std::string s_main, s_node;
    std::string m_log;
    std::atomic<bool> m_nodeListReady{false};
    std::vector<CLoadDataTask*> m_tasks;
};

TEST_F(DataFileManagerTest, TaskLoadsUpToTheLimitThroughTheTemporaryTableAndDeletesEmptyFiles) {
    ASSERT_TRUE(Manager()->Init());
    int smallRows = 0, largeRows = 0;
    const std::string small = WriteDataFile(s_node, "usrbasiclog", "a.dat", BasicFileOfSize(kMiB, &smallRows));
    const std::string large = WriteDataFile(s_node, "usrbasiclog", "b.dat", BasicFileOfSize(2 * kMiB, &largeRows));
    const std::string quoted = WriteDataFile(s_node, "usrflowlog", "it's\\odd.dat", FlowLine(1) + FlowLine(2));
    const std::string empty = WriteDataFile(s_node, "usrflowlog", "empty.dat", "");
    const std::string sys = WriteDataFile(s_node, "syslog", "c.dat",
                                          "\"2\"\t\"17\"\t\"disk \\\"full\\\"\"\t\"2024-05-01 10:00:00\"\r\n");
    StartTask();
    ASSERT_TRUE(testenv::WaitFor([] { return Manager()->ImportListSize() == 0; }, 20000));

    EXPECT_EQ(Rows("usrbasiclog"), std::to_string(smallRows + largeRows));
    const std::string log = Log();
    EXPECT_EQ(Count(log, "[DoImportDataFileWithTempTable] Import Succeed. Data File = " + small + "\n"), 1u);
    EXPECT_EQ(Count(log, "[DoImportDataFileWithOutTempTable] Import Succeed. Data File = " + large + "\n"), 1u);
    EXPECT_EQ(Count(log, "[ImportDataFile] FileSize = 0 , FileName = " + empty + "\n"), 1u);
    EXPECT_EQ(Count(log, "Prepare To Import Data File = " + empty), 0u);
    EXPECT_EQ(testdb::ScalarIn(s_node, "select concat(user_id, ',', svr_ip, ',', dw_flux, ',', raw_up_flux, ',', "
                                       "log_time, ',', svr_port) from usrflowlog where record_id = 2"),
              "7,3232235777,100,400,2024-05-01 10:00:00,443");
    EXPECT_EQ(testdb::ScalarIn(s_node, "select concat(id > 0, ',', lev, ',', process, ',', message) from syslog"),
              "1,2,17,disk \"full\"");
    for (const std::string& path : {small, large, quoted, empty, sys}) EXPECT_FALSE(testenv::FileExists(path)) << path;
}

TEST_F(DataFileManagerTest, FailingFilesAreRepairedTriedThriceAndAllGivenBackAfterThePass) {
    ASSERT_TRUE(Manager()->Init());
    testdb::ExecIn(s_node, "rename table usrsvrlog to usrsvrlog_away");
    const std::string bad1 = WriteDataFile(s_node, "usrsvrlog", "a.dat", "\"1\"\t\"2\"\r\n");
    const std::string good = WriteDataFile(s_node, "usrflowlog", "b.dat", FlowLine(5));
    const std::string bad2 = WriteDataFile(s_node, "usrsvrlog", "c.dat", "\"3\"\t\"4\"\r\n");
    CLoadDataTask* task = StartTask();
    ASSERT_TRUE(testenv::WaitFor([this] { return Rows("usrflowlog") == "1"; }, 20000));
    ASSERT_TRUE(testenv::WaitFor([this] { return Count(Log(), "[Run] No DataFile Need Import.") > 0; }, 20000));
    task->Stop();
    ASSERT_EQ(CTaskManager::GetInstance()->WaitForSingleTask(task, 20000), WAIT_OBJECT_0);

    const std::string log = Log();
    for (const std::string& bad : {bad1, bad2}) {
        const size_t tries = Count(log, "[DoImportDataFileWithTempTable] Prepare To Import Data File = " + bad + "\n");
        EXPECT_GE(tries, 3u);
        EXPECT_EQ(tries % 3, 0u) << "three attempts per pass, never a retry within the pass";
        EXPECT_TRUE(testenv::FileExists(bad));
    }
    EXPECT_GE(Count(log, "[SimpleRepairTable] Prepare To Repair Table usrsvrlog ...\n"), 3u);
    EXPECT_FALSE(testenv::FileExists(good));
    // Both failed files are waiting again, neither left claimed.
    std::string db = s_node, table, path1, path2;
    ASSERT_TRUE(Manager()->GetImportInfo(&db, &path1, &table));
    ASSERT_TRUE(Manager()->GetImportInfo(&db, &path2, &table));
    EXPECT_EQ(path1, bad1);
    EXPECT_EQ(path2, bad2);
    EXPECT_FALSE(Manager()->GetImportInfo(&db, &path1, &table));
}

// Files left by a killed process: found at the next start (a torn last line
// cut, a marker without its file tidied away) and imported after the delay.
TEST_F(DataFileManagerTest, StartUpImportWaitsForTheDelayAndTheNodeListAndSkipsUnknownDatabases) {
    const std::string torn = "\"3\"\t\"7\"\t\"32";
    const std::string mine =
        WriteDataFile(s_node, "usrflowlog", "DataFile_1.dat", FlowLine(1) + FlowLine(2) + torn, false);
    const std::string stale = WriteDataFile(s_node, "usrflowlog", "DataFile_0.dat.loading", "0\n", false);
    const std::string nonode = testdb::UniqueName("dfm_nonode");
    const std::string other = WriteDataFile(nonode, "usrflowlog", "DataFile_2.dat", FlowLine(3), false);
    Manager()->SetWaitingImportPeriod(600000);
    TestClock::AdvanceLocalTime(1000);  // a file found at the start counts from its modification
    ASSERT_TRUE(Manager()->Init());
    ASSERT_TRUE(testenv::WaitFor([this] { return Count(Log(), "[DoImportOnStart] DataFile Will Import In 60000 ms\n") > 0; },
                                 5000));
    EXPECT_EQ(Count(Log(), "[DataFileScanThread] Find Data File = " + mine + "\n"), 1u);
    EXPECT_EQ(Count(Log(), "[DataFileScanThread] Find Data File = " + other + "\n"), 1u);
    EXPECT_EQ(Count(Log(), "Data File = " + mine + " Ended With An Incomplete Line , " + std::to_string(torn.size()) +
                               " Byte(s) Dropped\n"),
              1u);
    EXPECT_FALSE(testenv::FileExists(stale));

    TestClock::AdvanceTicks(59000);  // not yet 60 s
    EXPECT_FALSE(testenv::WaitFor([&] { return !testenv::FileExists(mine); }, 300));
    TestClock::AdvanceTicks(2000);  // 60 s passed, but the node list is not loaded
    EXPECT_FALSE(testenv::WaitFor([&] { return !testenv::FileExists(mine); }, 300));
    EXPECT_EQ(Rows("usrflowlog"), "0");

    m_nodeListReady = true;
    TestClock::AdvanceTicks(61000);  // the next full delay
    ASSERT_TRUE(testenv::WaitFor([&] { return !testenv::FileExists(mine); }, 20000));
    // The marker goes right after its file.
    EXPECT_TRUE(testenv::WaitFor([&] { return !testenv::FileExists(CDataFileManager::MarkerPath(mine)); }, 5000));
    EXPECT_EQ(Rows("usrflowlog"), "2");
    EXPECT_TRUE(testenv::FileExists(other));
    EXPECT_EQ(Manager()->ImportListSize(), 1u);
    OldestPendingMap oldest;
    Manager()->OldestPending(&oldest);
    EXPECT_EQ(oldest.size(), 1u);
    EXPECT_LE(oldest[nonode], GetSystemTimeSeconds() - 1000);

    // Later passes load the files a node released after its task ended: a
    // file joining the list starts one at once, long before the period.
    const std::string late = WriteDataFile(s_node, "usrflowlog", "DataFile_3.dat", FlowLine(4));
    ASSERT_TRUE(testenv::WaitFor([&] { return !testenv::FileExists(late); }, 20000));
    EXPECT_EQ(Rows("usrflowlog"), "3");
}

// A load cut short (a kill, or an error part-way) leaves part of a file's
// rows in the table; loading the file again stores each line exactly once.
TEST_F(DataFileManagerTest, LoadsAfterAnInterruptedOneStoreEveryLineOnce) {
    testintake::SetKey("ZelkAdv.conf", "DataFile", "NoTempTableDataFileSize", "0");  // always straight
    ASSERT_TRUE(Manager()->Init());
    // A kill during the load of a file: its marker and its first two rows
    // are there; syslog rows count from the id in the marker.
    testdb::ExecIn(s_node, "insert into syslog(lev,process,message,log_time) values (1,2,'same','2024-05-01 10:00:00')");
    const std::string floor = testdb::ScalarIn(s_node, "select max(id) from syslog");
    testdb::ExecIn(s_node, "insert into syslog(lev,process,message,log_time) values (1,2,'same','2024-05-01 10:00:00')");
    std::string flows;
    for (int i = 1; i <= 4; ++i) flows += FlowLine(i);
    testdb::ExecIn(s_node, "insert into usrflowlog(record_id,log_time) values (1,'2024-05-01 10:00:00'),"
                           "(2,'2024-05-01 10:00:00')");
    const std::string killed = WriteDataFile(s_node, "usrflowlog", "k.dat", flows);
    testenv::WriteFile(CDataFileManager::MarkerPath(killed), "0\n");
    const std::string sys = WriteDataFile(s_node, "syslog", "s.dat",
                                          "\"1\"\t\"2\"\t\"same\"\t\"2024-05-01 10:00:00\"\r\n"
                                          "\"1\"\t\"2\"\t\"next\"\t\"2024-05-01 10:00:00\"\r\n");
    testenv::WriteFile(CDataFileManager::MarkerPath(sys), floor + "\n");
    // A straight load stopped part-way by the server after storing some rows.
    constexpr int kLines = 300000;
    std::string big;
    big.reserve(kLines * 110);
    for (int i = 0; i < kLines; ++i) big += FlowLine(1000 + i);
    const std::string partial = WriteDataFile(s_node, "usrflowlog", "p.dat", big);
    std::thread killer([&] {
        std::unique_ptr<MYSQL, decltype(&mysql_close)> c(testdb::Connect(s_node), mysql_close);
        for (int tries = 0; tries < 4000; ++tries) {
            const auto rows = testdb::Query(c.get(), "select id from information_schema.processlist where info like "
                                                     "'load data local infile %p.dat%'");
            if (!rows.empty() && rows[0][0]) {
                Sleep(50);
                testdb::Query(c.get(), "kill query " + *rows[0][0]);
                return;
            }
            Sleep(5);
        }
    });
    StartTask();
    ASSERT_TRUE(testenv::WaitFor([] { return Manager()->ImportListSize() == 0; }, 20000));

    killer.join();

    EXPECT_EQ(testdb::ScalarIn(s_node, "select group_concat(record_id order by record_id) from usrflowlog where "
                                       "record_id < 1000"),
              "1,2,3,4");
    EXPECT_EQ(testdb::ScalarIn(s_node, "select concat(count(*), ',', count(distinct record_id)) from usrflowlog "
                                       "where record_id >= 1000"),
              std::to_string(kLines) + "," + std::to_string(kLines));
    EXPECT_EQ(testdb::ScalarIn(s_node, "select group_concat(message order by id) from syslog"), "same,same,next");
    const std::string log = Log();
    EXPECT_EQ(Count(log, "[DoImportDataFileWithOutTempTable] Cannot Load Data To Temporary Table Err = 1317"), 1u);
    EXPECT_EQ(Count(log, "[DoImportDataFileWithTempTable] Import Succeed. Data File = " + partial + "\n"), 1u);
    for (const std::string& path : {killed, sys, partial}) {
        EXPECT_FALSE(testenv::FileExists(path)) << path;
        EXPECT_FALSE(testenv::FileExists(CDataFileManager::MarkerPath(path))) << path;
    }
}

TEST_F(DataFileManagerTest, TwoTasksAndTheStartUpImportLoadEveryFileExactlyOnce) {
    m_nodeListReady = true;
    ASSERT_TRUE(Manager()->Init());
    constexpr int kFiles = 30, kLinesPerFile = 4;
    for (int f = 0; f < kFiles; ++f) {
        std::string content;
        for (int i = 0; i < kLinesPerFile; ++i) content += FlowLine(f * kLinesPerFile + i + 1);
        WriteDataFile(s_node, "usrflowlog", "f" + std::to_string(100 + f) + ".dat", content);
    }
    StartTask();
    StartTask();
    TestClock::AdvanceTicks(61000);  // lets the start-up import join in
    ASSERT_TRUE(testenv::WaitFor([] { return Manager()->ImportListSize() == 0; }, 30000));
    EXPECT_EQ(Rows("usrflowlog"), std::to_string(kFiles * kLinesPerFile));
    EXPECT_EQ(testdb::ScalarIn(s_node, "select count(distinct record_id) from usrflowlog"),
              std::to_string(kFiles * kLinesPerFile));
    EXPECT_TRUE(testenv::ListFiles(DbDir(s_node) + "/usrflowlog").empty());
}

TEST_F(DataFileManagerTest, ANameAnotherWriterTookIsSkippedNeverEmptied) {
    ASSERT_TRUE(Manager()->Init());
    ASSERT_TRUE(Manager()->MakeDirectoryOK(s_node.c_str(), "usrflowlog"));
    TestClock::SetLocalTime(SYSTEMTIME{2026, 1, 4, 1, 0, 0, 0, 0});
    CDataFileManager::SeedNameRandom(7);
    std::string probe;
    ASSERT_TRUE(Manager()->BuildDataFileName(&probe, s_node.c_str(), "usrflowlog"));
    // The same draw with the next counter gives the serial above the probe's:
    // a node sharing the database has a file under it (in either second).
    const unsigned serial = std::stoul(probe.substr(probe.rfind('_') + 1)) + 1;
    std::vector<std::string> taken;
    for (const char* second : {"000000", "000001"}) {
        char name[64];
        std::snprintf(name, sizeof(name), "DataFile_20260101_%s_%06u.dat", second, serial);
        taken.push_back(probe.substr(0, probe.rfind('/') + 1) + name);
        testenv::WriteFile(taken.back(), FlowLine(1));
    }
    CDataFileManager::SeedNameRandom(7);
    const DWORD id = Manager()->AllocDataFileID(s_node.c_str(), "usrflowlog");
    ASSERT_NE(id, 0u);
    const std::string own = Manager()->GetDataFileByID(id)->m_strFilePath;
    Manager()->ReleaseDataFileID(id);
    for (const std::string& path : taken) {
        EXPECT_EQ(testenv::ReadFile(path), FlowLine(1)) << path;
        EXPECT_NE(own, path);
        testenv::RemoveFile(path);
    }
}

// A table whose next file could not be made goes back to data files after a
// pause, not only when its node connects again.
TEST_F(DataFileManagerTest, AFileThatCouldNotBeMadeIsTriedAgainAfterAPause) {
    ASSERT_TRUE(Manager()->Init());
    const DWORD id = Manager()->AllocDataFileID(s_node.c_str(), "usrflowlog");
    CDataFile* file = Manager()->GetDataFileByID(id);
    ASSERT_NE(file, nullptr);
    // An immutable folder refuses new files even to root, as a full disk would.
    const std::string dir = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/" + s_node + "/usrflowlog";
    const auto immutable = [&](bool on) {
        return std::system(("chattr " + std::string(on ? "+i '" : "-i '") + dir + "' 2>/dev/null").c_str()) == 0;
    };
    if (!immutable(true)) GTEST_SKIP() << "chattr +i does not work here";
    const struct Thaw {
        std::function<bool(bool)> set;
        ~Thaw() { set(false); }
    } thaw{immutable};
    EXPECT_FALSE(Manager()->SwitchOutDataFile(file, true));
    const auto write = [&] {
        CDataFile* current = Manager()->GetDataFileByID(id);
        return current == nullptr ? 0u : current->Write(FlowLine(1).data(), static_cast<DWORD>(FlowLine(1).size()));
    };
    EXPECT_EQ(write(), 0u);
    ASSERT_TRUE(immutable(false));
    EXPECT_EQ(write(), 0u);  // not before the pause
    TestClock::AdvanceTicks(CDataFileManager::kRecreatePauseMs);
    EXPECT_EQ(write(), FlowLine(1).size());
    Manager()->ReleaseDataFileID(id);
    std::string db = s_node, table, path;
    while (Manager()->GetImportInfo(&db, &path, &table)) testenv::RemoveFile(path);
}

// A stop during a load ends it at once (KILL QUERY from another connection),
// without repair or retry; the file stays and a later load stores it once.
TEST_F(DataFileManagerTest, AStopEndsARunningLoadAndTheFileLoadsLaterOnce) {
    testdb::ExecIn(s_node, "delete from usrflowlog");
    ASSERT_TRUE(Manager()->Init());
    const std::string path = WriteDataFile(s_node, "usrflowlog", "held.dat", FlowLine(1) + FlowLine(2), false);
    MYSQL* lock = testdb::Connect(s_node);
    testdb::Exec(lock, "lock tables usrflowlog write");  // holds the load on the server
    const auto import = [&] {
        MYSQL* c = CSQLConnManager::GetInstance()->AllocSqlConn(s_node.c_str(), CLIENT_LOCAL_FILES);
        const bool ok = c != nullptr && Manager()->ImportDataFile(c, "usrflowlog", path.c_str(), true);
        CSQLConnManager::GetInstance()->ReleaseSqlConn(c);
        return ok;
    };
    std::atomic<int> result{-1};
    std::thread loader([&] { result = import() ? 1 : 0; });
    const std::string waiting = "select count(*) from information_schema.processlist where db = '" + s_node +
                                "' and state like '%lock%'";
    ASSERT_TRUE(testenv::WaitFor([&] { return testdb::Scalar(lock, waiting) != "0"; }, 10000));
    Manager()->UnInit();
    EXPECT_TRUE(testenv::WaitFor([&] { return result.load() != -1; }, 5000));
    testdb::Exec(lock, "unlock tables");
    testdb::Close(lock);
    loader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(Count(Log(), "[SimpleRepairTable] Prepare To Repair"), 0u);
    ASSERT_TRUE(testenv::FileExists(path));
    ASSERT_TRUE(Manager()->Init());
    EXPECT_TRUE(import());
    EXPECT_EQ(testdb::ScalarIn(s_node, "select count(*) from usrflowlog"), "2");
    testenv::RemoveFile(path);
}

// A long import pass says how far it got every 5 s: files done, files
// waiting and rows per second (a table lock makes the first load long).
TEST_F(DataFileManagerTest, ALongImportPassLogsItsProgress) {
    testdb::ExecIn(s_node, "delete from usrflowlog");
    ASSERT_TRUE(Manager()->Init());
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) {
        const std::string name = "p" + std::to_string(i) + ".dat";
        paths.push_back(WriteDataFile(s_node, "usrflowlog", name, FlowLine(2 * i) + FlowLine(2 * i + 1)));
    }
    MYSQL* lock = testdb::Connect(s_node);
    testdb::Exec(lock, "lock tables usrflowlog write");
    std::thread pass([] {
        CSQLConnManager::ThreadInit();
        Manager()->ImportWaitingFiles("[Progress]");
        CSQLConnManager::ThreadEnd();
    });
    const std::string waiting = "select count(*) from information_schema.processlist where db = '" + s_node +
                                "' and state like '%lock%'";
    EXPECT_TRUE(testenv::WaitFor([&] { return testdb::Scalar(lock, waiting) != "0"; }, 10000));
    TestClock::AdvanceTicks(6000);
    testdb::Exec(lock, "unlock tables");
    testdb::Close(lock);
    pass.join();
    EXPECT_EQ(Count(Log(), "[Progress] Import Progress: 1 File(s) Done , 2 Waiting , 2 Row(s) , "), 1u) << Log();
    EXPECT_EQ(testdb::ScalarIn(s_node, "select count(*) from usrflowlog"), "6");
}

TEST_F(DataFileManagerTest, SwitchThreadRotatesAFileAfterItsUseTimeAndQueuesIt) {
    testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileUseTime", "1");
    ASSERT_TRUE(Manager()->Init());
    ASSERT_TRUE(testenv::WaitFor([this] { return Count(Log(), "[DoImportOnStart] DataFile Will Import In") > 0; }, 5000));
    const DWORD id = Manager()->AllocDataFileID(s_node.c_str(), "usrflowlog");
    ASSERT_EQ(id, Manager()->AllocDataFileID(s_node.c_str(), "usrflowlog") - 1);
    Manager()->ReleaseDataFileID(id + 1);  // never written: queued empty
    CDataFile* file = Manager()->GetDataFileByID(id);
    ASSERT_NE(file, nullptr);
    const std::string first = file->m_strFilePath;
    const std::int64_t written = GetSystemTimeSeconds();
    ASSERT_EQ(file->Write(FlowLine(1).data(), static_cast<DWORD>(FlowLine(1).size())), FlowLine(1).size());
    // The time of the file's first line stays with it on the import list
    // (the empty released file has none).
    const auto oldest = [&] {
        OldestPendingMap times;
        Manager()->OldestPending(&times);
        return times.count(s_node) != 0 ? times[s_node] - written : -1;
    };
    EXPECT_LE(oldest(), 1);
    EXPECT_GE(oldest(), 0);
    TestClock::AdvanceLocalTime(1000);

    TestClock::AdvanceTicks(61000);
    ASSERT_TRUE(testenv::WaitFor(
        [&] { return Count(Log(), "[DataFileSwitchThread] Switch Out DataFile = " + first + "\n") == 1; }, 5000));
    EXPECT_EQ(testenv::ReadFile(first), FlowLine(1));
    std::string db = s_node, table, path;
    ASSERT_TRUE(Manager()->GetImportInfo(&db, &path, &table));  // the empty released file
    ASSERT_TRUE(Manager()->GetImportInfo(&db, &path, &table));
    EXPECT_EQ(path, first);
    EXPECT_EQ(table, "usrflowlog");

    // The writer's next access starts a new file under the same ID.
    file = Manager()->GetDataFileByID(id);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(file->m_strFilePath, first);
    EXPECT_LE(oldest(), 1);
    EXPECT_GE(oldest(), 0);
    Manager()->ReleaseDataFileID(id);
    EXPECT_EQ(Manager()->ImportListSize(), 3u);
}

constexpr DWORD kWaitMs = 10000;

// Tab-separated lines of random length, each naming its writer and number.
std::vector<std::string> MakeLines(int writer, int count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(0, 400);
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        std::string payload(static_cast<size_t>(length(random)), 'a');
        for (char& c : payload) c = static_cast<char>('a' + random() % 26);
        lines.push_back("w" + std::to_string(writer) + "\t" + std::to_string(i) + "\t" + payload + "\n");
    }
    return lines;
}

struct stat StatOf(const std::string& path) { struct stat st {}; return lstat(path.c_str(), &st), st; }

std::string Join(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& part : parts) all += part;
    return all;
}

class DataFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        testintake::SetKey("ZelkAdv.conf", "DataFile", "EnableAsyncWrite", "1");
    }
    void TearDown() override {
        AsyncFileTestHook::HoldWrites(false);
        testintake::SetKey("ZelkAdv.conf", "DataFile", "EnableAsyncWrite", "0");
        testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileUseTime", "10");
    }
    static std::string PathOf(const std::string& name) { return testenv::InstallDir() + "/" + name + ".dat"; }
    // Creates m_File at the named path; the test fails when it cannot.
    void Open(const std::string& name) {
        m_File.m_strFilePath = PathOf(name);
        std::remove(m_File.m_strFilePath.c_str());
        ASSERT_TRUE(m_File.Create());
    }
    DWORD Write(const std::string& text) { return m_File.Write(text.data(), static_cast<DWORD>(text.size())); }
    std::string Content() const { return testenv::ReadFile(m_File.m_strFilePath); }

    std::string m_log;
    CDataFile m_File;
};

TEST_F(DataFileTest, AsyncLinesFromTwoThreadsArriveWholeAndInEachWritersOrder) {
    Open("two-writers");
    const std::vector<std::string> lines[2] = {MakeLines(0, 1500, 7), MakeLines(1, 1500, 11)};
    auto writer = [this, &lines](int w) {
        for (const std::string& line : lines[w]) EXPECT_EQ(Write(line), line.size());
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();
    ASSERT_TRUE(m_File.Close());

    // Every line of the file is the next line of one writer: none torn,
    // lost, duplicated or out of its writer's order.
    const std::string content = Content();
    ASSERT_GT(content.size(), 20u * kDataFileBuffSize);
    EXPECT_EQ(content.size(), Join(lines[0]).size() + Join(lines[1]).size());
    size_t next[2] = {0, 0};
    for (size_t pos = 0; pos < content.size();) {
        const size_t end = content.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = content.substr(pos, end + 1 - pos);
        const int w = line.rfind("w1\t", 0) == 0 ? 1 : 0;
        ASSERT_LT(next[w], lines[w].size());
        ASSERT_EQ(line, lines[w][next[w]]) << "at byte " << pos;
        ++next[w];
        pos = end + 1;
    }
    EXPECT_EQ(next[0], lines[0].size());
    EXPECT_EQ(next[1], lines[1].size());
}

// A write to a never created or a closed object is refused; Create on an
// open object flushes and closes the old file.
// The asynchronous offset is 64-bit: a file past 4 GiB grows on instead of
// writing over its first bytes (sparse here: nothing before is written).
TEST_F(DataFileTest, AsyncFileGrowsPastFourGiBAtItsEnd) {
    Open("large");
    const std::uint64_t start = (std::uint64_t{1} << 32) - 5;
    m_File.SetWriteOffsetForTest(start);
    EXPECT_EQ(Write("first line\n"), 11u);
    EXPECT_TRUE(m_File.Flush());
    EXPECT_EQ(Write("second\n"), 7u);
    EXPECT_TRUE(m_File.Close());
    std::ifstream in(m_File.m_strFilePath, std::ios::binary);
    std::string head(16, 'x');
    std::string tail(18, 'x');
    in.read(head.data(), 16);
    in.seekg(static_cast<std::streamoff>(start));
    in.read(tail.data(), 18);
    EXPECT_EQ(head, std::string(16, '\0'));
    EXPECT_EQ(tail, "first line\nsecond\n");
    EXPECT_EQ(std::filesystem::file_size(m_File.m_strFilePath), start + 18);
    std::remove(m_File.m_strFilePath.c_str());
}

// A buffered write that fails part-way (a full disk) leaves neither a torn
// line nor a gap behind later lines: the file refuses what follows and is
// cut where the failure began; the lines it lost are counted.
TEST_F(DataFileTest, FailedAsyncWriteIsCutOffAndItsLinesCountedLost) {
    Open("failing");
    m_File.m_strTableName = "usrflowlog";
    const auto line = [](int i) {
        char text[40];
        std::snprintf(text, sizeof(text), "line %d %021d\r\n", i, i);  // 30 bytes
        return std::string(text);
    };
    const std::uint64_t lost = loss::Get(loss::DF_LOST);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Write(line(i)), 30u);
    AsyncFileTestHook::FailNextWriteAfter(100);  // three lines and a piece of the fourth
    EXPECT_FALSE(m_File.Flush());
    EXPECT_EQ(Write(line(10)), 0u);
    EXPECT_TRUE(m_File.Close());
    EXPECT_EQ(Content(), line(0) + line(1) + line(2) + line(3).substr(0, 10));
    EXPECT_EQ(loss::Get(loss::DF_LOST) - lost, 7u);
    EXPECT_EQ(testenv::CountOccurrences(testenv::ReadFile(m_log), "7 Line(s) Of Data File = "), 1u);
}

TEST_F(DataFileTest, WritesNeedAnOpenFileAndCreateClosesTheOldOne) {
    m_File.m_strFilePath = PathOf("first");
    testenv::RemoveFile(m_File.m_strFilePath);
    EXPECT_EQ(Write("x\n"), 0u);
    EXPECT_FALSE(testenv::FileExists(m_File.m_strFilePath));
    Open("first");
    EXPECT_EQ(Write("old line\n"), 9u);
    EXPECT_EQ(Content(), "");  // still in the buffer
    Open("second");
    EXPECT_EQ(testenv::ReadFile(PathOf("first")), "old line\n");
    EXPECT_EQ(Write("new line\n"), 9u);
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Write("late\n"), 0u);
    EXPECT_EQ(Content(), "new line\n");
}

TEST_F(DataFileTest, DueAfterTheUseTimeFromTheFirstWriteAcrossTheTickWrapOrAtTheSizeLimit) {
    testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileUseTime", "1");
    Open("use-time");
    TestClock::AdvanceTicks(5 * 60000);
    EXPECT_FALSE(m_File.IsUseTimeout());  // open for long, but no data
    ASSERT_EQ(Write("line\n"), 5u);
    TestClock::AdvanceTicks(58000);
    EXPECT_FALSE(m_File.IsUseTimeout());
    TestClock::AdvanceTicks(3000);
    EXPECT_TRUE(m_File.IsUseTimeout());

    // Again with the first write ten seconds before the counter wraps.
    TestClock::SetTickOffset(0);
    TestClock::SetTickOffset(0xFFFFFFFFu - GetTickCount() - 10000);
    Open("use-time");
    ASSERT_EQ(Write("line\n"), 5u);
    EXPECT_FALSE(m_File.IsUseTimeout());  // first tick + one minute lies beyond 2^32
    TestClock::AdvanceTicks(20000);
    ASSERT_LT(GetTickCount(), 60000u);
    EXPECT_TRUE(m_File.IsUseTimeout());

    // With a size limit a file is due once it holds that many MiB, however young.
    testintake::SetKey("ZelkAdv.conf", "DataFile", "DataFileMaxSize", "1");
    Open("max-size");
    const std::string half(512 * 1024, 'x');
    ASSERT_EQ(Write(half), half.size());
    EXPECT_FALSE(m_File.IsDue());
    ASSERT_EQ(Write(half), half.size());
    EXPECT_TRUE(m_File.IsDue());
    EXPECT_FALSE(m_File.IsUseTimeout());
}

TEST_F(DataFileTest, NoFreeBufferWaitsForTheEarlierWriteWithoutLosingOrRepeatingBytes) {
    Open("no-free-buffer");
    const std::vector<std::string> lines = MakeLines(0, 200, 3);  // several buffers' worth
    AsyncFileTestHook::HoldWrites(true);
    std::thread writer([this, &lines] {
        for (const std::string& line : lines) EXPECT_EQ(Write(line), line.size());
    });
    const bool waited = testenv::WaitFor(
        [this] {
            const std::string log = testenv::ReadFile(m_log);
            return log.find("[GetFreeBuffIndex] Index = 258\n") != std::string::npos &&
                   log.find("[Write] No Free Buffer, Wait For Earlier Write\n") != std::string::npos;
        },
        kWaitMs);
    AsyncFileTestHook::HoldWrites(false);
    writer.join();
    EXPECT_TRUE(waited) << "the writer never ran out of buffers";
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Content(), Join(lines));
}

TEST_F(DataFileTest, LargeWritesKeepTheOrderOfWrites) {
    Open("large");
    const std::vector<std::string> lines = MakeLines(0, 40, 5);
    std::vector<std::string> writes = {lines[0], std::string(kDataFileBuffSize, 'X') + "\n", lines[1]};
    for (size_t i = 2; i < lines.size(); ++i) writes.push_back(lines[i]);
    writes.push_back(std::string(3 * kDataFileBuffSize, 'Y') + "\n");
    writes.push_back("tail\n");
    for (const std::string& write : writes) ASSERT_EQ(Write(write), write.size());
    ASSERT_TRUE(m_File.Close());
    EXPECT_EQ(Content(), Join(writes));
}

// Under umask 0 folders are made 0750, files 0640, the spool 0600; a 0640 config file keeps
// its mode and group through the INI writer and the monitor's backup and restore.
TEST_F(DataFileTest, FilesAndFoldersGetTheServiceModes) {
    CGlobalSharedData* shared = CGlobalSharedData::GetInstance();
    const std::string temp = shared->GetTempDir(), live = testenv::ConfigDir() + "/ZelkAdv.conf";
    const struct stat before = StatOf(live);
    const gid_t group = getuid() == 0 ? 4242 : getgid();  // root may hand a file to any group
    ASSERT_EQ(chmod(live.c_str(), 0640) | chown(live.c_str(), static_cast<uid_t>(-1), group), 0);
    ASSERT_EQ(rmdir(shared->GetDumpDir().c_str()), 0);
    const mode_t umaskBefore = umask(0);
    Open("modes");
    ASSERT_TRUE(CSqlSpool::GetInstance()->Append("modes_db", {"select 1"}));
    FILE* snapshot = CreateFileStream((temp + "/UserInfo_modes.xml").c_str());
    ASSERT_TRUE(snapshot != nullptr && std::fclose(snapshot) == 0);
    ASSERT_TRUE(shared->CreateWorkingDirectories());
    ASSERT_TRUE(CDataFileManager::GetInstance()->MakeDirectoryExist(temp + "/modes_db"));
    ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "1", (temp + "/new.conf").c_str()));
    CConfigMonitorTask monitor;
    monitor.DoBackupConfigFile();
    testenv::RemoveFile(live);
    monitor.RestoreConfigFile("ZelkAdv.conf");
    ASSERT_TRUE(WritePrivateProfileStringA("DataFile", "EnableAsyncWrite", "1", live.c_str()));  // as it is
    umask(umaskBefore);
    for (const auto& [path, mode] : std::vector<std::pair<std::string, unsigned>>{
             {m_File.m_strFilePath, 0640}, {CSqlSpool::SpoolPath("modes_db"), 0600}, {shared->GetDumpDir(), 0750},
             {temp + "/UserInfo_modes.xml", 0640}, {temp + "/modes_db", 0750}, {temp + "/new.conf", 0640},
             {temp + "/ZelkAdv.conf", 0640}, {live, 0640}}) {
        EXPECT_EQ(StatOf(path).st_mode & 07777, mode) << path;
        EXPECT_EQ(StatOf(path).st_gid, path.find("ZelkAdv") == std::string::npos ? getgid() : group) << path;
    }
    testenv::RemoveFile(CSqlSpool::SpoolPath("modes_db"));
    ASSERT_EQ(chmod(live.c_str(), before.st_mode & 07777) | chown(live.c_str(), before.st_uid, before.st_gid), 0);
}

// A file where a folder belongs is not deleted; a link planted where a data file, a spool
// file or a snapshot is made is refused and its target left as it was.
TEST_F(DataFileTest, APlantedFileOrLinkIsNeitherDeletedNorFollowed) {
    const std::string blocked = CGlobalSharedData::GetInstance()->GetDataFileDir() + "/blocked_db";
    testenv::WriteFile(blocked, "not a folder");
    SetLastError(0);
    EXPECT_FALSE(CDataFileManager::GetInstance()->MakeDirectoryOK("blocked_db", "usrflowlog"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(testenv::ReadFile(blocked), "not a folder");
    testenv::RemoveFile(blocked);

    const std::string target = PathOf("link-target");
    const std::pair<std::string, std::function<bool(const std::string&)>> creators[] = {
        {PathOf("planted"), [this](const std::string& path) { return (m_File.m_strFilePath = path, m_File.Create()); }},
        {CSqlSpool::SpoolPath("planted_db"),
         [](const std::string&) { return CSqlSpool::GetInstance()->Append("planted_db", {"select 1"}); }},
        {CGlobalSharedData::GetInstance()->GetTempDir() + "/UserInfo_planted.xml",
         [](const std::string& path) { return CreateFileStream(path.c_str()) != nullptr; }},  // null: nothing to close
    };
    for (const auto& [path, create] : creators) {
        testenv::WriteFile(target, "the target");
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        EXPECT_FALSE(create(path)) << path;
        EXPECT_EQ(testenv::ReadFile(target), "the target") << path;
        testenv::RemoveFile(path);
    }
}

}  // namespace
