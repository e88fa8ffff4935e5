#include "config/ConfigManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/ProgramLog.h"
#include "db/GlobalSharedData.h"
#include "platform/Clock.h"
#include "support/TestEnv.h"

namespace {

std::string ConfigFile(const std::string& name) { return testenv::ConfigDir() + "/" + name; }

// The manager is a process-wide singleton; every test writes the files it
// needs and loads them, and errors are collected in the day's log file.
class ConfigManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(CGlobalSharedData::GetInstance()->Init());
        ASSERT_TRUE(CProgramLogRecorder::GetInstance()->Init());
        ASSERT_TRUE(CConfigManager::GetInstance()->Init());
    }

    void SetUp() override { m_logPath = testenv::UseFreshLogDay(); }

    void TearDown() override { TestClock::Reset(); }

    std::string LogText() const { return testenv::ReadFile(m_logPath); }

    CConfigManager& Cfg() { return *CConfigManager::GetInstance(); }

    std::string m_logPath;
};

TEST_F(ConfigManagerTest, SampleTreeLoadsWithDefaults) {
    // The shipped sample sets every key to its default.
    testenv::WriteFile(ConfigFile("Zelk.conf"), testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) +
                                                                  "/deploy/install/Zelk/Config/Zelk.conf"));
    testenv::WriteFile(ConfigFile("ZelkAdv.conf"), testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) +
                                                                     "/deploy/install/Zelk/Config/ZelkAdv.conf"));
    ASSERT_TRUE(Cfg().LoadConfig("Zelk.conf"));
    ASSERT_TRUE(Cfg().LoadConfig("ZelkAdv.conf"));
    EXPECT_EQ(Cfg().m_Zelk.Port, 9501);
    EXPECT_EQ(Cfg().m_Zelk.AutoClearType, 2);
    EXPECT_EQ(Cfg().m_Zelk.DbContent, 5000);
    EXPECT_EQ(Cfg().m_Zelk.DbCyc, 180);
    EXPECT_EQ(Cfg().m_Zelk.EndCheckTime, 4);
    EXPECT_EQ(Cfg().m_Zelk.MinFreeSpace, 4);
    EXPECT_EQ(Cfg().m_ZelkAdv.ParticleTime, 30);
    EXPECT_EQ(Cfg().m_ZelkAdv.MergeBufferSize, 5);
    EXPECT_EQ(Cfg().m_ZelkAdv.TarnNodeSendBuffSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.NoTempTableDataFileSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.ListenPort, 9509);
    EXPECT_EQ(Cfg().m_ZelkAdv.MaxConnection, 16);
    EXPECT_EQ(Cfg().m_ZelkAdv.SysLogEnableLogMerge, 0);
    EXPECT_EQ(Cfg().m_ZelkAdv.UserLogEnableLogMerge, 1);
    EXPECT_EQ(LogText().find("[ERROR]"), std::string::npos);
}

TEST_F(ConfigManagerTest, AbsentKeysTakeDefaults) {
    testenv::WriteFile(ConfigFile("Zelk.conf"), "[DatabaseConfig]\nDBServer = 127.0.0.1 \n");
    testenv::WriteFile(ConfigFile("ZelkAdv.conf"), "");
    ASSERT_TRUE(Cfg().LoadConfig("Zelk.conf"));
    ASSERT_TRUE(Cfg().LoadConfig("ZelkAdv.conf"));
    EXPECT_EQ(Cfg().m_Zelk.DBServer.Get(), "127.0.0.1");
    EXPECT_EQ(Cfg().m_Zelk.DBUser.Get(), "");
    EXPECT_EQ(Cfg().m_Zelk.Port, 9501);
    EXPECT_EQ(Cfg().m_Zelk.StartStrongRepairTime, 1);
    EXPECT_EQ(Cfg().m_Zelk.EndStrongRepairTime, 2);
    EXPECT_EQ(Cfg().m_ZelkAdv.GlobalEnableLogMerge, 1);
    EXPECT_EQ(Cfg().m_ZelkAdv.MergeBuffers, 2);
    EXPECT_EQ(Cfg().m_ZelkAdv.MergeBufferSize, 5);
    EXPECT_EQ(Cfg().m_ZelkAdv.MaxPackgeSize, 5);
    EXPECT_EQ(Cfg().m_ZelkAdv.TarnNodeRecvBuffSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.DataFileUseTime, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.EnableHttpFilter, 1);
    EXPECT_EQ(Cfg().m_ZelkAdv.HttpFilterList.Get(), "");
}

TEST_F(ConfigManagerTest, OutOfRangeValuesAreReplaced) {
    testenv::WriteFile(ConfigFile("ZelkAdv.conf"),
                       "[global]\nParticleTime=601\nMergeBuffers=0\nMergeBufferSize=0\n"
                       "[TarnNode]\nMaxPackgeSize=11\nTarnNodeSendBuffSize=1024\nTarnNodeRecvBuffSize=-3\n"
                       "[DataFile]\nDataFileUseTime=31\n[InfoRetrieve]\nListenPort=70000\n"
                       "[Network]\nMaxConnection=0\n");
    ASSERT_TRUE(Cfg().LoadConfig("ZelkAdv.conf"));
    EXPECT_EQ(Cfg().m_ZelkAdv.ParticleTime, 30);
    EXPECT_EQ(Cfg().m_ZelkAdv.MergeBuffers, 2);
    EXPECT_EQ(Cfg().m_ZelkAdv.MergeBufferSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.MaxPackgeSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.TarnNodeSendBuffSize, 1024);
    EXPECT_EQ(Cfg().m_ZelkAdv.TarnNodeRecvBuffSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.DataFileUseTime, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.ListenPort, 9509);
    EXPECT_EQ(Cfg().m_ZelkAdv.MaxConnection, 16);

    testenv::WriteFile(ConfigFile("ZelkAdv.conf"),
                       "[Global]\nMergeBufferSize=11\nParticleTime=600\n[TarnNode]\nMaxPackgeSize=0\n"
                       "[Network]\nMaxConnection=64\n[InfoRetrieve]\nListenPort= 65535xyz\n");
    ASSERT_TRUE(Cfg().LoadConfig("ZelkAdv.conf"));
    EXPECT_EQ(Cfg().m_ZelkAdv.MergeBufferSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.ParticleTime, 600);
    EXPECT_EQ(Cfg().m_ZelkAdv.MaxPackgeSize, 10);
    EXPECT_EQ(Cfg().m_ZelkAdv.MaxConnection, 64);
    EXPECT_EQ(Cfg().m_ZelkAdv.ListenPort, 65535);
}

TEST_F(ConfigManagerTest, MissingFileKeepsPreviousValuesAndLogsError) {
    testenv::WriteFile(ConfigFile("Zelk.conf"), "[DatabaseConfig]\nPort=9600\nDataBase=maindb\n");
    ASSERT_TRUE(Cfg().LoadConfig("Zelk.conf"));
    testenv::RemoveFile(ConfigFile("Zelk.conf"));
    EXPECT_FALSE(Cfg().LoadConfig("Zelk.conf"));
    EXPECT_EQ(Cfg().m_Zelk.Port, 9600);
    EXPECT_EQ(Cfg().m_Zelk.DataBase.Get(), "maindb");
    std::string expected = "[ERROR][TID=";
    std::string text = LogText();
    EXPECT_NE(text.find("[CConfigManager][LoadZelkConfig] Cannot Get File Attributes. FileName = " +
                        ConfigFile("Zelk.conf") + " , Err = 2.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(expected), std::string::npos);
}

TEST_F(ConfigManagerTest, StatisticsAndUpdateSqlShareTheErrorMessage) {
    testenv::RemoveFile(ConfigFile("updatesql.conf"));
    testenv::RemoveFile(ConfigFile("statistics.conf"));
    EXPECT_FALSE(Cfg().LoadConfig("updatesql.conf"));
    EXPECT_FALSE(Cfg().LoadConfig("statistics.conf"));
    testenv::RemoveFile(ConfigFile("Logudt.conf"));
    EXPECT_FALSE(Cfg().LoadConfig("Logudt.conf"));
    std::string text = LogText();
    EXPECT_NE(text.find("[LoadStatisticsConfig] Cannot Get File Attributes. FileName = " +
                        ConfigFile("updatesql.conf")),
              std::string::npos);
    EXPECT_NE(text.find("[LoadStatisticsConfig] Cannot Get File Attributes. FileName = " +
                        ConfigFile("statistics.conf")),
              std::string::npos);
    EXPECT_NE(text.find("[LoadLogudtConfig] Cannot Get File Attributes."), std::string::npos);
}

TEST_F(ConfigManagerTest, LoadSpicifyConfigMatchesNamesIgnoringCase) {
    testenv::WriteFile(ConfigFile("Zelk.conf"), "[DatabaseConfig]\nPort=9777\n");
    EXPECT_TRUE(Cfg().LoadSpicifyConfig("ZELK.CONF"));
    EXPECT_EQ(Cfg().m_Zelk.Port, 9777);

    EXPECT_FALSE(Cfg().LoadSpicifyConfig("my.ini"));
    EXPECT_FALSE(Cfg().LoadSpicifyConfig(nullptr));
    EXPECT_FALSE(Cfg().LoadSpicifyConfig(""));
    EXPECT_NE(LogText().find("[WARN][TID="), std::string::npos);
    EXPECT_NE(LogText().find("[CConfigManager][LoadSpicifyConfig] Cannot Find Function To Load my.ini\n"),
              std::string::npos);

    testenv::WriteFile(testenv::InstallDir() + "/mysql/my.ini",
                       "[client]\nport=1\n[mysqld]\nport = 13306\ndatadir=/var/lib/x\nlocal_infile=1\nskip-name-resolve\n");
    EXPECT_TRUE(Cfg().LoadSpicifyConfig("MYSQL/MY.INI"));
    EXPECT_EQ(Cfg().m_MySqld.port, 13306);
    EXPECT_EQ(Cfg().m_MySqld.datadir.Get(), "/var/lib/x");
    EXPECT_EQ(Cfg().m_MySqld.basedir.Get(), "");
}

TEST_F(ConfigManagerTest, LoadConfigWithoutNameLoadsAllAndReportsFailure) {
    // The shipped tree is complete: every loader succeeds.
    for (const char* name : {"Zelk.conf", "ZelkAdv.conf", "ProgramLog.conf", "statistics.conf", "Logudt.conf",
                             "updatesql.conf"}) {
        testenv::WriteFile(ConfigFile(name), testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) +
                                                                "/deploy/install/Zelk/Config/" + name));
    }
    testenv::WriteFile(testenv::InstallDir() + "/mysql/my.ini",
                       testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) + "/deploy/install/mysql/my.ini"));
    EXPECT_TRUE(Cfg().LoadConfig());
    testenv::RemoveFile(ConfigFile("Logudt.conf"));
    EXPECT_FALSE(Cfg().LoadConfig());
    testenv::SetProgramLog(1, 1, 1, 0, 31, 0);
}

TEST_F(ConfigManagerTest, ListFilesReplaceTheirLists) {
    testenv::WriteFile(ConfigFile("statistics.conf"),
                       "[Count]\nTableCount=2\n"
                       "[TableInfo1]\nTableName=flow_day\nStatistCys=60\n[CreateSql1]\ncreate table a (x int)\n"
                       "[StatistSql1]\n; comment first\ncall p(NULL ,now())\nsecond line ignored\n"
                       "[TableInfo2]\nTableName=flow_month\n"
                       "[CleanBaseByTime]\ndelete from t where d < '@'\n[RepairTable]\nrepair table x\n");
    ASSERT_TRUE(Cfg().LoadConfig("statistics.conf"));
    auto tables = Cfg().m_Statistics.Tables.Get();
    ASSERT_EQ(tables->size(), 2u);
    EXPECT_EQ((*tables)[0].TableName, "flow_day");
    EXPECT_EQ((*tables)[0].StatistCys, 60);
    EXPECT_EQ((*tables)[0].SleepTime, 10);
    EXPECT_EQ((*tables)[0].ErrorTime, 10);
    EXPECT_EQ((*tables)[0].StatistTime, 60);
    EXPECT_EQ((*tables)[0].CreateSql, "create table a (x int)");
    EXPECT_EQ((*tables)[0].StatistSql, "call p(NULL ,now())");
    EXPECT_EQ((*tables)[0].CleanStatistSql, "");
    EXPECT_EQ((*tables)[1].StatistCys, 1440);
    EXPECT_EQ(Cfg().m_Statistics.CleanBaseByTime.Get(), "delete from t where d < '@'");
    EXPECT_EQ(Cfg().m_Statistics.RepairTable.Get(), "repair table x");
    EXPECT_EQ(Cfg().m_Statistics.CleanBaseByContent.Get(), "");

    // After an edit only the tables now listed remain; a snapshot taken
    // before the reload is unchanged.
    testenv::WriteFile(ConfigFile("statistics.conf"), "[Count]\nTableCount=1\n[TableInfo1]\nTableName=only\n");
    ASSERT_TRUE(Cfg().LoadConfig("statistics.conf"));
    auto after = Cfg().m_Statistics.Tables.Get();
    ASSERT_EQ(after->size(), 1u);
    EXPECT_EQ((*after)[0].TableName, "only");
    EXPECT_EQ(tables->size(), 2u);
    EXPECT_EQ(Cfg().m_Statistics.CleanBaseByTime.Get(), "");

    testenv::WriteFile(ConfigFile("statistics.conf"), "[Count]\nTableCount=-4\n");
    ASSERT_TRUE(Cfg().LoadConfig("statistics.conf"));
    EXPECT_TRUE(Cfg().m_Statistics.Tables.Get()->empty());
}

TEST_F(ConfigManagerTest, TwelfthStatisticsTableReadsItsOwnSections) {
    std::string text = "[Count]\nTableCount=12\n";
    const char* kinds[] = {"CreateSql", "CreateProcSql", "StatistSql", "CleanStatistByTime", "CleanStatistSql"};
    for (int i = 1; i <= 12; ++i) {
        text += "[TableInfo" + std::to_string(i) + "]\nTableName=t" + std::to_string(i) + "\n";
        for (const char* k : kinds) text += "[" + std::string(k) + std::to_string(i) + "]\n" + k + " " + std::to_string(i) + "\n";
    }
    testenv::WriteFile(ConfigFile("statistics.conf"), text);
    ASSERT_TRUE(Cfg().LoadConfig("statistics.conf"));
    auto tables = Cfg().m_Statistics.Tables.Get();
    ASSERT_EQ(tables->size(), 12u);
    const StatisticsTableInfo& t = (*tables)[11];
    EXPECT_EQ(t.TableName, "t12");
    EXPECT_EQ(t.CreateSql, "CreateSql 12");
    EXPECT_EQ(t.CreateProcSql, "CreateProcSql 12");
    EXPECT_EQ(t.StatistSql, "StatistSql 12");
    EXPECT_EQ(t.CleanStatistByTime, "CleanStatistByTime 12");
    EXPECT_EQ(t.CleanStatistSql, "CleanStatistSql 12");
    EXPECT_EQ((*tables)[0].CreateSql, "CreateSql 1");
}

TEST_F(ConfigManagerTest, LogudtAndUpdateSqlLists) {
    testenv::WriteFile(ConfigFile("Logudt.conf"),
                       "[tablecount]\ncount=2\n[table1]\ntablename=tarnuser\nattributecount=3\n"
                       "attribute1=id;long\nattribute2=name\nattribute3=grpid;long\n[table2]\ntablename=admin\n");
    ASSERT_TRUE(Cfg().LoadConfig("Logudt.conf"));
    auto tables = Cfg().m_Logudt.Tables.Get();
    ASSERT_EQ(tables->size(), 2u);
    EXPECT_EQ((*tables)[0].tablename, "tarnuser");
    EXPECT_EQ((*tables)[0].attributes, (std::vector<std::string>{"id;long", "name", "grpid;long"}));
    EXPECT_TRUE((*tables)[1].attributes.empty());

    testenv::WriteFile(ConfigFile("updatesql.conf"),
                       "[SqlCount]\ncount=3\n[sql1]\nupdate a set b = 1\n[sql3]\ndelete from c\n");
    ASSERT_TRUE(Cfg().LoadConfig("updatesql.conf"));
    auto statements = Cfg().m_UpdateSql.Statements.Get();
    EXPECT_EQ(*statements, (std::vector<std::string>{"update a set b = 1", "", "delete from c"}));
}

TEST_F(ConfigManagerTest, HugeCountsAreHeldWithAWarning) {
    testenv::WriteFile(ConfigFile("updatesql.conf"), "[SqlCount]\ncount=2000000000\n[sql1]\nselect 1\n");
    ASSERT_TRUE(Cfg().LoadConfig("updatesql.conf"));
    auto statements = Cfg().m_UpdateSql.Statements.Get();
    ASSERT_EQ(statements->size(), 4096u);
    EXPECT_EQ((*statements)[0], "select 1");
    EXPECT_NE(LogText().find("[LoadStatisticsConfig] Count 2000000000 Too Large, Using 4096."), std::string::npos);
}

TEST_F(ConfigManagerTest, OverlongValuesAreCutWithAWarning) {
    std::string longPwd(600, 'k');
    std::string longSql = "select '" + std::string(700, 'q') + "'";
    testenv::WriteFile(ConfigFile("Zelk.conf"), "[DatabaseConfig]\nDBPwd=" + longPwd + "\nDBUser=short\n");
    testenv::WriteFile(ConfigFile("updatesql.conf"), "[SqlCount]\ncount=1\n[sql1]\n" + longSql + "\n");
    ASSERT_TRUE(Cfg().LoadConfig("Zelk.conf"));
    ASSERT_TRUE(Cfg().LoadConfig("updatesql.conf"));
    EXPECT_EQ(Cfg().m_Zelk.DBPwd.Get(), std::string(518, 'k'));
    EXPECT_EQ(Cfg().m_Zelk.DBUser.Get(), "short");
    EXPECT_EQ((*Cfg().m_UpdateSql.Statements.Get())[0], longSql.substr(0, 518));
    std::string text = LogText();
    EXPECT_NE(text.find("[WARN]"), std::string::npos);
    EXPECT_NE(text.find("FileName = " + ConfigFile("Zelk.conf") + " , Section = DatabaseConfig , Key = DBPwd"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("FileName = " + ConfigFile("updatesql.conf") + " , Section = sql1"), std::string::npos);
    // The cut value itself is not written to the log.
    EXPECT_EQ(text.find(std::string(100, 'k')), std::string::npos);
}

TEST_F(ConfigManagerTest, ReadersNeverSeeHalfWrittenValues) {
    const std::string a(400, 'a');
    const std::string b(300, 'b');
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    testenv::WriteFile(ConfigFile("ZelkAdv.conf"), "[UserLog]\nHttpFilterList=" + a + "\n");
    testenv::WriteFile(ConfigFile("updatesql.conf"), "[SqlCount]\ncount=2\n");
    ASSERT_TRUE(Cfg().LoadConfig("ZelkAdv.conf"));
    ASSERT_TRUE(Cfg().LoadConfig("updatesql.conf"));
    std::thread reader([&] {
        while (!stop.load()) {
            std::string v = CConfigManager::GetInstance()->m_ZelkAdv.HttpFilterList.Get();
            auto list = CConfigManager::GetInstance()->m_UpdateSql.Statements.Get();
            if (!v.empty() && v != a && v != b) ++bad;
            if (!list->empty() && list->size() != 2 && list->size() != 3) ++bad;
        }
    });
    for (int i = 0; i < 200; ++i) {
        const bool even = i % 2 == 0;
        testenv::WriteFile(ConfigFile("ZelkAdv.conf"), "[UserLog]\nHttpFilterList=" + (even ? a : b) + "\n");
        testenv::WriteFile(ConfigFile("updatesql.conf"),
                           even ? "[SqlCount]\ncount=2\n" : "[SqlCount]\ncount=3\n");
        ASSERT_TRUE(Cfg().LoadConfig("ZelkAdv.conf"));
        ASSERT_TRUE(Cfg().LoadConfig("updatesql.conf"));
    }
    stop.store(true);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
