#include "maintenance/TableRepairTask.h"

#include <fstream>

#include "support/Prelude.h"

namespace {

using testenv::CountOccurrences;

// Runs the repair task against a node database of the test server, with the
// sample statistics.conf and passes every 200 ms instead of every hour.
class TableRepairTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        CTableRepairTask::SetDefaultWaitStep(20);
        CTableRepairTask::SetDefaultPassPeriod(200);
    }

    void SetUp() override {
        const char* dataDir = std::getenv("VARNHOLT_DB_DATADIR");
        if (dataDir == nullptr) GTEST_SKIP() << "the server's data directory is unknown (scripts/mariadb-local.sh env)";
        m_db = testdb::UniqueName("repair");
        m_dbDir = std::string(dataDir) + "/" + m_db;
        testdb::CreateDatabase(m_db, "node.sql");
        testdb::ConfigureService(m_db);
        testenv::UseSampleConfig("statistics.conf");
        CSQLConnManager::GetInstance()->SetRetryDelay(10);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        testdb::ExecIn(m_db,
                       "insert into syslog (lev, process, message, log_time) values (1, 2, 'a', '2024-01-01'), "
                       "(1, 2, 'b', '2024-01-02'), (1, 2, 'c', '2024-01-03')");
    }

    void TearDown() override {
        if (m_db.empty()) return;
        CSQLConnManager::GetInstance()->UnInit();
        // The server's own attempts to recover a crashed table leave backups
        // of the data file, which would keep the database from being dropped.
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(m_dbDir, ec)) {
            if (entry.path().filename().string().find(".BAK") != std::string::npos) std::filesystem::remove(entry, ec);
        }
        testdb::DropDatabase(m_db);
    }

    // Moves the clock to the given local time; returns that day's program
    // log, emptied first.
    static std::string SetClock(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
        return testenv::UseLogDay({year, month, 0, day, hour, minute, 0, 0});
    }

    // Marks a MyISAM table as crashed in a way the server's automatic
    // recovery refuses to repair (it would lose rows), so that the table
    // stays unreadable until REPAIR TABLE. In the index file's state header,
    // byte 26 holds the state flags (2 = crashed) and bytes 28 to 35 the row
    // count, big-endian.
    void MarkCrashed(const std::string& table) {
        testdb::ExecIn(m_db, "flush tables " + table);
        {
            std::fstream index(m_dbDir + "/" + table + ".MYI", std::ios::in | std::ios::out | std::ios::binary);
            ASSERT_TRUE(index.is_open());
            index.seekg(26);
            const char flags = static_cast<char>(index.get() | 2);
            const char header[] = {flags, 0, 0, 0, 0, 0, 0, 0x03, static_cast<char>(0xE8)};  // 1000 rows
            index.seekp(26);
            index.write(header, sizeof(header));
        }
        testdb::ExecIn(m_db, "flush tables " + table);
    }

    // Runs a task until line appears times times in the log, then stops it.
    void RunTaskUntil(const std::string& log, const std::string& line, size_t times = 1) {
        CTableRepairTask task;
        task.SetDBName(m_db);
        ASSERT_TRUE(task.Init());
        ASSERT_TRUE(task.Start());
        const bool seen =
            testenv::WaitFor([&] { return CountOccurrences(testenv::ReadFile(log), line) >= times; }, 20000);
        task.Stop();
        ASSERT_TRUE(task.WaitForExit(10000));
        ASSERT_TRUE(seen) << "missing: " << line << testenv::ReadFile(log);
    }

    std::string Strong(const char* format) const {
        char text[512];
        std::snprintf(text, sizeof(text), format, m_db.c_str());
        return text;
    }

    std::string m_db, m_dbDir;
};

TEST_F(TableRepairTest, HourlyPassFindsAndRepairsCrashedTable) {
    const std::string log = SetClock(2070, 1, 7, 12, 0);  // a Tuesday noon
    MarkCrashed("syslog");
    EXPECT_THROW(testdb::ExecIn(m_db, "select * from  syslog limit 0"), std::runtime_error);

    RunTaskUntil(log, "[DoNonStrongRepairTable] Non-Strong Repair For Db = " + m_db + " End.\n");
    const std::string text = testenv::ReadFile(log);
    EXPECT_EQ(CountOccurrences(text, "[Run] Table Repair Thread For Db = " + m_db + " Start...\n"), 1u);
    EXPECT_EQ(CountOccurrences(text, "[Run] Table Repair Thread For Db = " + m_db + " Exit.\n"), 1u);
    // Found once; the healthy tables and the later passes log nothing.
    EXPECT_EQ(CountOccurrences(text, "[DoNonStrongRepairTable] Find Table " + m_db + ".syslog Maybe Crash. Errno = "),
              1u);
    EXPECT_EQ(CountOccurrences(text, "Maybe Crash"), 1u) << text;
    EXPECT_EQ(CountOccurrences(text, "[DoNonStrongRepairTable] Repair Table "), 0u) << text;
    EXPECT_EQ(CountOccurrences(text, "[DoStrongRepairTable]"), 0u);
    EXPECT_EQ(testdb::ScalarIn(m_db, "select count(*) from syslog"), "3");
}

TEST_F(TableRepairTest, SaturdayWindowRunsStrongRepairOnceThatDay) {
    const std::string log = SetClock(2070, 1, 4, 1, 30);  // a Saturday, 01:30
    MarkCrashed("syslog");

    // The pass after the strong one falls on the same day: non-strong.
    RunTaskUntil(log, "[DoNonStrongRepairTable] Non-Strong Repair For Db = " + m_db + " End.\n");
    const std::string text = testenv::ReadFile(log);
    EXPECT_EQ(CountOccurrences(text, Strong("[DoStrongRepairTable] Strong Repair To Db = %s Begin , MySQL Will Run "
                                            "Into Busy Status And Datacenter Maybe No Response...\n")),
              1u);
    const size_t succeeded = text.find(Strong("[DoStrongRepairTable] Strong Repair For Db = %s Succeed.\n"));
    ASSERT_NE(succeeded, std::string::npos) << text;
    EXPECT_LT(succeeded, text.find(Strong("[DoStrongRepairTable] Strong Repair For Db = %s End.\n")));
    EXPECT_LT(succeeded, text.find("[DoNonStrongRepairTable] Non-Strong Repair To Db = " + m_db + " Begin.\n"));
    // The strong statement repaired the table before any probe saw it.
    EXPECT_EQ(CountOccurrences(text, "Maybe Crash"), 0u) << text;
    EXPECT_EQ(testdb::ScalarIn(m_db, "select count(*) from syslog"), "3");
}

TEST_F(TableRepairTest, StrongWindowFollowsConfiguredHours) {
    // Saturday 02:10 with the default window 1..2: outside it.
    std::string log = SetClock(2070, 1, 11, 2, 10);
    RunTaskUntil(log, "[DoNonStrongRepairTable] Non-Strong Repair For Db = " + m_db + " End.\n");
    EXPECT_EQ(CountOccurrences(testenv::ReadFile(log), "[DoStrongRepairTable]"), 0u);

    // A window from 23 across midnight to 1 includes 01:15. With no strong
    // statement nothing succeeds, so every pass in the window tries again.
    CConfigManager::GetInstance()->m_Zelk.StartStrongRepairTime.Set(23);
    CConfigManager::GetInstance()->m_Zelk.EndStrongRepairTime.Set(1);
    CConfigManager::GetInstance()->m_Statistics.RepairTable.Set("");
    log = SetClock(2070, 1, 18, 1, 15);
    RunTaskUntil(log, Strong("[DoStrongRepairTable] Strong Repair For Db = %s End.\n"), 2);
    const std::string text = testenv::ReadFile(log);
    EXPECT_EQ(CountOccurrences(text, Strong("Strong Repair For Db = %s Succeed")), 0u);
    EXPECT_EQ(CountOccurrences(text, "[DoNonStrongRepairTable]"), 0u);
}

}  // namespace
