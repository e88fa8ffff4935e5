#include "maintenance/DataBaseCleanTask.h"

#include <sys/statvfs.h>

#include <cctype>

#include "maintenance/InfoManager.h"
#include "support/Prelude.h"

namespace {

std::string CutOff(int year, int month, int day, int days) {
    SYSTEMTIME cut;
    if (!CDataBaseCleanTask::CutOffDate(testenv::Time(year, month, day, 0), days, &cut)) return "none";
    return CDataBaseCleanTask::CutOffText(cut);
}

// The cut-off walks back over month and leap-year borders; the clean window
// may cross midnight and opens once a day.
TEST(DataBaseCleanRules, CutOffDateAndWindow) {
    EXPECT_EQ(CutOff(2024, 3, 1, 1), "\"2024-02-29 23:59:59\"");
    EXPECT_EQ(CutOff(2023, 3, 1, 1), "\"2023-02-28 23:59:59\"");
    EXPECT_EQ(CutOff(2000, 3, 1, 1), "\"2000-02-29 23:59:59\"");
    EXPECT_EQ(CutOff(1900, 3, 1, 1), "\"1900-02-28 23:59:59\"");
    EXPECT_EQ(CutOff(2024, 1, 5, 10), "\"2023-12-26 23:59:59\"");
    EXPECT_EQ(CutOff(2024, 3, 1, 31), "\"2024-01-30 23:59:59\"");
    EXPECT_EQ(CutOff(2023, 3, 1, 31), "\"2023-01-29 23:59:59\"");
    EXPECT_EQ(CutOff(2024, 12, 31, 366), "\"2023-12-31 23:59:59\"");
    EXPECT_EQ(CutOff(2024, 7, 15, 0), "\"2024-07-15 23:59:59\"");
    EXPECT_EQ(CutOff(2024, 7, 15, -1), "none");
    EXPECT_EQ(CutOff(2024, 7, 15, 2024 * 365), "none");  // before the year 1: would wrap
    EXPECT_EQ(CutOff(2024, 7, 15, INT32_MAX), "none");

    auto open = [](int s, int e, int h) { return CDataBaseCleanTask::IsCleanWindowOpen(s, e, h, 10, 0); };
    for (int h : {22, 23, 0, 1, 2}) EXPECT_TRUE(open(22, 2, h)) << h;
    for (int h : {3, 12, 21}) EXPECT_FALSE(open(22, 2, h)) << h;
    for (int h : {1, 2, 3}) EXPECT_TRUE(open(1, 4, h)) << h;
    for (int h : {0, 4}) EXPECT_FALSE(open(1, 4, h)) << h;
    EXPECT_TRUE(open(22, 4, 4));   // the end hour belongs to a window crossing midnight
    EXPECT_FALSE(open(3, 3, 3));   // an empty window
    EXPECT_FALSE(CDataBaseCleanTask::IsCleanWindowOpen(1, 4, 2, 10, 10));  // cleaned today already
    EXPECT_TRUE(CDataBaseCleanTask::IsCleanWindowOpen(1, 4, 2, 11, 10));
}

TEST(DataBaseCleanRules, PlaceholderPercentageDiskFullAndLocalServer) {
    auto sub = [](const char* sql) { return CDataBaseCleanTask::SubstitutePlaceholder(sql, "17"); };
    EXPECT_EQ(sub("call proc_clean(@percent)"), "call proc_clean(17)");
    EXPECT_EQ(sub("call proc_clean(@a, @b) and (@c)"), "call proc_clean(17) and (@c)");
    EXPECT_EQ(sub("call proc_clean()"), "call proc_clean()");
    EXPECT_EQ(sub("delete from t where (a) < @x)"), "delete from t where (a) < @x)");
    EXPECT_EQ(sub("select @x"), "select @x");
    EXPECT_EQ(CDataBaseCleanTask::CleanPercentage(6000, 5000), 17);
    EXPECT_EQ(CDataBaseCleanTask::CleanPercentage(10000, 5000), 50);
    EXPECT_EQ(CDataBaseCleanTask::CleanPercentage(5000, 5000), 0);
    EXPECT_EQ(CDataBaseCleanTask::CleanPercentage(0, 0), 0);
    EXPECT_TRUE(CInfoManager::IsDiskFull(4ull << 20, 4));
    EXPECT_TRUE(CInfoManager::IsDiskFull((5ull << 20) - 1, 4));
    EXPECT_FALSE(CInfoManager::IsDiskFull(5ull << 20, 4));
    EXPECT_FALSE(CInfoManager::IsDiskFull(0, -1));
    for (const char* host : {"", "localhost", "LocalHost", "127.0.0.1", "127.8.9.10", "::1"}) {
        EXPECT_TRUE(CInfoManager::IsLocalHost(host)) << host;
    }
    for (const char* host : {"192.0.2.1", "2001:db8::1"}) EXPECT_FALSE(CInfoManager::IsLocalHost(host)) << host;
}

class DataBaseCleanTest : public testenv::LogTest {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_main = testdb::UniqueName("clean");
        s_node = testdb::UniqueName("clean_node");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::ConfigureService(s_main);
        s_zelk = testenv::ReadFile(ZelkPath());
    }
    static void TearDownTestSuite() {
        testdb::DropDatabase(s_node);
        testdb::DropDatabase(s_main);
    }

    void SetUp() override {
        LogTest::SetUp();
        testdb::CreateDatabase(s_node, "node.sql");
        CSQLConnManager::GetInstance()->SetRetryDelay(1);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        m_dataDir = testenv::InstallDir() + "/mysql-data";
        std::filesystem::create_directories(m_dataDir);
    }
    void TearDown() override {
        // A task whose thread did not end is left to it, never freed.
        if (m_task && !m_task->WaitForExit(10000)) static_cast<void>(m_task.release());
        m_task.reset();
        CInfoManager::GetInstance()->UnInit();
        CInfoManager::GetInstance()->SetInfoStep(CInfoManager::kInfoStepMs);
        CSQLConnManager::GetInstance()->UnInit();
        testenv::UseSampleConfig("statistics.conf");
        testenv::WriteFile(ZelkPath(), s_zelk);  // the clear rules and the disk settings
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("Zelk.conf"));
        SetDataDir("");
        std::filesystem::remove_all(m_dataDir);
    }

    static std::string ZelkPath() { return testenv::ConfigDir() + "/Zelk.conf"; }
    static void WriteStatistics(const std::string& proc, const std::string& byTime, const std::string& byContent,
                                const std::string& repair) {
        testenv::WriteFile(testenv::ConfigDir() + "/statistics.conf",
                           "[Count]\nTableCount=0\n[CleanBaseProcByTime]\n" + proc + "\n[CleanBaseByTime]\n" + byTime +
                               "\n[CleanBaseByContent]\n" + byContent + "\n[RepairTable]\n" + repair + "\n");
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("statistics.conf"));
    }
    static void SetDataDir(const std::string& dir) {
        const std::string myIni = testenv::InstallDir() + "/mysql/my.ini";
        ASSERT_TRUE(WritePrivateProfileStringA("mysqld", "datadir", dir.c_str(), myIni.c_str()));
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("mysql/my.ini"));
    }
    // Moves the local clock to hour:minute of today.
    static SYSTEMTIME SetHour(int hour, int minute) {
        SYSTEMTIME st;
        GetLocalTime(&st);
        st.wHour = static_cast<WORD>(hour);
        st.wMinute = static_cast<WORD>(minute);
        TestClock::SetLocalTime(st);
        return st;
    }
    CDataBaseCleanTask* StartTask() {
        m_task = std::make_unique<CDataBaseCleanTask>();
        m_task->SetDBName(s_node);
        m_task->SetCheckPeriod(0, 10);  // a check on every pass
        EXPECT_TRUE(m_task->Init());
        EXPECT_TRUE(m_task->Start());
        return m_task.get();
    }
    bool WaitForChecks(std::uint32_t more) {
        const std::uint32_t target = m_task->GetCheckCount() + more;
        return testenv::WaitFor([&] { return m_task->GetCheckCount() >= target; }, 10000);
    }
    static std::string Messages() {
        return testdb::ScalarIn(s_node, "select group_concat(message order by message) from syslog");
    }
    static std::string Line(const std::string& text) { return "[CDataBaseCleanTask]" + text; }
    bool TaskLogged(const std::string& text) const { return Logged(Line(text)); }

    static inline std::string s_main, s_node, s_zelk;
    std::string m_dataDir;
    std::unique_ptr<CDataBaseCleanTask> m_task;
};

TEST_F(DataBaseCleanTest, CleanByTimeDeletesRowsUpToTheCutOffOncePerDay) {
    testintake::SetKey("Zelk.conf", "ClearRule", "AutoClearType", "1");
    testintake::SetKey("Zelk.conf", "ClearRule", "DbCyc", "10");
    WriteStatistics("call proc_not_there()", "delete from syslog where log_time <= (@cutoff)", "", "");
    const SYSTEMTIME today = SetHour(2, 0);
    SYSTEMTIME cut;
    ASSERT_TRUE(CDataBaseCleanTask::CutOffDate(today, 10, &cut));
    char day[32], now[32];
    std::snprintf(day, sizeof(day), "%04d-%02d-%02d", cut.wYear, cut.wMonth, cut.wDay);
    std::snprintf(now, sizeof(now), "%04d-%02d-%02d", today.wYear, today.wMonth, today.wDay);
    const std::string edge = std::string("'") + day + " 23:59:59'";
    testdb::ExecIn(s_node, "insert into syslog(message, log_time) values ('edge', " + edge + "), ('after', " + edge +
                               " + interval 1 second), ('old', " + edge + " - interval 40 day), ('today', '" + now +
                               " 01:00:00')");

    StartTask();
    const std::string success = Line("[CleanDataBaseByTime] Succeed To Clean DataBase = " + s_node + ".\n");
    ASSERT_TRUE(WaitForLog(success, 10000)) << LogText();
    EXPECT_EQ(Messages(), "after,today");
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByTime] Exec Sql = call proc_not_there() Fail. Errno = 1305 , ErrStr = "));
    EXPECT_EQ(m_task->GetLastCleanTime().wDay, today.wDay);

    // Later checks of the same day leave new old rows alone.
    testdb::ExecIn(s_node, "insert into syslog(message, log_time) values ('old2', " + edge + ")");
    ASSERT_TRUE(WaitForChecks(3));
    EXPECT_EQ(LogCount(success), 1u);
    EXPECT_EQ(Messages(), "after,old2,today");

    // The next day the window opens again, with the cut-off one day later.
    TestClock::AdvanceLocalTime(24 * 3600);
    EXPECT_TRUE(testenv::WaitFor([] { return Messages() == "today"; }, 10000)) << Messages();
    EXPECT_TRUE(m_task->WaitForExit(10000));
    EXPECT_TRUE(TaskLogged("[Run] Clean DataBase Thread For DB = " + s_node + " Start...\n"));
}

TEST_F(DataBaseCleanTest, NoCleanOutsideTheWindowOrWithAnotherType) {
    WriteStatistics("", "delete from syslog", "delete from syslog", "");
    testdb::ExecIn(s_node, "insert into syslog(message, log_time) values ('kept', '2001-01-01 00:00:00')");
    testintake::SetKey("Zelk.conf", "ClearRule", "AutoClearType", "1");
    SetHour(4, 10);
    StartTask();
    ASSERT_TRUE(WaitForChecks(3));
    testintake::SetKey("Zelk.conf", "ClearRule", "AutoClearType", "2");
    SetHour(2, 0);
    ASSERT_TRUE(WaitForChecks(3));
    EXPECT_EQ(Messages(), "kept");
    EXPECT_FALSE(Logged("Succeed To Clean"));
    EXPECT_TRUE(m_task->WaitForExit(10000));
    EXPECT_TRUE(TaskLogged("[Run] Clean DataBase Thread For DB = " + s_node + " Exit With WaitRet = 258\n"));
}

TEST_F(DataBaseCleanTest, AFailingStatementInALaterPlaceFailsTheClean) {
    WriteStatistics("", "delete from syslog where log_time <= (@cutoff); delete from no_such_table", "", "");
    testdb::ExecIn(s_node, "insert into syslog(message, log_time) values ('old', '2001-01-01 00:00:00')");
    CDataBaseCleanTask task;
    EXPECT_EQ(task.CleanDataBaseByTime(), 0);  // no database name: nothing to do
    task.SetDBName(s_node);
    EXPECT_EQ(task.CleanDataBaseByTime(), 0);
    EXPECT_EQ(testdb::ScalarIn(s_node, "select count(*) from syslog"), "0");
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByTime] Exec Sql = delete from syslog where log_time <= (\""));
    EXPECT_TRUE(Logged(" 23:59:59\"); delete from no_such_table Fail. Errno = 1146 , ErrStr = "));
    EXPECT_FALSE(Logged("Succeed To Clean"));
}

TEST_F(DataBaseCleanTest, CleanBySizeDeletesThePercentAboveTheLimitAndRepairs) {
    // 6000 MiB in a sparse file plus 100 bytes; files of subdirectories do
    // not count. The node's name is given in upper case: the server keeps
    // its directory in lower case.
    const std::string dbDir = m_dataDir + "/" + s_node;
    std::filesystem::create_directories(dbDir + "/sub");
    testenv::WriteFile(dbDir + "/syslog.MYI", std::string(100, 'x'));
    testenv::WriteFile(dbDir + "/sub/ignored", std::string(5000, 'x'));
    testenv::WriteFile(dbDir + "/syslog.MYD", "");
    std::filesystem::resize_file(dbDir + "/syslog.MYD", 6000ull << 20);
    // A repair's copy and a server temporary table are not content.
    for (const char* leftover : {"/syslog.BAK", "/#sql-1f2_3.MYD"}) {
        testenv::WriteFile(dbDir + leftover, "");
        std::filesystem::resize_file(dbDir + leftover, 60000ull << 20);
    }
    SetDataDir(m_dataDir);
    WriteStatistics("", "", "delete from syslog where lev < (@percent)", "repair table syslog");
    testdb::ExecIn(s_node, "insert into syslog(lev, message, log_time) values (16, 'a', now()), (17, 'b', now()), "
                           "(18, 'c', now())");
    std::string upper = s_node;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    CDataBaseCleanTask task;
    task.SetDBName(upper);
    EXPECT_EQ(task.CleanDataBaseByContent(), 1);
    EXPECT_EQ(Messages(), "b,c");
    EXPECT_TRUE(TaskLogged("[GetDataBaseSize] The Size Of Db = " + upper + " Is 6291456100 Byte(s)"));
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByContent] Succeed To Clean DataBase = " + upper + ".\n"));
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByContent] Need To Call RepairTables To Make Database Small.Datacenter "
                           "Maybe No Response.\n"));
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByContent] Succeed To Repair After Clean DataBase = " + upper + ".\n"));

    testintake::SetKey("Zelk.conf", "ClearRule", "DbContent", "7000");
    EXPECT_EQ(task.CleanDataBaseByContent(), 1);
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByContent] Db = " + upper + " Do Not Need To Clean.\n"));
    for (const char* none : {"0", "-5", ""}) {  // no limit: nothing is deleted
        testintake::SetKey("Zelk.conf", "ClearRule", "DbContent", none);
        EXPECT_EQ(task.CleanDataBaseByContent(), 0);
    }
    EXPECT_TRUE(TaskLogged("[CleanDataBaseByContent] DbContent = -5 Is Not A Size , Nothing Cleaned.\n"));
    EXPECT_EQ(Messages(), "b,c");

    // Files that cannot be read: the server tells the size.
    std::filesystem::remove_all(dbDir);
    testintake::SetKey("Zelk.conf", "ClearRule", "DbContent", "7000");
    EXPECT_EQ(task.CleanDataBaseByContent(), 1);
    EXPECT_TRUE(TaskLogged("[GetDataBaseSize] Cannot Search File To Count Size For Db = " + upper + "\n"));
    EXPECT_EQ(Messages(), "b,c");
}

TEST_F(DataBaseCleanTest, SizeComesFromTheServerWithoutDataDirAndFromFilesWithIt) {
    testdb::ExecIn(s_node, "insert into syslog(message, log_time) values (repeat('x', 1000), now())");
    CDataBaseCleanTask task;
    task.SetDBName(s_node);
    std::int64_t size = -1;
    ASSERT_EQ(task.GetDataBaseSize(&size), 1);
    const std::string reported = testdb::ScalarIn(
        s_node, "select sum(data_length + index_length) from information_schema.TABLES where table_schema = '" +
                    s_node + "'");
    EXPECT_EQ(std::to_string(size), reported);
    EXPECT_GT(size, 1000);

    // With the server's own data directory the files are measured: their
    // sum also holds the table definitions.
    const char* serverDataDir = std::getenv("VARNHOLT_DB_DATADIR");
    if (serverDataDir == nullptr) return;
    SetDataDir(serverDataDir);
    std::int64_t fromFiles = -1;
    ASSERT_EQ(task.GetDataBaseSize(&fromFiles), 1);
    EXPECT_GT(fromFiles, size);
}

TEST_F(DataBaseCleanTest, DiskFullIsWrittenOnlyWhenItChangesAndCheckedEveryMinute) {
    const std::string zelk = ZelkPath();
    auto fileValue = [&] {
        std::string value;
        IniReadString(zelk, "DiskFreeSpace", "ISFULL", &value);
        return value;
    };
    CConfigManager* config = CConfigManager::GetInstance();
    CInfoManager* info = CInfoManager::GetInstance();
    SetDataDir(m_dataDir);
    testintake::SetKey("Zelk.conf", "DiskFreeSpace", "MinFreeSpace", "2147483647");
    EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
    EXPECT_EQ(fileValue(), "1");
    EXPECT_EQ(config->m_Zelk.ISFULL.Get(), 1);
    // Still full: the file is not written again (its marker stays).
    ASSERT_TRUE(WritePrivateProfileStringA("DiskFreeSpace", "ISFULL", "7", zelk.c_str()));
    EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
    EXPECT_EQ(fileValue(), "7");
    config->m_Zelk.MinFreeSpace.Set(-1);
    EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
    EXPECT_EQ(fileValue(), "0");
    EXPECT_EQ(config->m_Zelk.ISFULL.Get(), 0);
    EXPECT_EQ(LogCount("[CInfoManager][RealTimeInfo_DiskSpace] Disk Is Full!\n"), 1u);
    EXPECT_EQ(LogCount("[CInfoManager][RealTimeInfo_DiskSpace] Disk Is Not Full!\n"), 1u);
    // The space MySQL may use counts, not the root reserve beside it.
    struct statvfs fs {};
    ASSERT_EQ(statvfs(m_dataDir.c_str(), &fs), 0);
    const std::uint64_t availMiB = fs.f_bavail * fs.f_frsize >> 20, freeMiB = fs.f_bfree * fs.f_frsize >> 20;
    if (freeMiB > availMiB + 1) {
        config->m_Zelk.MinFreeSpace.Set(static_cast<std::int32_t>((availMiB + freeMiB) / 2));
        EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
        EXPECT_EQ(config->m_Zelk.ISFULL.Get(), 1);
        config->m_Zelk.MinFreeSpace.Set(-1);
        EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
    }

    // Without a data directory there is no disk to check: one line, no change.
    SetDataDir("");
    config->m_Zelk.MinFreeSpace.Set(2147483647);
    EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
    EXPECT_EQ(info->RealTimeInfo_DiskSpace(), 1);
    EXPECT_EQ(fileValue(), "0");
    EXPECT_EQ(LogCount("[RealTimeInfo_DiskSpace] Disk Check Skipped"), 1u);

    // The info thread checks the disk every sixty seconds of ticks.
    SetDataDir(m_dataDir);
    info->SetInfoStep(10);
    ASSERT_TRUE(info->Init());
    EXPECT_FALSE(info->GetStartTime().empty());
    EXPECT_EQ(config->m_Zelk.ISFULL.Get(), 0);
    TestClock::AdvanceTicks(CInfoManager::kDiskSpaceIntervalMs);
    EXPECT_TRUE(testenv::WaitFor([&] { return config->m_Zelk.ISFULL.Get() == 1; }, 10000));
    EXPECT_TRUE(info->UnInit());
}

}  // namespace
