// The SQL writer when MySQL goes away: runs its own MariaDB (started and
// stopped by scripts/mariadb-local.sh) so that stopping it touches no other
// test program.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "db/SqlText.h"
#include "node/DataCenterListenTask.h"
#include "platform/Clock.h"
#include "protocol/PacketFormat.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

constexpr char kNodeMd5[] = "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a";
const char kUsers[] = "<?xml version=\"1.0\"?><content><tarnuser><row id=\"1\" name=\"alice\" grpid=\"10\"/>"
                      "</tarnuser><tarngroup><row id=\"10\" pgrpid=\"0\"/></tarngroup></content>";

class SqlOutageTest : public ::testing::Test {
protected:
    static int Server(const char* command) {
        const std::string line = "VARNHOLT_DB_DIR='" + s_dir + "' VARNHOLT_DB_PORT=" + std::to_string(s_dbPort) + " '" +
                                 std::string(VARNHOLT_SOURCE_DIR) + "/scripts/mariadb-local.sh' " + command +
                                 " >/dev/null 2>&1";
        return system(line.c_str());
    }

    static void SetUpTestSuite() {
        testenv::UseFreshLogDay();
        s_dir = testenv::InstallDir() + "/mariadb";
        s_dbPort = testnet::FreePort();
        ASSERT_EQ(Server("start"), 0) << "the private MariaDB did not start";
        setenv("VARNHOLT_DB_HOST", "127.0.0.1", 1);
        setenv("VARNHOLT_DB_PORT", std::to_string(s_dbPort).c_str(), 1);
        setenv("VARNHOLT_DB_USER", "varnholt", 1);
        setenv("VARNHOLT_DB_PASSWORD", "varnholt", 1);
        s_main = testdb::UniqueName("outage");
        s_nodeDb = testdb::UniqueName("outage_node");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::CreateDatabase(s_nodeDb, "node.sql");
        testdb::RegisterNode(s_main, "gw", kNodeMd5, s_nodeDb);
        testdb::ConfigureService(s_main);
        s_port = testnet::FreePort();
        s_listener = testintake::Start(s_port);
    }

    static void TearDownTestSuite() {
        testintake::Stop(s_listener);
        Server("stop");
    }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        DecodeHex16(kNodeMd5, m_id);
        m_peer = testnet::Connect(s_port);
        ASSERT_GE(m_peer, 0);
        ASSERT_TRUE(testnet::SendAll(m_peer, testpkt::InfoSync(m_id, 1, kUsers, testpkt::Md5Hex(kUsers))));
        ASSERT_EQ(testnet::ReceiveExactly(m_peer, 74, 10000).size(), 74u);
    }
    void TearDown() override {
        testnet::Close(m_peer);
        TestClock::Reset();
    }

    // Sends alarms with the given message prefix, then a keep-alive whose
    // reply proves that every alarm before it was handled.
    void SendAlarms(const std::string& prefix, int count) {
        std::string stream;
        for (int i = 0; i < count; ++i) {
            packet::AlarmRecord a{};
            testpkt::FillHeader(&a.header, m_id, packet::LOG_ALARM, packet::kAlarmSize);
            a.alarmType = 1;
            std::snprintf(a.message, sizeof(a.message), "%s %02d", prefix.c_str(), i);
            stream += testpkt::Bytes(a);
        }
        ASSERT_TRUE(testnet::SendAll(m_peer, stream + testpkt::KeepAlive(m_id)));
        ASSERT_EQ(testnet::ReceiveExactly(m_peer, 46, 60000).size(), 46u);
    }

    static std::vector<std::string> Messages() {
        MYSQL* c = testdb::Connect(s_nodeDb);
        std::vector<std::string> out;
        for (const auto& row : testdb::Query(c, "select message from alarm_log order by id")) out.push_back(*row[0]);
        testdb::Close(c);
        return out;
    }

    static std::vector<std::string> Expected(const std::string& prefix, int count) {
        std::vector<std::string> out;
        char text[64];
        for (int i = 0; i < count; ++i) {
            std::snprintf(text, sizeof(text), "%s %02d", prefix.c_str(), i);
            out.push_back(text);
        }
        return out;
    }

    static std::string s_dir;
    static std::uint16_t s_dbPort;
    static std::uint16_t s_port;
    static std::string s_main;
    static std::string s_nodeDb;
    static CDataCenterListenTask* s_listener;
    BYTE m_id[16];
    int m_peer = -1;
    std::string m_log;
};

std::string SqlOutageTest::s_dir;
std::uint16_t SqlOutageTest::s_dbPort = 0;
std::uint16_t SqlOutageTest::s_port = 0;
std::string SqlOutageTest::s_main;
std::string SqlOutageTest::s_nodeDb;
CDataCenterListenTask* SqlOutageTest::s_listener = nullptr;

TEST_F(SqlOutageTest, StatementsWaitWhileMySqlIsDownAndGoInOrderAfterwards) {
    SendAlarms("before", 10);
    ASSERT_EQ(Server("stop"), 0);
    SendAlarms("down", 45);  // the 50th statement makes the cache due: no server
    ASSERT_EQ(Server("start"), 0);
    // Every log makes the full cache due again; once the server takes
    // connections everything goes, in order.
    std::vector<std::string> expected = Expected("before", 10);
    for (const std::string& s : Expected("down", 45)) expected.push_back(s);
    int after = 0;
    const bool stored = testenv::WaitFor(
        [&] {
            SendAlarms("after" + std::to_string(after++), 1);
            return Messages().size() >= expected.size() + static_cast<size_t>(after);
        },
        20000);
    ASSERT_TRUE(stored) << Messages().size();
    for (int i = 0; i < after; ++i) expected.push_back("after" + std::to_string(i) + " 00");
    EXPECT_EQ(Messages(), expected);
}

TEST_F(SqlOutageTest, ConnectionLostInTheMiddleOfASubmissionLosesNothing) {
    MYSQL* c = testdb::Connect(s_nodeDb);
    testdb::Exec(c, "delete from alarm_log");
    SendAlarms("first", 50);  // opens and probes the writer's connection
    ASSERT_TRUE(testenv::WaitFor([&] { return Messages().size() == 50; }, 10000));
    // Kill the writer's connection behind its back: its next statement fails
    // with the connection's error, not its own.
    int killed = 0;
    for (const auto& row : testdb::Query(c, "select id from information_schema.processlist where db = '" + s_nodeDb +
                                                "' and id <> connection_id() and command = 'Sleep'")) {
        try {
            testdb::Exec(c, "kill connection " + *row[0]);
            ++killed;
        } catch (const std::exception&) {
            // That connection ended on its own meanwhile.
        }
    }
    testdb::Close(c);
    ASSERT_GE(killed, 1);
    SendAlarms("second", 50);
    std::vector<std::string> expected = Expected("first", 50);
    for (const std::string& s : Expected("second", 50)) expected.push_back(s);
    ASSERT_TRUE(testenv::WaitFor([&] { return Messages().size() >= expected.size(); }, 20000)) << Messages().size();
    EXPECT_EQ(Messages(), expected);
}

}  // namespace
