// Edges of the record task over a real connection: snapshot tables whose
// names resemble another's, record ids past 2^31 logs, replies left over
// when a connection ends, and info syncs that must be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
    // Sends a user snapshot of identity and a keep-alive; returns what came back, of the size the
    // keep-alive's reply alone would have (the sync's reply first, if one wrongly came).
    std::string SyncThenKeepAlive(const BYTE* identity, const std::string& content, const std::string& md5) {
        EXPECT_TRUE(testnet::SendAll(m_peer, testpkt::InfoSync(identity, 1, content, md5) + testpkt::KeepAlive(m_id)));
        return testnet::ReceiveExactly(m_peer, packet::kKeepAliveReplySize, 10000);
    }
    std::string KeepAliveReply() const {
        std::string reply = testpkt::KeepAlive(m_id).substr(0, packet::kHeaderSize) + std::string(4, '\0');
        reply[28] = static_cast<char>(packet::kKeepAliveReplySize);
        return reply;
    }

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

// A sync stores its snapshot only for as long as it is being applied: syncs of unknown nodes, with
// a wrong digest, or over MaxSnapshotSize (1 MiB here) are refused without a reply and leave no
// file in the temporary folder; neither does an applied one.
TEST_F(RecordTaskEdgeTest, InfoSyncsLeaveNoTemporaryFiles) {
    testintake::SetKey("ZelkAdv.conf", "TarnNode", "MaxSnapshotSize", "1");
    auto snapshotFiles = [] {
        const std::vector<std::string> files = testenv::ListFiles(CGlobalSharedData::GetInstance()->GetTempDir());
        return std::count_if(files.begin(), files.end(), [](const std::string& f) { return f.ends_with(".xml"); });
    };
    const std::string user = testintake::kUserSnapshot;
    const std::string big = user + std::string(1 << 20, ' ');
    BYTE unknown[16] = {};
    for (int i = 0; i < 5; ++i) {  // three unknown nodes, a wrong digest, an oversize snapshot
        unknown[0] = static_cast<BYTE>(i + 1);
        const std::string& content = i == 4 ? big : user;
        const std::string md5 = i == 3 ? std::string(32, 'f') : testpkt::Md5Hex(content);
        EXPECT_EQ(SyncThenKeepAlive(i < 3 ? unknown : m_id, content, md5), KeepAliveReply()) << i;
        EXPECT_EQ(snapshotFiles(), 0) << i;
    }
    Sync(user);
    EXPECT_EQ(snapshotFiles(), 0);
    testintake::SetKey("ZelkAdv.conf", "TarnNode", "MaxSnapshotSize", "10");
}

// Snapshots nested past the few levels of the directory format, or with too many elements, are
// refused unparsed (the parser recurses once per level), also when the nesting hides behind
// text that only looks like an end to a careless reader: in attribute values, comments,
// declarations, or behind a quote that a broken UTF-8 character or a character reference steps
// over. The connection goes on.
TEST_F(RecordTaskEdgeTest, DeepOrCrowdedSnapshotsAreRefusedAndTheConnectionGoesOn) {
    auto repeat = [](const std::string& part, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += part;
        return out;
    };
    const std::string snapshots[] = {
        "<content>" + repeat("<a>", 150000),
        "<content><t>" + repeat("<r/>", 200000) + "</t></content>",
        "<content>" + repeat("<a x=\"/>\">", 12),
        "<content>" + repeat("<a><!--</a>-->", 12),
        "<content>" + repeat("<a><?xml version=\"></a>\"?>", 12),
        "<content>" + repeat("<a x=\"\xE0\"/>\">", 12),
        "<content>" + repeat("<a x=\"&#\"/>#1;\">", 12),
    };
    for (const std::string& s : snapshots) {
        EXPECT_EQ(SyncThenKeepAlive(m_id, s, testpkt::Md5Hex(s)), KeepAliveReply()) << s.substr(0, 40);
    }
    Sync(testintake::kUserSnapshot);
    const std::string log = testenv::ReadFile(m_log);
    EXPECT_NE(log.find("[CheckSnapshotShape] Snapshot Nested Deeper Than 8 Levels , Refused\n"), std::string::npos);
    EXPECT_NE(log.find("[CheckSnapshotShape] Snapshot Has More Than 200000 Elements , Refused\n"), std::string::npos);
}

}  // namespace
