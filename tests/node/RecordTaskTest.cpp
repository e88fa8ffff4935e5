// The record task driven over a real connection: a listener, a synchronised
// and an unsynchronised node registered in dev_node with databases of their
// own, and a test client as the node. Framing, checks, info syncs and every
// log type to its row; then the edges: snapshot tables whose names resemble
// another's, record ids past 2^31 logs, replies left over when a connection
// ends, and info syncs that must be refused.
#include "config/ConfigManager.h"
#include "db/GlobalSharedData.h"
#include "db/SqlText.h"
#include "core/InfoCounters.h"
#include "node/TarnNodeManager.h"
#include "support/IntakeTest.h"
#include "support/WriterRecords.h"

namespace {

constexpr char kSyncedMd5[] = "a1b2c3d4e5f60718293a4b5c6d7e8f90";
constexpr char kUnsyncedMd5[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

const char kUserSnapshot[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<content>"
    "<tarnuser><row id=\"1\" name=\"alice\" grpid=\"10\" description=\"first\"/>"
    "<row id=\"2\" name=\"bob\" grpid=\"10\" description=\"second\"/>"
    "<row id=\"3\" name=\"no description\" grpid=\"10\"/></tarnuser>"
    "<tarngroup><row id=\"10\" pgrpid=\"0\" name=\"staff\"/></tarngroup>"
    "<tarnrc><row id=\"9\" name=\"ignored\"/></tarnrc></content>";

const char kAdminSnapshot[] = "<?xml version=\"1.0\"?><oskarifileRoot><filecontent><CtrlManagerList>"
                              "<a id=\"1\" name=\"root\" pgrpid=\"0\" login_ip=\"16777226\"/>"
                              "</CtrlManagerList><CtrlManagerEmpty/></filecontent></oskarifileRoot>";

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

class RecordTaskTest : public ::testing::Test {
protected:
    // The unsynchronised node has a database of its own.
    static void SetUpTestSuite() {
        s_service.Open("proto", kSyncedMd5, nullptr, [] {
            testdb::CreateDatabase(s_otherDb, "node.sql");
            testdb::RegisterNode(s_service.mainDb, "gw2", kUnsyncedMd5, s_otherDb);
            testdb::ExecIn(s_nodeDb, "insert into tarnuser (id, name, grpid) values (0, 'kept-zero', 10), (-3, "
                                     "'kept-negative', 10), (44, 'replaced', 10); insert into tarnrc (id, name) "
                                     "values (1, 'not configured'); create table tarnuserext (id int, name "
                                     "varchar(64))");
            const std::string config = testenv::ConfigDir();
            testenv::WriteFile(config + "/Logudt.conf",
                               "[tablecount]\ncount=4\n[table1]\ntablename=tarnuser\nattributecount=4\nattribute1=id\n"
                               "attribute2=name\nattribute3=grpid\nattribute4=description\n[table2]\n"
                               "tablename=tarngroup\nattributecount=3\nattribute1=id\nattribute2=pgrpid\n"
                               "attribute3=name\n[table3]\ntablename=Admin\nattributecount=4\nattribute1=id\n"
                               "attribute2=name\nattribute3=pgrpid\nattribute4=login_ip;ulong\n[table4]\n"
                               "tablename=tarnuserext\nattributecount=2\nattribute1=id\nattribute2=name\n");
            testenv::WriteFile(config + "/updatesql.conf", "[SqlCount]\ncount=0\n");
            ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("Logudt.conf"));
            ASSERT_TRUE(CConfigManager::GetInstance()->LoadConfig("updatesql.conf"));
            testintake::SetKey("ZelkAdv.conf", "TarnNode", "DumpInvalidLog", "1");
        });
    }
    static void TearDownTestSuite() {
        s_service.Close();
        testdb::DropDatabase(s_otherDb);
    }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        DecodeHex16(kSyncedMd5, m_synced);
        DecodeHex16(kUnsyncedMd5, m_unsynced);
        m_peer = testnet::Connect(s_port);
        ASSERT_GE(m_peer, 0);
    }
    void TearDown() override { testnet::Close(m_peer); }

    std::string LogText() const { return testenv::ReadFile(m_log); }
    std::string Reply(size_t n, unsigned timeoutMs = 5000) { return testnet::ReceiveExactly(m_peer, n, timeoutMs); }
    bool LogHas(const std::string& text, unsigned timeoutMs = 5000) {
        return testenv::WaitFor([&] { return LogText().find(text) != std::string::npos; }, timeoutMs);
    }
    // The first row of a query on the synced node's database, columns joined by '|'.
    static std::string Row(const std::string& sql) { return testintake::Row(s_nodeDb, sql); }
    // Ends the connection; its end flushes every cache of the record task.
    void Hangup() {
        testnet::Close(m_peer);
        m_peer = -1;
    }

    // A record of the synced node, its header filled in.
    template <class Record>
    Record Make(std::uint32_t type) const {
        Record r{};
        testpkt::FillHeader(&r.header, m_synced, type, sizeof(Record));
        return r;
    }
    // Syncs the first node with a user snapshot; returns the reply.
    std::string SyncUsers(const std::string& content, const std::string& md5Text, unsigned timeoutMs = 5000) {
        EXPECT_TRUE(testnet::SendAll(m_peer, testpkt::InfoSync(m_synced, 1, content, md5Text)));
        return Reply(packet::kInfoSyncReplySize, timeoutMs);
    }
    void Sync(const std::string& content = kUserSnapshot) {
        ASSERT_TRUE(testintake::SyncUsers(m_peer, m_synced, content));
    }
    // Sends a user snapshot of identity and a keep-alive; returns what came back, of the size the
    // keep-alive's reply alone would have (the sync's reply first, if one wrongly came).
    std::string SyncThenKeepAlive(const BYTE* identity, const std::string& content, const std::string& md5) {
        EXPECT_TRUE(testnet::SendAll(m_peer, testpkt::InfoSync(identity, 1, content, md5) +
                                                 testpkt::KeepAlive(m_synced)));
        return Reply(packet::kKeepAliveReplySize, 10000);
    }
    std::string KeepAliveReply() const {
        std::string reply = testpkt::KeepAlive(m_synced).substr(0, packet::kHeaderSize) + std::string(4, '\0');
        reply[28] = static_cast<char>(packet::kKeepAliveReplySize);
        return reply;
    }

    static inline testintake::Service s_service;
    static inline const std::string& s_nodeDb = s_service.nodeDb;
    static inline const std::uint16_t& s_port = s_service.port;
    static inline const std::string s_otherDb = testdb::UniqueName("proto_other");
    std::string m_log;
    BYTE m_synced[16], m_unsynced[16];
    int m_peer = -1;
};

TEST_F(RecordTaskTest, FramingSurvivesMarksInMessagesGarbageAndBadLengths) {
    // A keep-alive is answered with its own header, the length set to 46,
    // and a zero word; the test packet's mark is echoed.
    const std::string ka = testpkt::KeepAlive(m_unsynced);
    ASSERT_TRUE(testnet::SendAll(m_peer, ka + testpkt::TestKeepAlive()));
    std::string expected = ka.substr(0, 42) + std::string(4, '\0') + "ZZORBBIINNTEST";
    expected[28] = 46;
    EXPECT_EQ(Reply(packet::kKeepAliveReplySize + packet::kTestMarkSize), expected);

    // A kind-2 packet whose message holds the kind-1 mark, then the reverse,
    // then keep-alives of both kinds: every packet is taken whole, once (the
    // node has not synced, so each user log is dropped) and no byte skipped.
    const std::string marks = testpkt::UserV1(m_unsynced, 1, "dave", "look: logs1111 and more logs1111", 2) +
                              testpkt::UserV1(m_unsynced, 1, "erin", "and logs0500 here", 1) +
                              testpkt::KeepAlive(m_unsynced, 1, 2) + testpkt::KeepAlive(m_unsynced, 1, 1);
    ASSERT_TRUE(testnet::SendAll(m_peer, marks));
    EXPECT_EQ(Reply(92).size(), 92u);
    EXPECT_EQ(testenv::CountOccurrences(LogText(), "[Deal_User_Log] Sync Not Ready , Drop Packge!\n"), 2u);
    EXPECT_EQ(LogText().find("[DUMP]"), std::string::npos);

    // Ten garbage bytes, then a packet: the bytes are dumped and skipped.
    ASSERT_TRUE(testnet::SendAll(m_peer, std::string("GARBAGE!!!") + ka));
    EXPECT_EQ(Reply(46).size(), 46u);
    EXPECT_TRUE(LogHas("47 41 52 42 41 47 45 21 21 21")) << LogText();

    // A length below the header or above MaxPackgeSize (5 MiB) costs exactly
    // the 42 header bytes; the connection never waits for the announced rest.
    for (std::uint32_t length : {41u, 5u * 1024 * 1024 + 1}) {
        std::string bad = ka.substr(0, 42);
        std::memcpy(bad.data() + 28, &length, 4);
        ASSERT_TRUE(testnet::SendAll(m_peer, bad + ka));
        EXPECT_EQ(Reply(46).size(), 46u) << length;
        EXPECT_TRUE(LogHas("[ProcessLogData] Recv Error DataHead m_DataLen = " + std::to_string(length) + "\n"));
    }
}

TEST_F(RecordTaskTest, InversionAndFieldChecks) {
    // Inverted like the plain packet: answered.
    ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::Invert(testpkt::KeepAlive(m_unsynced, 2))));
    EXPECT_EQ(Reply(46).size(), 46u);
    // DevType 3 is rejected, inverted or not: no reply.
    ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::Invert(testpkt::KeepAlive(m_unsynced, 3))));
    ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::KeepAlive(m_unsynced, 3)));
    EXPECT_EQ(Reply(46, 500).size(), 0u);
    EXPECT_TRUE(LogHas("[Check_KeepAlive_Log] Wrong KeepAlive Packge DevType\n"));
    // A UserV3 packet of 823 bytes is rejected.
    packet::PacketHeader h{};
    testpkt::FillHeader(&h, m_unsynced, packet::LOG_USER_V3, 823);
    ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::Bytes(h) + std::string(823 - sizeof(h), '\0')));
    EXPECT_TRUE(LogHas("[Check_UserV3_Log] Wrong UserLogV3 Packge Size = 823 Correct = 824\n"));
}

TEST_F(RecordTaskTest, KeepAliveConnectionsNeverMakeANodeLookSynchronised) {
    // A connection that never synced must not release a sync reference when
    // it ends: the node stays unsynchronised.
    for (int i = 0; i < 3; ++i) {
        int peer = testnet::Connect(s_port);
        ASSERT_TRUE(testnet::SendAll(peer, testpkt::KeepAlive(m_unsynced)));
        EXPECT_EQ(testnet::ReceiveExactly(peer, 46, 5000).size(), 46u);
        testnet::Close(peer);
    }
    ASSERT_TRUE(testenv::WaitFor([] { return CTarnNodeManager::GetInstance()->NodeCount() <= 1; }, 10000));
    EXPECT_EQ(CGlobalSharedData::GetInstance()->GetNodeSyncCount(m_unsynced), 0);
}

TEST_F(RecordTaskTest, PacketsAcrossTheRingWrapAreCopiedOutWhole) {
    // A 1 MiB receive ring and thousands of 5,166-byte alarms: some of them
    // straddle the wrap point and are read through the linear buffer.
    testintake::SetKey("ZelkAdv.conf", "TarnNode", "TarnNodeRecvBuffSize", "1");
    int peer = testnet::Connect(s_port);
    const std::uint64_t before = GetInfoCounter(INFO_COUNTER_ALARM);
    constexpr int kAlarms = 1500;
    std::string stream;
    for (int i = 0; i < kAlarms; ++i) {
        packet::AlarmRecord a{};
        testpkt::FillHeader(&a.header, m_unsynced, packet::LOG_ALARM, packet::kAlarmSize, 1 + i % 2);
        stream += testpkt::Bytes(a);
    }
    for (size_t at = 0; at < stream.size(); at += 30011) ASSERT_TRUE(testnet::SendAll(peer, stream.substr(at, 30011)));
    EXPECT_TRUE(testenv::WaitFor(
        [&] { return GetInfoCounter(INFO_COUNTER_ALARM) - before == kAlarms; }, 20000))
        << GetInfoCounter(INFO_COUNTER_ALARM) - before;
    testnet::Close(peer);
    testintake::SetKey("ZelkAdv.conf", "TarnNode", "TarnNodeRecvBuffSize", "10");
    EXPECT_TRUE(LogHas("[ProcessLogData] Need To Call RingCache2LinearityBuff To Make Buff Linearity."));
}

TEST_F(RecordTaskTest, InfoSyncReplacesConfiguredTablesExactlyThenLogsAreTaken) {
    // Row 7 adds quotes of both kinds, backslashes, and text far longer than
    // 1,023 bytes once converted to GBK.
    std::string longName, gbkName;
    for (int i = 0; i < 250; ++i) longName += "\xE4\xB8\xAD";  // 250 x U+4E2D
    for (int i = 0; i < 250; ++i) gbkName += "\xD6\xD0";
    std::string content = kUserSnapshot;
    content.insert(content.find("</tarnuser>"),
                   "<row id=\"7\" name=\"a'b&quot;c\\d\\'e\\&quot;\" grpid=\"10\" description=\"" + longName + "\"/>");

    // One wrong byte of the digest: no reply.
    std::string wrong = testpkt::Md5Hex(content);
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
    EXPECT_EQ(SyncUsers(content, wrong, 500).size(), 0u);
    EXPECT_TRUE(LogHas("[Deal_LogudtDB_Log] Local Logudt Data MD5 Not The Same As Server Send\n"));

    // An upper-case digest matches and is answered in lower case.
    std::string reply = SyncUsers(content, testpkt::Md5Hex(content, true));
    ASSERT_EQ(reply.size(), 74u);
    EXPECT_EQ(reply[28], 74);  // the length field
    EXPECT_EQ(reply.substr(42, 32), testpkt::Md5Hex(content));
    // Rows without a configured attribute are skipped; tables not configured
    // are left alone.
    EXPECT_EQ(Row("select group_concat(id order by id) from tarnuser"), "-3,0,1,2,7");
    EXPECT_EQ(Row("select count(*) from tarngroup"), "1");
    EXPECT_EQ(Row("select group_concat(name) from tarnrc"), "not configured");
    EXPECT_TRUE(LogHas("[BuildSql] Cannot Find Attribute Name = description\n"));
    EXPECT_EQ(Row("select name, description from tarnuser where id = 7"), "a'b\"c\\d\\'e\\\"|" + gbkName);

    // The digest form without leading zeros matches too, and is what comes back.
    std::string padded = content + "<!-- x -->";
    for (int i = 0; i < 200 && testpkt::Md5Hex(padded, false, true).size() == 32; ++i) padded += " ";
    const std::string shortForm = testpkt::Md5Hex(padded, false, true);
    ASSERT_LT(shortForm.size(), 32u) << "no digest with a byte below 0x10 found";
    reply = SyncUsers(padded, shortForm);
    ASSERT_EQ(reply.size(), 74u);
    EXPECT_EQ(reply.substr(42, shortForm.size() + 1), shortForm + '\0');

    // After the sync the node's logs are accepted and written.
    ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::UserV1(m_synced, 1, "alice", "after sync")));
    Hangup();
    EXPECT_TRUE(testenv::WaitFor(
        [&] { return Row("select count(*) from usrbasiclog where message = 'after sync'") == "1"; }, 5000));
}

// End to end: the logs of a synchronised node, of every type, become rows of
// its database, text converted to GBK and never cut.
TEST_F(RecordTaskTest, EveryLogTypeBecomesItsRowInGbkAndUncut) {
    ASSERT_EQ(SyncUsers(kUserSnapshot, testpkt::Md5Hex(kUserSnapshot)).size(), 74u);
    ASSERT_TRUE(testnet::SendAll(m_peer,
                                 testpkt::InfoSync(m_synced, 0, kAdminSnapshot, testpkt::Md5Hex(kAdminSnapshot))));
    ASSERT_EQ(Reply(74).size(), 74u);
    // The snapshot gives 10.0.0.1 in network order (16777226); the address
    // itself is stored.
    EXPECT_EQ(Row("select login_ip from admin where id = 1"), "167772161");
    testdb::ExecIn(s_nodeDb, "delete from usrflowlog; delete from usrbasiclog; delete from usrsvrlog;"
                             "delete from adt_log; delete from alarm_log; delete from syslog; delete from dev_stat");

    std::string stream;
    // The users' client is 192.168.0.7, their server 10.0.0.9:443.
    auto flow = testpkt::User<packet::UserRecordV3>(m_synced, packet::LOG_USER_V3, 2, "alice", "");
    flow.upFlux = 100;
    flow.downFlux = 200;
    flow.rawUpFlux = 300;
    flow.rawDownFlux = 5000000000LL;
    stream += testpkt::Bytes(flow);
    auto access = testpkt::User<packet::UserRecordV1>(m_synced, packet::LOG_USER, 3, "ALICE", "opened it's \\ path");
    access.common.serviceType = 2;
    access.common.serverAttribute = 1;
    stream += testpkt::Bytes(access);
    // A user the gateway never listed, named in Chinese.
    auto login = testpkt::User<packet::UserRecordV2>(m_synced, packet::LOG_USER_V2, 1, "\xE4\xB8\xAD\xE6\x96\x87",
                                                     "\xE4\xB8\xAD chinese");  // "中文"
    stream += testpkt::Bytes(login);
    auto admin = Make<packet::AdminRecord>(packet::LOG_ADMIN);
    admin.groupId = 0xFFFFFFFFu;
    admin.action = 2;
    admin.entity = 5;
    admin.result = 1;
    packet::WriteU32Net(&admin.addressNet, Ip(10, 1, 2, 3));
    std::snprintf(admin.adminName, sizeof(admin.adminName), "Root");
    std::snprintf(admin.message, sizeof(admin.message), "changed");
    stream += testpkt::Bytes(admin);
    auto alarm = Make<packet::AlarmRecord>(packet::LOG_ALARM);
    alarm.alarmType = 7;
    std::snprintf(alarm.message, sizeof(alarm.message), "disk");
    stream += testpkt::Bytes(alarm);
    // 509 bytes of system message that grow when escaped far past 1,023 bytes.
    const std::string message = std::string(400, '\'') + std::string(100, '\\') + "\xE4\xB8\xAD\xE4\xB8\xAD" + "'''";
    stream += testpkt::Bytes(testpkt::System(m_synced, 3, 600, message));
    auto audit = Make<packet::AuditRecord>(packet::LOG_AUDIT);
    packet::WriteU32Net(&audit.addressNet, Ip(10, 9, 9, 9));
    std::snprintf(audit.message, sizeof(audit.message), "audit text");
    stream += testpkt::Bytes(audit);
    for (int i = 0; i < 6; ++i) {
        auto ka = Make<packet::KeepAliveRecord>(packet::LOG_KEEPALIVE);
        packet::WriteU32Net(&ka.deviceAddressNet, Ip(1, 2, 3, 4));
        ka.upFlux = 10;
        ka.downFlux = 20;
        if (i == 5) packet::WriteU32Net(&ka.header.logTimeNet, 15u << 16 | 0u << 8 | 59u);
        stream += testpkt::Bytes(ka);
    }
    ASSERT_TRUE(testnet::SendAll(m_peer, stream));
    EXPECT_EQ(Reply(6 * 46).size(), 6u * 46u);
    Hangup();
    ASSERT_TRUE(testenv::WaitFor(
        [] { return Row("select count(*) from dev_stat") == "1" && testintake::DataFilesImported(s_nodeDb); }, 10000));

    const std::string client = std::to_string(Ip(192, 168, 0, 7));
    const std::string server = std::to_string(Ip(10, 0, 0, 9));
    EXPECT_EQ(Row("select user_id,svr_ip,grp_id,dw_flux,up_flux,raw_up_flux,raw_dw_flux,log_time,address,svr_port,"
                  "record_id <> 0 from usrflowlog"),
              "1|" + server + "|10|200|100|300|5000000000|2031-03-09 14:05:01|" + client + "|443|1");
    EXPECT_EQ(Row("select user_id,user_name,grp_id,user_action,action_result,address,message,auth_method,log_time,"
                  "svr_ip,svr_port from usrbasiclog where user_action = 3"),
              "1|ALICE|10|3|1|" + client + "|opened it's \\ path|17|2031-03-09 14:05:01|" + server + "|443");
    EXPECT_EQ(Row("select user_id,svr_ip,grp_id,svr_port,svr_type,log_time,action_result,address,message,svr_attr "
                  "from usrsvrlog"),
              "1|" + server + "|10|443|2|2031-03-09 14:05:01|1|" + client + "|opened it's \\ path|1");
    EXPECT_EQ(Row("select count(*) from usrsvrlog s join usrbasiclog b on b.record_id = s.record_id"), "1");
    EXPECT_EQ(Row("select log_time,adt_action,action_result,entity,adt_id,adt_name,adt_grp_id,address,message "
                  "from adt_log where adt_id = 1"),
              "2031-03-09 14:05:01|2|1|5|1|Root|0|" + std::to_string(Ip(10, 1, 2, 3)) + "|changed");
    EXPECT_EQ(Row("select adt_action,entity,action_result,adt_id,adt_grp_id,address,message from adt_log "
                  "where adt_id = -1"),
              "4|7|0|-1|-1|" + std::to_string(Ip(10, 9, 9, 9)) + "|audit text");
    EXPECT_EQ(Row("select type,message,log_time from alarm_log"), "7|disk|2031-03-09 14:05:01");
    EXPECT_EQ(Row("select lev,process,message,log_time from syslog"),
              "3|600|" + std::string(400, '\'') + std::string(100, '\\') + "\xD6\xD0\xD6\xD0'''|2031-03-09 14:05:01");
    EXPECT_EQ(Row("select hex(message) from usrbasiclog where hex(user_name) = 'D6D0CEC4'"), "D6D0206368696E657365");
    EXPECT_EQ(Row("select id < 0, grpid from tarnuser where hex(name) = 'D6D0CEC4'"), "1|10");
    EXPECT_EQ(Row("select dev_ip,time,upload_flux,download_flux from dev_stat"),
              std::to_string(Ip(1, 2, 3, 4)) + "|2031-03-09 15:00:59|60|120");
}

// Only the user table itself keeps the service's own users (id 0 and
// below); a table whose name merely begins like it is replaced as a whole,
// and the user table is left alone.
TEST_F(RecordTaskTest, SnapshotOfATableNamedLikeTheUserTableReplacesOnlyThatTable) {
    testdb::ExecIn(s_nodeDb, "delete from tarnuserext; insert into tarnuserext values (99, 'old')");
    Sync();
    Sync("<?xml version=\"1.0\"?><content><tarnuserext><row id=\"5\" name=\"new\"/></tarnuserext></content>");
    EXPECT_EQ(Row("select group_concat(id) from tarnuserext"), "5");
    EXPECT_EQ(Row("select count(*) from tarnuser where name = 'alice'"), "1");
}

// The low word of a record id is the process-wide log counter modulo
// 2^31 - 1; past 2^31 logs the counter wraps without making it negative.
TEST_F(RecordTaskTest, RecordIdsStayWholePastTwoToTheThirtyFirstLog) {
    Sync();
    testdb::ExecIn(s_nodeDb, "delete from usrbasiclog");
    CGlobalSharedData::GetInstance()->SetLogCounter(2147483646);
    std::string stream;
    for (int i = 0; i < 3; ++i) stream += testpkt::UserV1(m_synced, 1, "alice", "login");
    ASSERT_TRUE(testintake::SendConfirmed(m_peer, m_synced, stream));
    Hangup();  // the writer flushes at the end of the connection
    ASSERT_TRUE(testenv::WaitFor([] { return Row("select count(*) from usrbasiclog") == "3"; }, 10000));
    EXPECT_EQ(Row("select group_concat(record_id & 4294967295 order by record_id & 4294967295) from usrbasiclog"),
              "0,1,2");
}

// Keep-alives still waiting when the peer has gone cannot be answered: the
// task reports how many replies it dropped instead of losing them silently.
TEST_F(RecordTaskTest, RepliesDroppedAtTheEndOfAConnectionAreReported) {
    std::string stream;
    for (int i = 0; i < 20000; ++i) stream += testpkt::KeepAlive(m_synced);
    ASSERT_TRUE(testnet::SendAll(m_peer, stream));
    Hangup();
    EXPECT_TRUE(LogHas("Reply Packet(s) Not Sent , The Connection Is Closing", 20000));
}

// A sync stores its snapshot only for as long as it is being applied: syncs of unknown nodes, with
// a wrong digest, or over MaxSnapshotSize (1 MiB here) are refused without a reply and leave no
// file in the temporary folder; neither does an applied one.
TEST_F(RecordTaskTest, InfoSyncsLeaveNoTemporaryFiles) {
    testintake::SetKey("ZelkAdv.conf", "TarnNode", "MaxSnapshotSize", "1");
    auto snapshotFiles = [] {
        const std::vector<std::string> files = testenv::ListFiles(CGlobalSharedData::GetInstance()->GetTempDir());
        return std::count_if(files.begin(), files.end(), [](const std::string& f) { return f.ends_with(".xml"); });
    };
    const std::string user = kUserSnapshot;
    const std::string big = user + std::string(1 << 20, ' ');
    BYTE unknown[16] = {};
    for (int i = 0; i < 5; ++i) {  // three unknown nodes, a wrong digest, an oversize snapshot
        unknown[0] = static_cast<BYTE>(i + 1);
        const std::string& content = i == 4 ? big : user;
        const std::string md5 = i == 3 ? std::string(32, 'f') : testpkt::Md5Hex(content);
        EXPECT_EQ(SyncThenKeepAlive(i < 3 ? unknown : m_synced, content, md5), KeepAliveReply()) << i;
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
TEST_F(RecordTaskTest, DeepOrCrowdedSnapshotsAreRefusedAndTheConnectionGoesOn) {
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
        EXPECT_EQ(SyncThenKeepAlive(m_synced, s, testpkt::Md5Hex(s)), KeepAliveReply()) << s.substr(0, 40);
    }
    Sync();
    EXPECT_TRUE(LogHas("[CheckSnapshotShape] Snapshot Nested Deeper Than 8 Levels , Refused\n"));
    EXPECT_TRUE(LogHas("[CheckSnapshotShape] Snapshot Has More Than 200000 Elements , Refused\n"));
}

}  // namespace
