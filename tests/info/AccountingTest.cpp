// Loss accounting: logs of a real intake end in exactly one bucket, and the
// counters are read over loopback with the accounting query while the old log
// merge query keeps its 100-byte reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/LossAccounting.h"
#include "db/SqlText.h"
#include "info/InfoQuery.h"
#include "info/InfoRetrieveTask.h"
#include "platform/Clock.h"
#include "protocol/PacketFormat.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

constexpr char kNode[] = "a1b2c3d4a1b2c3d4a1b2c3d4a1b2c3d4";

std::string Request(std::uint32_t type) {
    InfoQueryHeader q{};
    q.headerSize = sizeof(q);
    std::memcpy(q.sign, infoquery::kQuerySign, sizeof(q.sign));
    q.queryType = type;
    return std::string(reinterpret_cast<const char*>(&q), sizeof(q));
}

// 300 user logs of a known user go through the merger into data files, 40
// without a user name are dropped as of an unknown user, 60 alarms go by INSERT; once
// the files are loaded and the connection has ended, stored + dropped equals
// accepted, nothing is pending or held, and the rows are in the tables. The
// info server then sends exactly these counters.
TEST(AccountingTest, EveryAcceptedLogEndsInOneBucketAndIsReadOverTheInfoQuery) {
    testintake::Service service;
    service.Open("acct", kNode);
    loss::ResetForTest();
    BYTE id[16];
    ASSERT_TRUE(DecodeHex16(kNode, id));
    int peer = testnet::Connect(service.port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(testintake::SyncUsers(peer, id));
    std::string stream;
    for (int i = 0; i < 300; ++i) stream += testpkt::UserV1(id, 1, "alice", "known " + std::to_string(i));
    for (int i = 0; i < 40; ++i) stream += testpkt::UserV1(id, 1, "", "no user " + std::to_string(i));
    stream += testpkt::Alarms(id, "alarm", 60) + testpkt::KeepAlive(id);
    ASSERT_TRUE(testnet::SendAll(peer, stream));
    ASSERT_EQ(testnet::ReceiveExactly(peer, packet::kKeepAliveReplySize, 20000).size(),
              size_t{packet::kKeepAliveReplySize});
    testnet::Close(peer);
    testintake::RotateDataFiles();
    auto rows = [&] {
        return testdb::ScalarIn(service.nodeDb, "select concat((select count(*) from usrbasiclog), ',', "
                                                "(select count(*) from alarm_log))");
    };
    EXPECT_TRUE(testenv::WaitFor([&] { return rows() == "300,60" && testintake::DataFilesImported(service.nodeDb); },
                                 20000))
        << rows();
    std::uint64_t c[loss::COUNTER_COUNT];
    ASSERT_TRUE(testenv::WaitFor(
        [&] {
            loss::Snapshot(c);
            return loss::ComputeBalance(c).stored == 360;
        },
        10000));
    const loss::Balance b = loss::ComputeBalance(c);
    EXPECT_EQ(b.accepted, 400u);
    EXPECT_EQ(c[loss::DF_LOADED], 300u);
    EXPECT_EQ(c[loss::SQL_STORED], 60u);
    EXPECT_EQ(c[loss::DROP_UNKNOWN_USER], 40u);
    EXPECT_EQ(b.dropped, 40u);
    EXPECT_EQ(b.pendingDataFiles + b.pendingSpool + b.heldMerge + b.heldSql + b.merged, 0u);
    EXPECT_EQ(b.Unaccounted(), 0);

    const std::uint16_t port = testnet::FreePort();
    testintake::SetKey("ZelkAdv.conf", "InfoRetrieve", "ListenPort", std::to_string(port));
    auto* task = new CInfoRetrieveTask();
    ASSERT_TRUE(task->Init() && task->Start());
    const int client = testnet::ConnectWithin(port, 5000);
    ASSERT_GE(client, 0);
    constexpr size_t kAccountingBytes =
        sizeof(InfoReplyHeader) + sizeof(InfoAccountingReplyHead) + 8 * loss::COUNTER_COUNT;
    ASSERT_TRUE(testnet::SendAll(client, Request(infoquery::kQueryTypeAccounting)));
    const std::string reply = testnet::ReceiveExactly(client, kAccountingBytes, 5000);
    ASSERT_EQ(reply.size(), kAccountingBytes);
    InfoReplyHeader header{};
    InfoAccountingReplyHead head{};
    std::memcpy(&header, reply.data(), sizeof(header));
    std::memcpy(&head, reply.data() + sizeof(header), sizeof(head));
    EXPECT_EQ(std::string(header.sign, 8), std::string("INFORLY\0", 8));
    EXPECT_EQ(+header.queryType, 2u);
    EXPECT_EQ(+header.dataSize, kAccountingBytes - sizeof(InfoReplyHeader));
    EXPECT_EQ(+head.counterCount, unsigned{loss::COUNTER_COUNT});
    EXPECT_EQ(0, std::memcmp(reply.data() + sizeof(header) + sizeof(head), c, sizeof(c)));
    // The log merge query on the same connection: still its 100 bytes, nothing more.
    ASSERT_TRUE(testnet::SendAll(client, Request(infoquery::kQueryTypeLogMerge)));
    const std::string old = testnet::ReceiveExactly(client, 101, 1500);
    EXPECT_EQ(old.size(), 100u);
    std::memcpy(&header, old.data(), sizeof(header));
    EXPECT_EQ(+header.queryType, 1u);
    EXPECT_EQ(+header.dataSize, 72u);
    testnet::Close(client);
    task->Stop();
    if (task->WaitForExit(10000)) delete task;
    TestClock::Reset();
    service.Close();
}

}  // namespace
