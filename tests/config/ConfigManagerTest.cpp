#include "config/ConfigManager.h"
#include "support/Prelude.h"

namespace {

std::string ConfigFile(const std::string& name) { return testenv::ConfigDir() + "/" + name; }

// The manager is a process-wide singleton (brought up with the log by the
// first fresh log day); every test writes the files it needs and loads them,
// and errors are collected in the day's log file.
class ConfigManagerTest : public testenv::LogTest {
protected:
    // The configuration monitor's tests in this program expect the files of
    // the install tree: they are put back, and loaded, after this suite.
    static constexpr const char* kKeptFiles[] = {"Zelk.conf", "ZelkAdv.conf", "statistics.conf", "Logudt.conf",
                                                 "updatesql.conf"};
    static void SetUpTestSuite() {
        for (const char* name : kKeptFiles) s_kept.push_back(testenv::ReadFile(ConfigFile(name)));
    }
    static void TearDownTestSuite() {
        for (size_t i = 0; i < s_kept.size(); ++i) {
            testenv::WriteFile(ConfigFile(kKeptFiles[i]), s_kept[i]);
            CConfigManager::GetInstance()->LoadConfig(kKeptFiles[i]);
        }
    }
    static inline std::vector<std::string> s_kept;

    CConfigManager& Cfg() { return *CConfigManager::GetInstance(); }

    // Writes a file of the config directory and loads it.
    bool Load(const std::string& name, const std::string& text) {
        testenv::WriteFile(ConfigFile(name), text);
        return Cfg().LoadConfig(name.c_str());
    }
};

TEST_F(ConfigManagerTest, EachKeyIsReadFromItsSectionAndAbsentKeysTakeTheirDefaults) {
    const CConfigManager& c = Cfg();
    const struct {
        const char* file;
        const char* section;
        const char* key;
        const ConfigInt& field;
        std::int32_t value;
    } keys[] = {{"Zelk.conf", "DatabaseConfig", "Port", c.m_Zelk.Port, 9501},
                {"Zelk.conf", "ClearRule", "DbCyc", c.m_Zelk.DbCyc, 180},
                {"Zelk.conf", "RepairRule", "EndStrongRepairTime", c.m_Zelk.EndStrongRepairTime, 2},
                {"Zelk.conf", "DiskFreeSpace", "MinFreeSpace", c.m_Zelk.MinFreeSpace, 1024},
                {"ZelkAdv.conf", "Global", "MergeBuffers", c.m_ZelkAdv.MergeBuffers, 2},
                {"ZelkAdv.conf", "UserLog", "EnableHttpFilter", c.m_ZelkAdv.EnableHttpFilter, 1},
                {"ZelkAdv.conf", "SysLog", "EnableLogMerge", c.m_ZelkAdv.SysLogEnableLogMerge, 0},
                {"ZelkAdv.conf", "DataFile", "NoTempTableDataFileSize", c.m_ZelkAdv.NoTempTableDataFileSize, 10}};
    for (const auto& k : keys) {
        ASSERT_TRUE(Load(k.file, "[" + std::string(k.section) + "]\n" + k.key + "=3\n"));
        EXPECT_EQ(k.field, 3) << k.section << "/" << k.key;
        ASSERT_TRUE(Load(k.file, ""));
        EXPECT_EQ(k.field, k.value) << k.section << "/" << k.key;
    }
    // The shipped tree sets every key to its default, and every loader
    // succeeds on it without an error.
    for (const char* name : {"Zelk.conf", "ZelkAdv.conf", "ProgramLog.conf", "statistics.conf", "Logudt.conf",
                             "updatesql.conf"}) {
        testenv::UseSampleConfig(name);
    }
    testenv::WriteFile(testenv::InstallDir() + "/mysql/my.ini",
                       testenv::ReadFile(std::string(VARNHOLT_SOURCE_DIR) + "/deploy/install/mysql/my.ini"));
    EXPECT_TRUE(Cfg().LoadConfig());
    for (const auto& k : keys) EXPECT_EQ(k.field, k.value) << "sample " << k.section << "/" << k.key;
    EXPECT_FALSE(Logged("[ERROR]"));
    testenv::SetProgramLog(1, 1, 1, 0, 31, 0);
}

TEST_F(ConfigManagerTest, OutOfRangeValuesAreReplaced) {
    // The replacement is not always the default (MergeBufferSize, MaxPackgeSize);
    // the defaults of ListenPort, MaxConnection and the buffers show here.
    const CConfigManager& c = Cfg();
    const struct {
        const char* text;
        const ConfigInt& field;
        std::int32_t expected;
    } cases[] = {{"[Global]\nParticleTime=601", c.m_ZelkAdv.ParticleTime, 30},
                 {"[Global]\nParticleTime=600", c.m_ZelkAdv.ParticleTime, 600},
                 {"[global]\nMergeBufferSize=0", c.m_ZelkAdv.MergeBufferSize, 10},
                 {"[TarnNode]\nMaxPackgeSize=11", c.m_ZelkAdv.MaxPackgeSize, 10},
                 {"[TarnNode]\nTarnNodeSendBuffSize=1024", c.m_ZelkAdv.TarnNodeSendBuffSize, 1024},
                 {"[TarnNode]\nTarnNodeRecvBuffSize=-3", c.m_ZelkAdv.TarnNodeRecvBuffSize, 10},
                 {"[InfoRetrieve]\nListenPort=70000", c.m_ZelkAdv.ListenPort, 9509},
                 {"[InfoRetrieve]\nListenPort=65535", c.m_ZelkAdv.ListenPort, 65535},
                 {"[Network]\nMaxConnection=0", c.m_ZelkAdv.MaxConnection, 16}};
    for (const auto& t : cases) {
        ASSERT_TRUE(Load("ZelkAdv.conf", std::string(t.text) + "\n"));
        EXPECT_EQ(t.field, t.expected) << t.text;
    }
}

TEST_F(ConfigManagerTest, FilesAreFoundIgnoringCaseAndMissingOnesAreReported) {
    testenv::WriteFile(ConfigFile("Zelk.conf"), "[DatabaseConfig]\nPort=9600\nDataBase=maindb\n");
    EXPECT_TRUE(Cfg().LoadSpicifyConfig("ZELK.CONF"));
    EXPECT_EQ(Cfg().m_Zelk.Port, 9600);
    EXPECT_FALSE(Cfg().LoadSpicifyConfig("my.ini"));
    EXPECT_TRUE(Logged("[WARN][TID="));
    EXPECT_TRUE(Logged("[CConfigManager][LoadSpicifyConfig] Cannot Find Function To Load my.ini\n"));

    // A missing file keeps the previous values; the update statements are
    // reported under the statistics loader's name.
    const std::pair<const char*, const char*> files[] = {{"Zelk.conf", "LoadZelkConfig"},
                                                         {"updatesql.conf", "LoadStatisticsConfig"},
                                                         {"Logudt.conf", "LoadLogudtConfig"}};
    for (const auto& [file, loader] : files) {
        testenv::RemoveFile(ConfigFile(file));
        EXPECT_FALSE(Cfg().LoadConfig(file));
        EXPECT_TRUE(Logged(std::string("[CConfigManager][") + loader + "] Cannot Get File Attributes. FileName = " +
                           ConfigFile(file) + " , Err = 2.\n"))
            << LogText();
    }
    EXPECT_TRUE(Logged("[ERROR][TID="));
    EXPECT_FALSE(Cfg().LoadConfig());  // every loader runs; the result reports the failures
    EXPECT_EQ(Cfg().m_Zelk.Port, 9600);
    EXPECT_EQ(Cfg().m_Zelk.DataBase.Get(), "maindb");
}

TEST_F(ConfigManagerTest, StatisticsTablesReadTheirOwnSectionsAndReloadsReplaceThem) {
    // Two tables, each with its own five statements (the first line of the
    // section that is no comment); only the first table sets its timing.
    std::string text = "[Count]\nTableCount=2\n[CleanBaseByTime]\ndelete from t where d < '@'\n"
                       "[RepairTable]\nrepair table x\n";
    const char* kinds[] = {"CreateSql", "CreateProcSql", "StatistSql", "CleanStatistByTime", "CleanStatistSql"};
    for (const std::string n : {"1", "2"}) {
        text += "[TableInfo" + n + "]\nTableName=t" + n + (n == "1" ? "\nStatistCys=60\n" : "\n");
        for (const char* k : kinds) text += "[" + std::string(k) + n + "]\n; comment\n" + k + " " + n + "\nignored\n";
    }
    ASSERT_TRUE(Load("statistics.conf", text));
    auto tables = Cfg().m_Statistics.Tables.Get();
    ASSERT_EQ(tables->size(), 2u);
    const StatisticsTableInfo& plain = (*tables)[1];
    EXPECT_EQ(plain.TableName + "|" + plain.CreateSql + "|" + plain.CreateProcSql + "|" + plain.StatistSql + "|" +
                  plain.CleanStatistByTime + "|" + plain.CleanStatistSql,
              "t2|CreateSql 2|CreateProcSql 2|StatistSql 2|CleanStatistByTime 2|CleanStatistSql 2");
    EXPECT_EQ((*tables)[0].StatistCys, 60);
    EXPECT_EQ(std::vector<int>({plain.StatistCys, plain.SleepTime, plain.ErrorTime, plain.StatistTime}),
              std::vector<int>({1440, 10, 10, 60}));
    EXPECT_EQ(Cfg().m_Statistics.CleanBaseByTime.Get(), "delete from t where d < '@'");
    EXPECT_EQ(Cfg().m_Statistics.RepairTable.Get(), "repair table x");

    // After an edit only the tables now listed remain; a snapshot taken
    // before the reload is unchanged.
    ASSERT_TRUE(Load("statistics.conf", "[Count]\nTableCount=1\n[TableInfo1]\nTableName=only\n"));
    auto after = Cfg().m_Statistics.Tables.Get();
    ASSERT_EQ(after->size(), 1u);
    EXPECT_EQ((*after)[0].TableName, "only");
    EXPECT_EQ(tables->size(), 2u);
    EXPECT_EQ(Cfg().m_Statistics.CleanBaseByTime.Get(), "");
}

// Lists follow their counts up to a cap; overlong values are cut with a
// warning.
TEST_F(ConfigManagerTest, ListsAndValuesAreBounded) {
    // A missing section leaves an empty statement in its place.
    ASSERT_TRUE(Load("updatesql.conf", "[SqlCount]\ncount=3\n[sql1]\nupdate a set b = 1\n[sql3]\ndelete from c\n"));
    EXPECT_EQ(*Cfg().m_UpdateSql.Statements.Get(),
              (std::vector<std::string>{"update a set b = 1", "", "delete from c"}));

    // A count beyond any real list is held at 4096, with a warning.
    ASSERT_TRUE(Load("updatesql.conf", "[SqlCount]\ncount=2000000000\n[sql1]\nselect 1\n"));
    auto statements = Cfg().m_UpdateSql.Statements.Get();
    ASSERT_EQ(statements->size(), 4096u);
    EXPECT_EQ((*statements)[0], "select 1");
    EXPECT_TRUE(Logged("[LoadStatisticsConfig] Count 2000000000 Too Large, Using 4096."));

    const std::string longSql = "select '" + std::string(700, 'q') + "'";
    ASSERT_TRUE(Load("Zelk.conf", "[DatabaseConfig]\nDBPwd=" + std::string(600, 'k') + "\nDBUser=short\n"));
    ASSERT_TRUE(Load("updatesql.conf", "[SqlCount]\ncount=1\n[sql1]\n" + longSql + "\n"));
    EXPECT_EQ(Cfg().m_Zelk.DBPwd.Get(), std::string(518, 'k'));
    EXPECT_EQ(Cfg().m_Zelk.DBUser.Get(), "short");
    EXPECT_EQ((*Cfg().m_UpdateSql.Statements.Get())[0], longSql.substr(0, 518));
    EXPECT_TRUE(Logged("FileName = " + ConfigFile("Zelk.conf") + " , Section = DatabaseConfig , Key = DBPwd"))
        << LogText();
    EXPECT_TRUE(Logged("FileName = " + ConfigFile("updatesql.conf") + " , Section = sql1"));
    // The cut value itself is not written to the log.
    EXPECT_FALSE(Logged(std::string(100, 'k')));
}

TEST_F(ConfigManagerTest, ReadersNeverSeeHalfWrittenValues) {
    const std::string a(400, 'a');
    const std::string b(300, 'b');
    ASSERT_TRUE(Load("ZelkAdv.conf", "[UserLog]\nHttpFilterList=" + a + "\n"));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const std::string v = CConfigManager::GetInstance()->m_ZelkAdv.HttpFilterList.Get();
            if (v != a && v != b) ++bad;
        }
    });
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(Load("ZelkAdv.conf", "[UserLog]\nHttpFilterList=" + (i % 2 ? b : a) + "\n"));
    }
    stop.store(true);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
