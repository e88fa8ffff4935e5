#include "support/Prelude.h"

namespace {

constexpr char kNode1Md5[] = "00112233445566778899AABBCCDDEEFF";  // stored in upper case on purpose
constexpr char kNode2Md5[] = "ffeeddccbbaa99887766554433221100";

// dev_node rows between the real nodes and the fillers: the database name
// becomes folder names and SQL, so only plain names make nodes.
struct NamedRow {
    std::string dbName;
    std::string sqlText;  // dbName as a SQL literal's content
    const char* shown;    // how the refusal shows it; null: the row loads
};
const NamedRow kNamedRows[] = {
    {std::string(64, 'd'), std::string(64, 'd'), nullptr},
    {"Db_$9", "Db_$9", nullptr},
    {"../../../../etc/x", "../../../../etc/x", "../../../../etc/x"},
    {"a/b", "a/b", "a/b"},
    {std::string(65, 'd'), std::string(65, 'd'), "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd...(65 bytes)"},
    {"", "", ""},
    {"x'y", "x''y", "x'y"},
    {"tab\there", "tab\there", "tab\\x09here"},
};
std::string NamedRowMd5(size_t i) {
    char md5[40];
    std::snprintf(md5, sizeof(md5), "%032zx", 0x2000 + i);
    return md5;
}

// One process-wide node list: it is loaded once per process, as in the
// service. dev_node holds two real nodes with databases, then deleted rows,
// then enough live filler rows to pass the 64-node limit.
class SharedNodeDataTest : public testenv::LogTest {
protected:
    static void SetUpTestSuite() {
        const std::string loadLog = testenv::UseFreshLogDay();
        s_main = testdb::UniqueName("main");
        s_node1 = testdb::UniqueName("node1");
        s_node2 = testdb::UniqueName("node2");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::CreateDatabase(s_node1, "node.sql");
        testdb::CreateDatabase(s_node2, "node.sql");

        // A site may have widened the column: the service checks the length itself.
        std::string sql = "alter table dev_node modify db_name varchar(200) not null default '';"
                          "insert into dev_node (node_name, secret, md5_secret, db_name, deleted) values ('n1','s1','" +
                          std::string(kNode1Md5) + "','" + s_node1 + "',0), ('gone','s','" + std::string(kNode2Md5) +
                          "','gone_db',1), ('n2','s2','" + kNode2Md5 + "','" + s_node2 + "',0)";
        for (size_t i = 0; i < std::size(kNamedRows); ++i) {
            sql += ", ('named','x','" + NamedRowMd5(i) + "','" + kNamedRows[i].sqlText + "',0)";
        }
        for (int i = 0; i < 75; ++i) {
            char md5[40];
            std::snprintf(md5, sizeof(md5), "%032x", 0x1000 + i);
            sql += ", ('filler" + std::to_string(i) + "','x','" + md5 + "','filler_db_" + std::to_string(i) + "'," +
                   (i % 10 == 9 ? "3" : "0") + ")";
        }
        testdb::ExecIn(s_main, sql);
        testdb::ExecIn(s_node1,
                       "set names gbk;"
                       "insert into admin (id, name, pgrpid) values (1, 'Root', 10), (2, 'auditor', 11);"
                       "insert into tarngroup (id, pgrpid) values (10, 0), (20, 10);"
                       "insert into tarnuser (id, name, grpid) values (5, 'Alice', 10), (6, 'bob', 20),"
                       " (0, 'bob', 20), (-1, 'carol', -2000), (7, 'carol', -2000)");
        ASSERT_TRUE(DecodeHex16(kNode1Md5, s_id1));
        ASSERT_TRUE(DecodeHex16(kNode2Md5, s_id2));
        testdb::ConfigureService(s_main);
        CSQLConnManager::GetInstance()->SetRetryDelay(1);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        if (Data().NodeCount() == 0) {
            s_loadLog = loadLog;
            ASSERT_EQ(Data().GetDabaBaseNodeInfo(), 1);
        } else {
            // A repeated run (--gtest_repeat): the list is loaded once per
            // process, so only the directories are read again.
            for (const BYTE* id : {s_id1, s_id2}) {
                ASSERT_EQ(Data().GetSpecifyDevNodeInfo(Data().FindNodeInfoIter(nullptr, id)), 1);
            }
        }
    }
    static void TearDownTestSuite() {
        CSQLConnManager::GetInstance()->UnInit();
        for (const std::string& db : {s_main, s_node1, s_node2}) testdb::DropDatabase(db);
    }

    static CGlobalSharedData& Data() { return *CGlobalSharedData::GetInstance(); }
    // An administrator lookup on node 1: "found|id|group".
    static std::string Admin(const char* db, const char* name, std::int32_t group = -1) {
        std::int32_t id = 0;
        const int found = Data().GetAdminInfoEx(db, s_id1, name, &id, &group);
        return std::to_string(found) + "|" + std::to_string(id) + "|" + std::to_string(group);
    }
    // A user lookup, which may add the user: the id, or nothing when refused.
    static std::optional<std::int32_t> User(const std::string& db, const BYTE* node, const std::string& name,
                                            std::int32_t group) {
        std::int32_t id = 0;
        if (Data().GetUserInfoEx(db.empty() ? nullptr : db.c_str(), node, name.c_str(), &id, group) != 1) return {};
        return id;
    }

    static inline std::string s_main, s_node1, s_node2;
    static inline std::string s_loadLog;  // the log of the node list's loading
    static inline BYTE s_id1[16], s_id2[16];
};

// Nodes by name and identity; their administrators and users ignoring case.
TEST_F(SharedNodeDataTest, NodesAdministratorsAndUsersAreFoundAndKeptOverAFailedReload) {
    EXPECT_TRUE(Data().IsNodeListReady());
    // Deleted rows are skipped; filler_db_58 is the 64th live row; the six
    // rows with unusable database names are refused, one ERROR line each.
    EXPECT_EQ(Data().NodeCount(), 58u);
    const std::pair<std::string, int> known[] = {{s_node1, 1},       {"filler_db_0", 1}, {"filler_db_58", 1},
                                                 {"filler_db_60", 0}, {"gone_db", 0},     {"filler_db_9", 0}};
    for (const auto& [db, expected] : known) EXPECT_EQ(Data().IsKnownDbName(db.c_str()), expected) << db;
    const std::string loadLog = testenv::ReadFile(s_loadLog);
    for (size_t i = 0; i < std::size(kNamedRows); ++i) {
        const NamedRow& row = kNamedRows[i];
        BYTE id[16];
        ASSERT_TRUE(DecodeHex16(NamedRowMd5(i), id));
        NodeInfo* named = Data().FindNodeInfoIter(nullptr, id);
        EXPECT_EQ(named != nullptr, row.shown == nullptr) << row.dbName;
        if (named != nullptr) {
            EXPECT_EQ(named->strDbName, row.dbName);
        } else {
            EXPECT_EQ(testenv::CountOccurrences(loadLog, " Refused: Invalid DbName = '" + std::string(row.shown) + "'\n"),
                      1u)
                << row.dbName << loadLog;
        }
    }

    NodeInfo* node = Data().FindNodeInfoIter(nullptr, s_id1);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->strNodeName, "n1");
    EXPECT_EQ(node->strMd5Secret, "00112233445566778899aabbccddeeff");
    // Name and identity must belong to the same node; a mismatch is logged.
    EXPECT_EQ(Data().FindNodeInfoIter(s_node1.c_str(), s_id1), node);
    EXPECT_EQ(Data().FindNodeInfoIter(s_node1.c_str(), nullptr), node);
    EXPECT_EQ(Data().FindNodeInfoIter(s_node1.c_str(), s_id2), nullptr);
    EXPECT_TRUE(Logged("[FindNodeInfoIter] Invalid DbName Or MD5! DbName = " + s_node1 + " , MD5 = FFEE...\n"))
        << LogText();

    EXPECT_EQ(Admin(s_node1.c_str(), "ROOT"), "1|1|10");     // -1 asks for the record's group
    EXPECT_EQ(Admin(nullptr, "auditor", 99), "1|2|99");      // a given group is kept
    EXPECT_EQ(Admin(s_node1.c_str(), "nobody", 99), "0|-1|99");
    EXPECT_TRUE(Logged("[GetAdminInfoEx] Invalid Admin Name! AdminName = nobody\n"));

    const std::string rowsBefore = testdb::ScalarIn(s_node1, "select count(*) from tarnuser");
    EXPECT_EQ(User(s_node1, s_id1, "aLiCe", 10), 5);
    EXPECT_EQ(User("", s_id1, "BOB", 20), 6);  // the gateway's record comes first and ends the search
    // In the free group a service-added record is overridden by a later
    // gateway record of the same name.
    EXPECT_EQ(User(s_node1, nullptr, "Carol", CGlobalSharedData::kFreeGroupId), 7);
    EXPECT_EQ(testdb::ScalarIn(s_node1, "select count(*) from tarnuser"), rowsBefore);  // nothing was added

    // A failed reload keeps the old copy.
    testdb::ExecIn(s_node1, "rename table admin to admin_away");
    EXPECT_EQ(Data().GetSpecifyDevNodeInfo(Data().FindNodeInfoIter(nullptr, s_id1)), 0);
    testdb::ExecIn(s_node1, "rename table admin_away to admin");
    EXPECT_TRUE(Logged("[GetSpecifyDevNodeAdminInfo] Fail To Query ErrNo = 1146\n"));
    EXPECT_EQ(Admin(s_node1.c_str(), "root"), "1|1|10");
}

TEST_F(SharedNodeDataTest, NewUsersGetIdsBelowTheSmallestOnlyInKnownGroups) {
    testdb::ExecIn(s_node2, "insert into tarngroup (id, pgrpid) values (30, 0)");
    ASSERT_EQ(Data().GetSpecifyDevNodeInfo(Data().FindNodeInfoIter(nullptr, s_id2)), 1);  // picks up the new group
    EXPECT_EQ(User(s_node2, s_id2, "stranger", 77), std::nullopt);
    EXPECT_TRUE(Logged("[InsertUserInfo] Invalid Group ID = 77.\n"));
    EXPECT_EQ(User(s_node2, s_id2, "newcomer", 30), -1);
    EXPECT_EQ(User(s_node2, s_id2, "other", CGlobalSharedData::kFreeGroupId), -2);
    EXPECT_EQ(testdb::ScalarIn(s_node2, "select count(*) from tarnuser"), "2");
    // Found again from memory: no further row.
    testdb::ExecIn(s_node2, "delete from tarnuser");
    EXPECT_EQ(User(s_node2, s_id2, "NEWCOMER", 30), -1);
    EXPECT_EQ(testdb::ScalarIn(s_node2, "select count(*) from tarnuser"), "0");

    // Negative ids loaded from the table (carol's -1 at least) count too.
    const int smallest = std::stoi(testdb::ScalarIn(s_node1, "select min(id) from tarnuser"));
    ASSERT_LE(smallest, -1);
    EXPECT_EQ(User(s_node1, s_id1, "stranger", CGlobalSharedData::kFreeGroupId), smallest - 1);
}

// A node adds at most MaxNewUsersPerMinute unseen names a minute (tick
// clock); the rest are refused like names that cannot be added and one
// warning a minute counts them. The additions share one connection, and the
// node's known names are still found while an addition waits on the table.
TEST_F(SharedNodeDataTest, NewNamesAreBoundedPerMinuteOnOneConnectionWithoutBlockingLookups) {
    CConfigManager::GetInstance()->m_ZelkAdv.MaxNewUsersPerMinute.Set(3);
    testdb::ExecIn(s_node2,
                   "create table added_by (conn bigint);"
                   "create trigger note_added after insert on tarnuser for each row"
                   " insert into added_by values (connection_id())");
    TestClock::AdvanceTicks(60000);  // a minute of its own
    const std::string warning = "[InsertUserInfo] Too Many New Users. DbName = " + s_node2 + " , Limit = 3 Per Minute";
    const struct {
        std::uint32_t advanceMs;
        const char* name;
        bool added;                // else it keeps the writer's fallback id 0
        const char* refusedSoFar;  // the warning this name writes, if any
    } steps[] = {
        {0, "u0", true, nullptr},     {0, "u1", true, nullptr},  {0, "u2", true, nullptr},
        {0, "u3", false, "1"},        {0, "u4", false, nullptr}, {0, "U0", true, nullptr},  // known: from memory
        {0, "u5", false, nullptr},    {60000, "u6", true, "2"},
    };
    std::string expectedWarnings;
    for (const auto& step : steps) {
        TestClock::AdvanceTicks(step.advanceMs);
        const std::optional<std::int32_t> id = User(s_node2, s_id2, step.name, CGlobalSharedData::kFreeGroupId);
        ASSERT_TRUE(id.has_value()) << step.name;
        EXPECT_EQ(*id < 0, step.added) << step.name;
        if (step.refusedSoFar != nullptr) expectedWarnings += warning + " , Refused = " + step.refusedSoFar + "\n";
    }
    std::string warnings;
    for (const auto& line : testenv::SplitLines(LogText())) {
        if (line.find(warning) != std::string::npos) warnings += line.substr(line.find("[InsertUserInfo]")) + "\n";
    }
    EXPECT_EQ(warnings, expectedWarnings);
    EXPECT_EQ(testdb::ScalarIn(s_node2, "select count(*) from added_by"), "4");
    EXPECT_EQ(testdb::ScalarIn(s_node2, "select count(distinct conn) from added_by"), "1");

    // Another thread's addition waits on the locked table; lookups go on.
    MYSQL* holder = testdb::Connect(s_node2);
    testdb::Exec(holder, "lock tables tarnuser write");
    std::thread adder([] { User(s_node2, s_id2, "late", CGlobalSharedData::kFreeGroupId); });
    EXPECT_TRUE(testenv::WaitFor([] {
        return testdb::ScalarIn("", "select count(*) from information_schema.processlist where db = '" + s_node2 +
                                        "' and state like 'Waiting for table%'") != "0";
    }, 5000));
    std::atomic<bool> found{false};
    std::thread reader([&found] { found = User(s_node2, s_id2, "u1", CGlobalSharedData::kFreeGroupId).has_value(); });
    EXPECT_TRUE(testenv::WaitFor([&found] { return found.load(); }, 2000));
    testdb::Exec(holder, "unlock tables");
    adder.join();
    reader.join();
    testdb::Close(holder);
    EXPECT_EQ(testdb::ScalarIn(s_node2, "select count(*) from tarnuser where name = 'late'"), "1");
    testdb::ExecIn(s_node2, "drop trigger note_added; drop table added_by");
    CConfigManager::GetInstance()->m_ZelkAdv.MaxNewUsersPerMinute.Set(100);
}

TEST_F(SharedNodeDataTest, NamesWithQuotesBackslashesAndGbkAreStoredIntact) {
    // 0xD5 0x5C is one GBK character whose second byte is a backslash.
    const std::pair<std::string, std::string> escapes[] = {
        {"it's", "it''s"},
        {"a\\b", "a\\\\b"},
        {"\xD5\x5C", "\xD5\x5C"},  // trail byte left alone
        {"\xD5'", "\xD5''"},       // not a trail byte
        {"x\xD5", "x\xD5"},        // lone lead byte at the end
    };
    for (const auto& [text, escaped] : escapes) EXPECT_EQ(EscapeSqlGbk(text), escaped) << text;
    for (const std::string name : {"o'brien\\x", "\\'", "a\xD5\x5C'b", "\xD6\xD0\xCE\xC4"}) {
        const std::optional<std::int32_t> user = User(s_node1, s_id1, name, 10);
        ASSERT_TRUE(user.has_value()) << name;
        EXPECT_EQ(testdb::ScalarIn(s_node1, "select name from tarnuser where id = " + std::to_string(*user)), name);
        EXPECT_EQ(User(s_node1, s_id1, name, 10), user);
    }
    // Reloaded from the table, the names are still the same.
    ASSERT_EQ(Data().GetSpecifyDevNodeInfo(Data().FindNodeInfoIter(nullptr, s_id1)), 1);
    EXPECT_LT(User(s_node1, s_id1, "O'BRIEN\\X", 10).value_or(0), 0);
}

TEST_F(SharedNodeDataTest, SyncCountsMarkOnceAndFollowReferences) {
    BYTE unknown[16] = {1, 2, 3};
    // A node's count, and whether any node counts as synchronised.
    auto state = [](const BYTE* id) { return std::make_tuple(Data().GetNodeSyncCount(id), Data().IsAnyNodeSynced()); };
    EXPECT_EQ(Data().IsAnyNodeSynced(), 0);
    Data().MarkNodeSynced(s_id2);
    Data().AddNodeSyncRef(s_id2);
    Data().MarkNodeSynced(s_id2);  // only 0 becomes 1
    EXPECT_EQ(state(s_id2), std::make_tuple(2, 1));
    Data().ReleaseNodeSyncRef(s_id2);
    EXPECT_EQ(state(s_id2), std::make_tuple(1, 1));
    Data().ReleaseNodeSyncRef(s_id2);
    EXPECT_EQ(state(s_id2), std::make_tuple(0, 0));
    Data().AddNodeSyncRef(unknown);
    EXPECT_EQ(state(unknown), std::make_tuple(0, 0));
}

}  // namespace
