#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "support/DbEnv.h"
#include "support/TestEnv.h"

namespace {

constexpr char kNode1Md5[] = "00112233445566778899AABBCCDDEEFF";  // stored in upper case on purpose
constexpr char kNode2Md5[] = "ffeeddccbbaa99887766554433221100";

std::string FillerMd5(int i) {
    char text[40];
    std::snprintf(text, sizeof(text), "%032x", 0x1000 + i);
    return text;
}

// One process-wide node list: it is loaded once per process, as in the
// service. dev_node holds two real nodes with databases, then deleted rows,
// then enough live filler rows to pass the 64-node limit.
class SharedNodeDataTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_main = testdb::UniqueName("main");
        s_node1 = testdb::UniqueName("node1");
        s_node2 = testdb::UniqueName("node2");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::CreateDatabase(s_node1, "node.sql");
        testdb::CreateDatabase(s_node2, "node.sql");

        MYSQL* c = testdb::Connect(s_main);
        std::string sql = "insert into dev_node (node_name, secret, md5_secret, db_name, deleted) values ('n1','s1','" +
                          std::string(kNode1Md5) + "','" + s_node1 + "',0), ('gone','s','" + std::string(kNode2Md5) +
                          "','gone_db',1), ('n2','s2','" + kNode2Md5 + "','" + s_node2 + "',0)";
        for (int i = 0; i < 75; ++i) {
            sql += ", ('filler" + std::to_string(i) + "','x','" + FillerMd5(i) + "','filler_db_" + std::to_string(i) +
                   "'," + (i % 10 == 9 ? "3" : "0") + ")";
        }
        testdb::Exec(c, sql);
        testdb::Close(c);

        c = testdb::Connect(s_node1);
        testdb::Exec(c,
                     "set names gbk;"
                     "insert into admin (id, name, pgrpid) values (1, 'Root', 10), (2, 'auditor', 11);"
                     "insert into tarngroup (id, pgrpid) values (10, 0), (20, 10);"
                     "insert into tarnuser (id, name, grpid) values (5, 'Alice', 10), (6, 'bob', 20),"
                     " (0, 'bob', 20), (-1, 'carol', -2000), (7, 'carol', -2000)");
        testdb::Close(c);

        testdb::ConfigureService(s_main);
        CSQLConnManager::GetInstance()->SetRetryDelay(1);
        ASSERT_TRUE(CSQLConnManager::GetInstance()->Init());
        if (Data().NodeCount() == 0) {
            ASSERT_EQ(Data().GetDabaBaseNodeInfo(), 1);
        } else {
            // A repeated run (--gtest_repeat): the list is loaded once per
            // process, so only the directories are read again.
            BYTE id[16];
            for (const char* md5 : {kNode1Md5, kNode2Md5}) {
                Identity(md5, id);
                ASSERT_EQ(Data().GetSpecifyDevNodeInfo(Data().FindNodeInfoIter(nullptr, id)), 1);
            }
        }
    }
    static void TearDownTestSuite() {
        CSQLConnManager::GetInstance()->UnInit();
        for (const std::string& db : {s_main, s_node1, s_node2}) testdb::DropDatabase(db);
    }

    void SetUp() override { m_log = testenv::UseFreshLogDay(); }
    void TearDown() override { TestClock::Reset(); }

    static CGlobalSharedData& Data() { return *CGlobalSharedData::GetInstance(); }
    static void Identity(const char* hex, BYTE out[16]) { ASSERT_TRUE(DecodeHex16(hex, out)); }
    std::string LogText() const { return testenv::ReadFile(m_log); }
    static std::string Scalar(const std::string& db, const std::string& sql) {
        MYSQL* c = testdb::Connect(db);
        std::string v = testdb::Scalar(c, sql);
        testdb::Close(c);
        return v;
    }

    static std::string s_main;
    static std::string s_node1;
    static std::string s_node2;
    std::string m_log;
};

std::string SharedNodeDataTest::s_main;
std::string SharedNodeDataTest::s_node1;
std::string SharedNodeDataTest::s_node2;

TEST_F(SharedNodeDataTest, OnlyLiveRowsAndAtMost64Nodes) {
    EXPECT_TRUE(Data().IsNodeListReady());
    EXPECT_EQ(Data().NodeCount(), 64u);
    EXPECT_EQ(Data().IsKnownDbName(s_node1.c_str()), 1);
    EXPECT_EQ(Data().IsKnownDbName("gone_db"), 0);      // deleted row
    EXPECT_EQ(Data().IsKnownDbName("filler_db_9"), 0);  // deleted row
    EXPECT_EQ(Data().IsKnownDbName("filler_db_67"), 1);  // the 64th live row
    EXPECT_EQ(Data().IsKnownDbName("filler_db_70"), 0);  // beyond the first 64 live rows
    EXPECT_EQ(Data().IsKnownDbName("filler_db_0"), 1);

    BYTE id[16];
    Identity(kNode1Md5, id);
    NodeInfo* node = Data().FindNodeInfoIter(nullptr, id);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->strNodeName, "n1");
    EXPECT_EQ(node->strMd5Secret, "00112233445566778899aabbccddeeff");
    EXPECT_EQ(node->strDbName, s_node1);
    std::string db;
    EXPECT_EQ(Data().GetDbNameByMD5(id, &db), 1);
    EXPECT_EQ(db, s_node1);
}

TEST_F(SharedNodeDataTest, FindNodeChecksNameAndIdentityTogether) {
    BYTE id1[16];
    BYTE id2[16];
    Identity(kNode1Md5, id1);
    Identity(kNode2Md5, id2);
    EXPECT_NE(Data().FindNodeInfoIter(s_node1.c_str(), id1), nullptr);
    EXPECT_NE(Data().FindNodeInfoIter(s_node1.c_str(), nullptr), nullptr);
    EXPECT_EQ(Data().FindNodeInfoIter(s_node1.c_str(), id2), nullptr);
    EXPECT_EQ(Data().FindNodeInfoIter("", id1), nullptr);
    EXPECT_EQ(Data().FindNodeInfoIter(nullptr, nullptr), nullptr);
    EXPECT_NE(LogText().find("[FindNodeInfoIter] Invalid DbName Or MD5! DbName = " + s_node1 +
                             " , MD5 = FFEEDDCCBBAA99887766554433221100\n"),
              std::string::npos)
        << LogText();
}

TEST_F(SharedNodeDataTest, AdministratorsById) {
    BYTE id[16];
    Identity(kNode1Md5, id);
    std::int32_t adminId = 0;
    std::int32_t group = -1;
    EXPECT_EQ(Data().GetAdminInfoEx(s_node1.c_str(), id, "ROOT", &adminId, &group), 1);
    EXPECT_EQ(adminId, 1);
    EXPECT_EQ(group, 10);  // -1 asks for the record's group
    group = 99;
    EXPECT_EQ(Data().GetAdminInfoEx(nullptr, id, "auditor", &adminId, &group), 1);
    EXPECT_EQ(adminId, 2);
    EXPECT_EQ(group, 99);  // a given group is kept
    EXPECT_EQ(Data().GetAdminInfoEx(s_node1.c_str(), id, "nobody", &adminId, &group), 0);
    EXPECT_EQ(adminId, -1);
    EXPECT_NE(LogText().find("[GetAdminInfoEx] Invalid Admin Name! AdminName = nobody\n"), std::string::npos);
    EXPECT_EQ(Data().GetAdminInfoEx(s_node1.c_str(), id, "", &adminId, &group), 0);
}

TEST_F(SharedNodeDataTest, UsersFoundIgnoringCaseAndByGroup) {
    BYTE id[16];
    Identity(kNode1Md5, id);
    std::int32_t user = 0;
    const std::string rowsBefore = Scalar(s_node1, "select count(*) from tarnuser");
    EXPECT_EQ(Data().GetUserInfoEx(s_node1.c_str(), id, "aLiCe", &user, 10), 1);
    EXPECT_EQ(user, 5);
    EXPECT_EQ(Data().GetUserInfoEx(nullptr, id, "BOB", &user, 20), 1);
    EXPECT_EQ(user, 6);  // the gateway's record comes first and ends the search
    // In the free group a service-added record is overridden by a later
    // gateway record of the same name.
    EXPECT_EQ(Data().GetUserInfoEx(s_node1.c_str(), nullptr, "Carol", &user, CGlobalSharedData::kFreeGroupId), 1);
    EXPECT_EQ(user, 7);
    EXPECT_EQ(Scalar(s_node1, "select count(*) from tarnuser"), rowsBefore);  // nothing was added
}

TEST_F(SharedNodeDataTest, NewUsersGetNegativeIdsAndAreFoundFromMemory) {
    BYTE id[16];
    Identity(kNode2Md5, id);
    MYSQL* c = testdb::Connect(s_node2);
    testdb::Exec(c, "insert into tarngroup (id, pgrpid) values (30, 0)");
    testdb::Close(c);
    NodeInfo* node = Data().FindNodeInfoIter(nullptr, id);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(Data().GetSpecifyDevNodeInfo(node), 1);  // picks up the new group

    std::int32_t first = 0;
    std::int32_t second = 0;
    EXPECT_EQ(Data().GetUserInfoEx(s_node2.c_str(), id, "newcomer", &first, 30), 1);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(Data().GetUserInfoEx(s_node2.c_str(), id, "other", &second, CGlobalSharedData::kFreeGroupId), 1);
    EXPECT_EQ(second, -2);
    EXPECT_EQ(Scalar(s_node2, "select count(*) from tarnuser"), "2");

    // Found again from memory: no further row.
    c = testdb::Connect(s_node2);
    testdb::Exec(c, "delete from tarnuser");
    testdb::Close(c);
    std::int32_t again = 0;
    EXPECT_EQ(Data().GetUserInfoEx(s_node2.c_str(), id, "NEWCOMER", &again, 30), 1);
    EXPECT_EQ(again, -1);
    EXPECT_EQ(Scalar(s_node2, "select count(*) from tarnuser"), "0");
}

TEST_F(SharedNodeDataTest, UnknownGroupIsRefusedUnlessFree) {
    BYTE id[16];
    Identity(kNode1Md5, id);
    std::int32_t user = 123;
    EXPECT_EQ(Data().GetUserInfoEx(s_node1.c_str(), id, "stranger", &user, 77), 0);
    EXPECT_NE(LogText().find("[InsertUserInfo] Invalid Group ID = 77.\n"), std::string::npos);
    EXPECT_EQ(Scalar(s_node1, "select count(*) from tarnuser where name = 'stranger'"), "0");
    // The node already holds negative ids (carol's -1 at least): the new id is
    // one below the smallest.
    const int smallest = std::stoi(Scalar(s_node1, "select min(id) from tarnuser"));
    ASSERT_LE(smallest, -1);
    EXPECT_EQ(Data().GetUserInfoEx(s_node1.c_str(), id, "stranger", &user, CGlobalSharedData::kFreeGroupId), 1);
    EXPECT_EQ(user, smallest - 1);
}

TEST_F(SharedNodeDataTest, NamesWithQuotesBackslashesAndGbkAreStoredIntact) {
    BYTE id[16];
    Identity(kNode1Md5, id);
    // 0xD5 0x5C is one GBK character whose second byte is a backslash.
    const std::string names[] = {"o'brien\\x", "\\'", "a\xD5\x5C'b", "\xD6\xD0\xCE\xC4"};
    for (const std::string& name : names) {
        std::int32_t user = 0;
        ASSERT_EQ(Data().GetUserInfoEx(s_node1.c_str(), id, name.c_str(), &user, 10), 1) << name;
        MYSQL* c = testdb::Connect(s_node1);
        std::string stored = testdb::Scalar(c, "select name from tarnuser where id = " + std::to_string(user));
        testdb::Close(c);
        EXPECT_EQ(stored, name);
        std::int32_t again = 0;
        EXPECT_EQ(Data().GetUserInfoEx(s_node1.c_str(), id, name.c_str(), &again, 10), 1);
        EXPECT_EQ(again, user);
    }
    // Reloaded from the table, the names are still the same.
    NodeInfo* node = Data().FindNodeInfoIter(nullptr, id);
    ASSERT_EQ(Data().GetSpecifyDevNodeInfo(node), 1);
    std::int32_t reloaded = 0;
    EXPECT_EQ(Data().GetUserInfoEx(s_node1.c_str(), id, "O'BRIEN\\X", &reloaded, 10), 1);
    EXPECT_LT(reloaded, 0);
}

TEST_F(SharedNodeDataTest, FailedReloadKeepsTheOldCopy) {
    BYTE id[16];
    Identity(kNode1Md5, id);
    NodeInfo* node = Data().FindNodeInfoIter(nullptr, id);
    MYSQL* c = testdb::Connect(s_node1);
    testdb::Exec(c, "rename table admin to admin_away");
    EXPECT_EQ(Data().GetSpecifyDevNodeInfo(node), 0);
    testdb::Exec(c, "rename table admin_away to admin");
    testdb::Close(c);
    EXPECT_NE(LogText().find("[GetSpecifyDevNodeAdminInfo] Fail To Query ErrNo = 1146\n"), std::string::npos);
    std::int32_t adminId = 0;
    std::int32_t group = -1;
    EXPECT_EQ(Data().GetAdminInfoEx(s_node1.c_str(), id, "root", &adminId, &group), 1);
}

TEST_F(SharedNodeDataTest, SyncCounts) {
    BYTE id[16];
    Identity(kNode2Md5, id);
    BYTE unknown[16] = {1, 2, 3};
    EXPECT_EQ(Data().GetNodeSyncCount(id), 0);
    EXPECT_EQ(Data().IsAnyNodeSynced(), 0);
    Data().MarkNodeSynced(id);
    EXPECT_EQ(Data().GetNodeSyncCount(id), 1);
    Data().AddNodeSyncRef(id);
    EXPECT_EQ(Data().GetNodeSyncCount(id), 2);
    Data().MarkNodeSynced(id);  // only 0 becomes 1
    EXPECT_EQ(Data().GetNodeSyncCount(id), 2);
    EXPECT_EQ(Data().IsAnyNodeSynced(), 1);
    Data().ReleaseNodeSyncRef(id);
    Data().ReleaseNodeSyncRef(id);
    EXPECT_EQ(Data().GetNodeSyncCount(id), 0);
    EXPECT_EQ(Data().GetNodeSyncCount(unknown), 0);
    Data().AddNodeSyncRef(nullptr);
    EXPECT_EQ(Data().IsAnyNodeSynced(), 0);
}

TEST(SqlTextTest, EscapingFollowsGbkCharacters) {
    EXPECT_EQ(EscapeSqlGbk("it's"), "it''s");
    EXPECT_EQ(EscapeSqlGbk("a\\b"), "a\\\\b");
    EXPECT_EQ(EscapeSqlGbk("\xD5\x5C"), "\xD5\x5C");         // trail byte left alone
    EXPECT_EQ(EscapeSqlGbk("\xD5'"), "\xD5''");              // not a trail byte
    EXPECT_EQ(EscapeSqlGbk("x\xD5"), "x\xD5");               // lone lead byte at the end
    BYTE out[16];
    EXPECT_TRUE(DecodeHex16("00112233445566778899aabbccddeeff", out));
    EXPECT_EQ(out[15], 0xFF);
    EXPECT_EQ(HexUpper(out, 16), "00112233445566778899AABBCCDDEEFF");
    EXPECT_FALSE(DecodeHex16("0011", out));
    EXPECT_FALSE(DecodeHex16("zz112233445566778899aabbccddeeff", out));
}

}  // namespace
