// User logs of two node connections sharing one database, through the real
// intake: written to data files while connected, rotated and loaded by the
// nodes' import tasks, and the files released at the end of the connections
// loaded afterwards; every log becomes one row.
#include <gtest/gtest.h>

#include <string>

#include "db/SqlText.h"
#include "platform/Clock.h"
#include "protocol/PacketFormat.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

constexpr const char* kNodes[2] = {"11112222333344445555666677778888", "8888777766665555444433332222aaaa"};

std::string Logs(const BYTE id[16], const std::string& prefix, int count) {
    std::string stream;
    for (int i = 0; i < count; ++i) stream += testpkt::UserV1(id, 1, "alice", prefix + std::to_string(i));
    return stream + testpkt::KeepAlive(id);  // its reply: every log before it was handled
}

TEST(DataFileIntakeTest, TwoNodesSharingADatabaseLoadEveryLogOnceWhileConnectedAndAfterLeaving) {
    testintake::Service service;
    service.Open("dfi", kNodes[0], kNodes[1]);
    const std::string log = testenv::UseFreshLogDay();
    int peers[2];
    BYTE ids[2][16];
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(DecodeHex16(kNodes[n], ids[n]));
        peers[n] = testnet::Connect(service.port);
        ASSERT_GE(peers[n], 0);
        ASSERT_TRUE(testintake::SyncUsers(peers[n], ids[n]));
    }
    auto send = [&](const std::string& round, int count) {
        for (int n = 0; n < 2; ++n) {
            ASSERT_TRUE(testnet::SendAll(peers[n], Logs(ids[n], round + std::to_string(n) + "-", count)));
        }
        for (int n = 0; n < 2; ++n) {
            ASSERT_EQ(testnet::ReceiveExactly(peers[n], packet::kKeepAliveReplySize, 20000).size(),
                      size_t{packet::kKeepAliveReplySize});
        }
    };
    auto rows = [&] {
        return testdb::ScalarIn(service.nodeDb, "select concat(count(*), ',', count(distinct message)) from usrbasiclog");
    };
    send("a", 500);
    EXPECT_EQ(rows(), "0,0") << "a data file is loaded only once it is switched out";
    testintake::RotateDataFiles();
    EXPECT_TRUE(testenv::WaitFor([&] { return rows() == "1000,1000"; }, 20000)) << rows();
    EXPECT_EQ(testenv::CountOccurrences(testenv::ReadFile(log), "[Run] LoadDataTask For DB = " + service.nodeDb +
                                                                   " Start...\n"),
              2u);

    send("b", 300);
    for (int& peer : peers) testnet::Close(peer);
    EXPECT_TRUE(testenv::WaitFor([&] { return rows() == "1600,1600"; }, 20000)) << rows();
    TestClock::Reset();
    service.Close();
}

}  // namespace
