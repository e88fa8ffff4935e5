// Edges of the record task over a real connection: snapshot tables whose
// names resemble another's, record ids past 2^31 logs, and replies left over
// when a connection ends.
#include <gtest/gtest.h>

#include <string>

#include "config/ConfigManager.h"
#include "db/GlobalSharedData.h"
#include "db/SqlText.h"
#include "protocol/PacketFormat.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

constexpr char kMd5[] = "5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e";

class RecordTaskEdgeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();  // brings the configuration up
        testenv::WriteFile(testenv::ConfigDir() + "/Logudt.conf",
                           "[tablecount]\ncount=3\n"
                           "[table1]\ntablename=tarnuser\nattributecount=3\nattribute1=id\nattribute2=name\n"
                           "attribute3=grpid\n"
                           "[table2]\ntablename=tarngroup\nattributecount=2\nattribute1=id\nattribute2=pgrpid\n"
                           "[table3]\ntablename=tarnuserext\nattributecount=2\nattribute1=id\nattribute2=name\n");
        testenv::WriteFile(testenv::ConfigDir() + "/updatesql.conf", "[SqlCount]\ncount=0\n");
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("Logudt.conf"));
        ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("updatesql.conf"));
        s_service.Open("edge", kMd5);
        Exec("create table tarnuserext (id int, name varchar(64))");
    }
    static void TearDownTestSuite() { s_service.Close(); }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        DecodeHex16(kMd5, m_id);
        m_peer = testnet::Connect(s_service.port);
        ASSERT_GE(m_peer, 0);
    }
    void TearDown() override { testnet::Close(m_peer); }

    static void Exec(const std::string& sql) { testdb::ExecIn(s_service.nodeDb, sql); }
    static std::string Scalar(const std::string& sql) { return testdb::ScalarIn(s_service.nodeDb, sql); }
    void Sync(const std::string& content) { ASSERT_TRUE(testintake::SyncUsers(m_peer, m_id, content)); }

    static inline testintake::Service s_service;
    std::string m_log;
    BYTE m_id[16];
    int m_peer = -1;
};

// Only the user table itself keeps the service's own users (id 0 and
// below); a table whose name merely begins like it is replaced as a whole,
// and the user table is left alone.
TEST_F(RecordTaskEdgeTest, SnapshotOfATableNamedLikeTheUserTableReplacesOnlyThatTable) {
    Exec("delete from tarnuserext; insert into tarnuserext values (99, 'old')");
    Sync(testintake::kUserSnapshot);
    Sync("<?xml version=\"1.0\"?><content><tarnuserext><row id=\"5\" name=\"new\"/></tarnuserext></content>");
    EXPECT_EQ(Scalar("select group_concat(id) from tarnuserext"), "5");
    EXPECT_EQ(Scalar("select count(*) from tarnuser where name = 'alice'"), "1");
}

// The low word of a record id is the process-wide log counter modulo
// 2^31 - 1; past 2^31 logs the counter wraps without making it negative.
TEST_F(RecordTaskEdgeTest, RecordIdsStayWholePastTwoToTheThirtyFirstLog) {
    Sync(testintake::kUserSnapshot);
    Exec("delete from usrbasiclog");
    CGlobalSharedData::GetInstance()->SetLogCounter(2147483646);
    std::string stream;
    for (int i = 0; i < 3; ++i) stream += testpkt::UserV1(m_id, 1, "alice", "login");
    ASSERT_TRUE(testnet::SendAll(m_peer, stream + testpkt::KeepAlive(m_id)));
    ASSERT_EQ(testnet::ReceiveExactly(m_peer, packet::kKeepAliveReplySize, 10000).size(),
              size_t{packet::kKeepAliveReplySize});
    testnet::Close(m_peer);  // the writer flushes at the end of the connection
    m_peer = -1;
    ASSERT_TRUE(testenv::WaitFor([] { return Scalar("select count(*) from usrbasiclog") == "3"; }, 10000));
    EXPECT_EQ(Scalar("select group_concat(record_id & 4294967295 order by record_id & 4294967295) from usrbasiclog"),
              "0,1,2");
}

// Keep-alives still waiting when the peer has gone cannot be answered: the
// task reports how many replies it dropped instead of losing them silently.
TEST_F(RecordTaskEdgeTest, RepliesDroppedAtTheEndOfAConnectionAreReported) {
    std::string stream;
    for (int i = 0; i < 20000; ++i) stream += testpkt::KeepAlive(m_id);
    ASSERT_TRUE(testnet::SendAll(m_peer, stream));
    testnet::Close(m_peer);
    m_peer = -1;
    EXPECT_TRUE(testenv::WaitFor(
        [&] { return testenv::ReadFile(m_log).find("Reply Packet(s) Not Sent , The Connection Is Closing") !=
                     std::string::npos; },
        20000));
}

}  // namespace
