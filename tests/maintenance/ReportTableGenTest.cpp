#include "maintenance/ReportTableGenTask.h"

#include "maintenance/DataBaseCleanTask.h"
#include "support/Prelude.h"

namespace {

using testenv::CountOccurrences;

// The report task and the sample statistics.conf against a node database of
// the test server. A SleepTime minute lasts 30 ms here, so the sample's
// tables (SleepTime 10) wake every 300 ms; their period (StatistCys 60) is
// measured on the test clock.
class ReportTableGenTest : public testenv::LogTest {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        CReportTableGenTask::SetDefaultWaitStep(20);
        CReportTableGenTask::SetDefaultMinuteLength(30);
    }

    void SetUp() override {
        LogTest::SetUp();
        static int tests = 0;  // a database of its own per test, also when tests repeat
        m_db = testdb::UniqueName("report" + std::to_string(++tests));
        testdb::CreateDatabase(m_db, "node.sql");
        testdb::ConfigureService(m_db);
        testenv::UseSampleConfig("statistics.conf");
        CSQLConnManager::GetInstance()->SetRetryDelay(10);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
    }

    void TearDown() override {
        StopTask();
        CConfigManager::GetInstance()->m_Zelk.ISFULL.Set(0);
        CSQLConnManager::GetInstance()->UnInit();
        testdb::DropDatabase(m_db);
    }

    void StartTask() {
        m_task = std::make_unique<CReportTableGenTask>();
        m_task->SetDBName(m_db);
        ASSERT_TRUE(m_task->Init());
        ASSERT_TRUE(m_task->Start());
    }
    void StopTask() {
        if (!m_task) return;
        m_task->Stop();
        EXPECT_TRUE(m_task->WaitForExit(20000));
        m_task.reset();
    }

    // Every program log file of this test program: the clock may pass
    // midnight while a test runs on the real date.
    static std::string AllLogText() {
        std::string text;
        for (const std::string& name : testenv::ListFiles(testenv::LogDir())) {
            text += testenv::ReadFile(testenv::LogDir() + "/" + name);
        }
        return text;
    }
    std::string Scalar(const std::string& sql) const { return testdb::ScalarIn(m_db, sql); }
    std::string Runs(const std::string& table) const {
        return Scalar("select count(*) from midtableinfo where tbName='" + table + "'");
    }

    std::string m_db;
    std::unique_ptr<CReportTableGenTask> m_task;
};

TEST_F(ReportTableGenTest, SampleTablesAreFilledWindowAfterWindow) {
    // The first run has no earlier window and ends at the server's now():
    // the test clock follows the real one here.
    TestClock::Reset();
    testdb::ExecIn(
        m_db,
        "set @d = curdate() - interval 10 day; "
        "insert into usrflowlog (user_id, up_flux, dw_flux, log_time) values "
        "(1, 100, 200, @d + interval 10 hour), (1, 1, 2, @d + interval 23 hour), "
        "(2, 5, 6, @d + interval 32 hour), (3, 7, 7, now() - interval 2 hour), "
        "(5, 9, 9, curdate() - interval 500 day); "
        "insert into usrbasiclog (user_id, user_action, action_result, log_time) values "
        "(1, 0, 0, @d + interval 9 hour), (1, 0, 0, @d + interval 10 hour), (1, 0, 1, @d + interval 11 hour)");
    StartTask();
    // The task logs a statement's success after the server has run it: the
    // line is waited for too.
    ASSERT_TRUE(testenv::WaitFor(
        [&] {
            return Runs("stat_usrflow_day") == "1" && Runs("stat_usraction_day") == "1" &&
                   testenv::Contains(AllLogText(),
                                     "[ExecSql] Succeed To Exec Sql = call proc_statist_usrflow_day(NULL ,now())\n");
        },
        20000))
        << AllLogText();
    EXPECT_EQ(Scalar("select concat(up_flux, '/', dw_flux) from stat_usrflow_day where stat_day=curdate() - "
                     "interval 10 day and user_id=1"),
              "101/202");
    // Days older than 400 are cleaned away right after being counted.
    EXPECT_EQ(Scalar("select count(*) from stat_usrflow_day where user_id=5"), "0");
    EXPECT_EQ(Scalar("select sum(up_flux) from stat_usrflow_day where user_id=3"), "7");
    EXPECT_EQ(Scalar("select group_concat(log_count order by action_result) from stat_usraction_day where user_id=1"),
              "2,1");
    EXPECT_EQ(Scalar("select concat(beginTime, '/', timestampdiff(second, endTime, updateTime)) from midtableinfo "
                     "where tbName='stat_usrflow_day'"),
              "2000-01-01 00:00:00/3600");

    // Within the period the wake-ups only look at midtableinfo.
    const std::string check =
        "[ExecSql] Succeed To Exec Sql = select beginTime, endTime,  updateTime from midtableinfo where "
        "tbName='stat_usrflow_day' order by  updateTime desc limit 1\n";
    const size_t checks = CountOccurrences(AllLogText(), check);
    ASSERT_TRUE(testenv::WaitFor([&] { return CountOccurrences(AllLogText(), check) >= checks + 2; }, 20000));
    EXPECT_EQ(Runs("stat_usrflow_day"), "1");

    // One period later the next window starts where the first one ended.
    testdb::ExecIn(m_db,
                   "insert into usrflowlog (user_id, up_flux, dw_flux, log_time) values "
                   "(3, 10, 10, now() - interval 30 minute), (3, 1000, 1000, now() + interval 30 minute); "
                   "insert into usrbasiclog (user_id, user_action, action_result, log_time) values "
                   "(4, 0, 0, now() - interval 30 minute)");
    TestClock::AdvanceLocalTime(3600);
    ASSERT_TRUE(
        testenv::WaitFor([&] { return Runs("stat_usrflow_day") == "2" && Runs("stat_usraction_day") == "2"; }, 20000))
        << AllLogText();
    const std::string firstEnd =
        Scalar("select endTime from midtableinfo where tbName='stat_usrflow_day' order by id limit 1");
    const std::string secondUpdate =
        Scalar("select updateTime from midtableinfo where tbName='stat_usrflow_day' order by id desc limit 1");
    EXPECT_EQ(Scalar("select beginTime from midtableinfo where tbName='stat_usrflow_day' order by id desc limit 1"),
              firstEnd);
    EXPECT_TRUE(testenv::Contains(AllLogText(), "[ExecSql] Succeed To Exec Sql = call proc_statist_usrflow_day(\"" +
                                                     firstEnd + "\" ,\"" + secondUpdate + "\")\n"))
        << AllLogText();
    // Counted once each: nothing of the first window again, nothing beyond
    // the second one.
    EXPECT_EQ(Scalar("select sum(up_flux) from stat_usrflow_day where user_id=3"), "17");
    EXPECT_EQ(Scalar("select sum(up_flux) from stat_usrflow_day where user_id=1"), "101");
    EXPECT_EQ(Scalar("select sum(log_count) from stat_usraction_day"), "4");

    StopTask();
    const std::string text = AllLogText();
    EXPECT_EQ(CountOccurrences(text, "[ExecSql] Fail To Exec Sql"), 0u) << text;
    EXPECT_EQ(CountOccurrences(text, "[TableStatistics] Statistics Table " + m_db), 0u);
    EXPECT_EQ(
        CountOccurrences(text, "[TableStatistics] Report Gen For " + m_db + ".stat_usraction_day Exit Normally.\n"),
        1u);
    EXPECT_EQ(CountOccurrences(text, "[Run] Table Gen Thread For Db = " + m_db + " Exit.\n"), 1u);
}

TEST_F(ReportTableGenTest, FullDiskSuspendsStatistics) {
    CConfigManager::GetInstance()->m_Zelk.ISFULL.Set(1);
    StartTask();
    const std::string line = "[CanStatistics] Disk Full So No Statistics Will Do.\n";
    ASSERT_TRUE(WaitForLog(line, 20000, 4));
    StopTask();
    EXPECT_EQ(Scalar("select count(*) from midtableinfo"), "0");
    EXPECT_EQ(Scalar("select count(*) from information_schema.tables where table_schema='" + m_db +
                     "' and table_name like 'stat\\_%'"),
              "0");
    EXPECT_EQ(LogCount("[ExecSql]"), 0u);
}

TEST_F(ReportTableGenTest, SampleMaintenanceStatementsRunOnNodeSchema) {
    const StatisticsConfig& statistics = CConfigManager::GetInstance()->m_Statistics;
    EXPECT_EQ(statistics.Tables.Get()->size(), 2u);
    EXPECT_EQ(LogCount("Cut To"), 0u) << "a sample statement is too long";
    testdb::ExecIn(m_db,
                   "insert into usrflowlog (user_id, log_time) values (1, '2024-01-01'), (1, '2024-01-10'), "
                   "(1, '2024-01-20'); insert into usrbasiclog (user_id, log_time) values (1, '2024-01-12'); "
                   "insert into syslog (log_time) values ('2024-01-02'), ('2024-01-18'); "
                   "insert into usrsvrlog (log_time) values ('2024-01-04'); insert into adt_log (log_time) values "
                   "('2024-01-02'); insert into alarm_log (message, log_time) values ('m', '2024-01-02'); "
                   "insert into dev_stat (time) values ('2024-01-03'); "
                   "insert into dev_info (lastupdateTime) values ('2024-01-03'), ('2024-01-19')");
    MYSQL* connection = testdb::Connect(m_db);
    std::unique_ptr<MYSQL, decltype(&mysql_close)> closer(connection, mysql_close);
    auto counts = [&] {
        return testdb::Scalar(connection,
                              "select concat_ws(' ', (select count(*) from usrflowlog), (select count(*) from "
                              "usrbasiclog), (select count(*) from syslog), (select count(*) from usrsvrlog), "
                              "(select count(*) from adt_log), (select count(*) from alarm_log), (select count(*) "
                              "from dev_stat), (select count(*) from dev_info))");
    };

    // Clean by time with the cut-off 2024-01-05 23:59:59.
    const SYSTEMTIME cutOff{2024, 1, 0, 5, 0, 0, 0, 0};
    testdb::Exec(connection, statistics.CleanBaseProcByTime.Get());
    testdb::Exec(connection, CDataBaseCleanTask::SubstitutePlaceholder(statistics.CleanBaseByTime.Get(),
                                                                       CDataBaseCleanTask::CutOffText(cutOff)));
    EXPECT_EQ(counts(), "2 1 1 0 0 0 0 1");

    // Clean by size, 50 %: the logs cover 2024-01-10 to 2024-01-20, so
    // everything before 2024-01-15 goes.
    testdb::Exec(connection, CDataBaseCleanTask::SubstitutePlaceholder(statistics.CleanBaseByContent.Get(), "50"));
    EXPECT_EQ(counts(), "1 0 1 0 0 0 0 1");

    const auto rows = testdb::Query(connection, statistics.RepairTable.Get());
    size_t repaired = 0;
    for (const auto& row : rows) {
        if (row.size() == 4 && row[0] == m_db + ".usrflowlog" && row[2] == "status" && row[3] == "OK") ++repaired;
    }
    EXPECT_EQ(repaired, 1u);
}

}  // namespace
