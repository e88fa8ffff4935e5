// The data file manager and its importers against the test MariaDB: which
// load path a file takes, what a failing file leaves behind, the start-up
// import's delay, concurrent importers and rotation.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "datafile/DataFile.h"
#include "datafile/DataFileManager.h"
#include "datafile/LoadDataTask.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "platform/Clock.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/TestEnv.h"

namespace {

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
        TestClock::SetTickOffset(0);
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
        TestClock::SetTickOffset(0);
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

    static std::string s_main, s_node;
    std::string m_log;
    std::atomic<bool> m_nodeListReady{false};
    std::vector<CLoadDataTask*> m_tasks;
};

std::string DataFileManagerTest::s_main;
std::string DataFileManagerTest::s_node;

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
    const std::string other = WriteDataFile(testdb::UniqueName("dfm_nonode"), "usrflowlog", "DataFile_2.dat",
                                            FlowLine(3), false);
    Manager()->SetWaitingImportPeriod(600000);
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
    EXPECT_FALSE(testenv::FileExists(CDataFileManager::MarkerPath(mine)));
    EXPECT_EQ(Rows("usrflowlog"), "2");
    EXPECT_TRUE(testenv::FileExists(other));
    EXPECT_EQ(Manager()->ImportListSize(), 1u);

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
    ASSERT_EQ(file->Write(FlowLine(1).data(), static_cast<DWORD>(FlowLine(1).size())), FlowLine(1).size());

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
    Manager()->ReleaseDataFileID(id);
    EXPECT_EQ(Manager()->ImportListSize(), 3u);
}

}  // namespace
