// Node connections through the real intake, and the byte ring between a
// connection's reader and its record task.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <regex>

#include "core/Task.h"
#include "core/modules/BuffManager.h"
#include "node/DataCenterListenTask.h"
#include "node/RingCache.h"
#include "node/TarnNode.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "support/IntakeTest.h"

namespace {

constexpr char kNodeMd5[] = "0123456789abcdef0123456789abcdef";
using testintake::SetKey;

// A running listener on a free port with a short reaper period, against the
// test database with one registered node.
class NodeIntakeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_service.Open("intake", kNodeMd5);
        DecodeHex16(kNodeMd5, s_id);
    }
    static void TearDownTestSuite() { s_service.Close(); }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        SetKey("ZelkAdv.conf", "Network", "MaxConnection", "16");
        SetKey("ZelkAdv.conf", "TarnNode", "TarnNodeSendBuffSize", "10");
    }
    void TearDown() override { ASSERT_TRUE(testintake::NodesLeft(0)) << "a node connection was not reaped"; }

    // The one node connection, once its thread has its rings ready.
    static CTarnNode* WaitForOneNode() {
        CTarnNode* node = nullptr;
        const bool ready = testenv::WaitFor(
            [&] {
                auto nodes = CTarnNodeManager::GetInstance()->Nodes();
                node = nodes.size() == 1 ? nodes[0] : nullptr;
                return node != nullptr && node->GetThreadId() != 0 && node->GetRecvRing()->IsInitialised() &&
                       node->GetSendRing()->IsInitialised();
            },
            5000);
        return ready ? node : nullptr;
    }

    std::string LogText() const { return testenv::ReadFile(m_log); }
    bool LogHas(const std::string& text, DWORD waitMs = 0) const { return testintake::LogHas(m_log, text, waitMs); }

    static inline testintake::Service s_service;
    static inline const std::string& s_nodeDb = s_service.nodeDb;
    static inline const std::uint16_t& s_port = s_service.port;
    static inline BYTE s_id[16];
    std::string m_log;
};

std::string Pattern(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& ch : s) ch = static_cast<char>(rng());
    return s;
}

// Thousands of keep-alives sent in odd-sized pieces come back as replies in
// the order sent: every byte reached the receive ring, in order, and the
// record task framed each packet.
TEST_F(NodeIntakeTest, BytesArriveInOrderAndEveryPacketIsAnswered) {
    int peer = testnet::Connect(s_port);
    ASSERT_GE(peer, 0);
    ASSERT_NE(WaitForOneNode(), nullptr);
    constexpr int kPackets = 20000;
    std::string stream;
    for (int i = 0; i < kPackets; ++i) {
        packet::KeepAliveRecord ka{};
        std::memcpy(ka.header.mark, i % 2 == 0 ? packet::kMarkV1 : packet::kMarkV2, 8);
        ka.header.logType = packet::LOG_KEEPALIVE;
        ka.header.m_DataLen = packet::kKeepAliveSize;
        ka.header.logTimeNet = static_cast<std::uint32_t>(i);  // a sequence number the reply echoes
        ka.devType = i % 3;
        stream.append(reinterpret_cast<const char*>(&ka), sizeof(ka));
    }
    std::thread sender([&] {
        for (size_t at = 0; at < stream.size(); at += 7001) testnet::SendAll(peer, stream.substr(at, 7001));
    });
    const std::string replies = testnet::ReceiveExactly(peer, kPackets * packet::kKeepAliveReplySize, 30000);
    sender.join();
    ASSERT_EQ(replies.size(), static_cast<size_t>(kPackets) * packet::kKeepAliveReplySize);
    int outOfOrder = 0;
    for (int i = 0; i < kPackets; ++i) {
        packet::KeepAliveReply reply;
        std::memcpy(&reply, replies.data() + static_cast<size_t>(i) * sizeof(reply), sizeof(reply));
        if (reply.header.logTimeNet != static_cast<std::uint32_t>(i) ||
            reply.header.m_DataLen != packet::kKeepAliveReplySize || reply.zero != 0) {
            ++outOfOrder;
        }
    }
    EXPECT_EQ(outOfOrder, 0);
    testnet::Close(peer);
}

TEST_F(NodeIntakeTest, DataSentJustBeforeCloseIsReceived) {
    int peer = testnet::Connect(s_port);
    ASSERT_GE(peer, 0);
    ASSERT_NE(WaitForOneNode(), nullptr);
    const size_t total = 2 * 1024 * 1024;
    ASSERT_TRUE(testnet::SendAll(peer, Pattern(total, 5)));
    testnet::Close(peer);  // at once: the node still has most bytes to read
    ASSERT_TRUE(testintake::NodesLeft(0));

    // Every byte was received into the ring before the close was handled.
    const std::string text = LogText();
    const std::regex received(R"(\[OnFD_Read\] socket ([0-9]+) recv ([0-9]+) byte\(s\) data)");
    size_t sum = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), received); it != std::sregex_iterator(); ++it) {
        sum += std::stoul((*it)[2].str());
    }
    EXPECT_EQ(sum, total);
    const size_t closeAt = text.find("Recv OnFD_Close!");
    ASSERT_NE(closeAt, std::string::npos);
    EXPECT_EQ(text.find("recv", closeAt), std::string::npos) << "bytes were received after the close";
    EXPECT_NE(text.find("[TarnNodeCheckProcess] Release A TarnNode. Node =  ,  Object = 0x"), std::string::npos);
}

// Peers that never name a registered node cannot keep a node out: a full
// table gives the slot of the oldest such connection to a newcomer, and the
// identify deadline, the idle time-out and the per-address limit close the
// rest; a refusal is logged once per source and minute.
TEST_F(NodeIntakeTest, HostilePeersCannotHoldTheSlots) {
    SetKey("ZelkAdv.conf", "Network", "MaxConnection", "2");
    SetKey("ZelkAdv.conf", "Network", "IdentifyTimeout", "30");
    SetKey("ZelkAdv.conf", "Network", "IdleTimeout", "300");
    // Connects and waits until the connection's thread runs (or it was refused).
    auto connect = [&](bool asNode) {
        int peer = testnet::Connect(s_port);
        std::uint16_t local = 0;
        SocketLocalName(peer, nullptr, &local);
        EXPECT_TRUE(testenv::WaitFor(
            [&] {
                return CTarnNodeManager::GetInstance()->HasRunningConnection(local) ||
                       testnet::ClosedByPeerWithin(peer, 0);
            },
            3000));
        if (asNode) {
            EXPECT_TRUE(testnet::SendAll(peer, testpkt::KeepAlive(s_id)));
            EXPECT_EQ(testnet::ReceiveExactly(peer, 46, 5000).size(), 46u) << "a node was not answered";
        }
        return peer;
    };
    int silent1 = connect(false);
    int silent2 = connect(false);
    int node1 = connect(true);  // takes the slot of silent1, the oldest
    EXPECT_TRUE(testnet::ClosedByPeerWithin(silent1, 3000));
    EXPECT_FALSE(testnet::ClosedByPeerWithin(silent2, 0));
    int node2 = connect(true);  // takes the slot of silent2
    EXPECT_TRUE(testnet::ClosedByPeerWithin(silent2, 3000));
    for (int i = 0; i < 3; ++i) {  // both slots hold nodes: refused at once
        int late = testnet::Connect(s_port);
        EXPECT_TRUE(testnet::ClosedByPeerWithin(late, 3000));
        testnet::Close(late);
    }
    EXPECT_EQ(testenv::CountOccurrences(LogText(), "[AllocTarnNode] Max Connection."), 1u) << "not once per minute";

    testnet::Close(node2);
    ASSERT_TRUE(testintake::NodesLeft(1, 3000));
    int silent3 = connect(false);
    EXPECT_FALSE(testnet::ClosedByPeerWithin(silent3, 300)) << "the freed slot was not given";
    TestClock::AdvanceTicks(30000);  // IdentifyTimeout: the silent peer goes, the node stays
    EXPECT_TRUE(testnet::ClosedByPeerWithin(silent3, 3000));
    EXPECT_FALSE(testnet::ClosedByPeerWithin(node1, 300));
    TestClock::AdvanceTicks(300000);  // IdleTimeout of an identified connection
    EXPECT_TRUE(testnet::ClosedByPeerWithin(node1, 3000));

    SetKey("ZelkAdv.conf", "Network", "MaxConnectionPerAddress", "1");
    int first = connect(false);
    int second = testnet::Connect(s_port);
    EXPECT_TRUE(testnet::ClosedByPeerWithin(second, 3000));
    EXPECT_FALSE(testnet::ClosedByPeerWithin(first, 0));
    EXPECT_TRUE(LogHas("[AllocTarnNode] Max Connection Per Address. Addr = 127.0.0.1"));
    // Once identified, a node no longer counts against its address (a NAT).
    ASSERT_TRUE(testnet::SendAll(first, testpkt::KeepAlive(s_id)));
    EXPECT_EQ(testnet::ReceiveExactly(first, 46, 5000).size(), 46u);
    int third = connect(false);
    EXPECT_FALSE(testnet::ClosedByPeerWithin(third, 300));
    SetKey("ZelkAdv.conf", "Network", "MaxConnectionPerAddress", "64");
    SetKey("ZelkAdv.conf", "Network", "IdentifyTimeout", "600");
    SetKey("ZelkAdv.conf", "Network", "IdleTimeout", "86400");
    for (int fd : {silent1, silent2, node1, node2, silent3, first, second, third}) testnet::Close(fd);
}

// A peer that sends without reading its replies wedges the connection (send
// ring, record task, receive ring all full). It is closed when it stops
// reading for SendStallTimeout, and at once when it leaves.
TEST_F(NodeIntakeTest, PeerThatNeverReadsItsRepliesLosesItsSlot) {
    SetKey("ZelkAdv.conf", "TarnNode", "TarnNodeRecvBuffSize", "1");
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += testpkt::KeepAlive(s_id);
    for (bool leaves : {true, false}) {
        // A small receive window from the start: a few KiB of replies fill it.
        int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(s_port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(peer, reinterpret_cast<const sockaddr*>(&to), sizeof(to)), 0);
        CTarnNode* node = WaitForOneNode();
        ASSERT_NE(node, nullptr);
        // Keep-alives until both rings are full: replies wait in the send
        // ring and the record task waits for room there.
        auto push = [&] { return send(peer, burst.data(), burst.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0; };
        ASSERT_TRUE(testenv::WaitFor(
            [&] {
                push();
                return node->GetSendRing()->IsFull() && node->GetRecvRing()->IsFull();
            },
            20000));
        if (leaves) {
            testnet::Close(peer);  // unread replies: the close resets the connection
        } else {
            // The socket may take replies for a while yet (each resets the
            // stall); once it takes none for SendStallTimeout, the connection
            // is closed. Polled without reading, which would make room.
            bool closed = false;
            for (int i = 0; i < 30 && !closed; ++i) {
                push();
                TestClock::AdvanceTicks(60000);
                pollfd p{peer, POLLRDHUP, 0};
                closed = poll(&p, 1, 2500) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
            }
            EXPECT_TRUE(closed);
            testnet::Close(peer);
        }
        EXPECT_TRUE(testintake::NodesLeft(0, 6000))
            << (leaves ? "the slot of a peer that left stays held" : "a peer that reads nothing keeps its slot");
    }
    SetKey("ZelkAdv.conf", "TarnNode", "TarnNodeRecvBuffSize", "10");
}

// Keep-alives of an identity that no registered node has are answered, but
// nothing is queued for them (a writer without a database would hold the
// statements until the connection ends).
TEST_F(NodeIntakeTest, KeepAlivesOfAnUnknownIdentityAreAnsweredNotStored) {
    BYTE unknown[16] = {0xde, 0xad};
    std::string packets;
    for (int i = 0; i < 600; ++i) packets += testpkt::KeepAlive(unknown);
    int peer = testnet::Connect(s_port);
    ASSERT_TRUE(testnet::SendAll(peer, packets));
    EXPECT_EQ(testnet::ReceiveExactly(peer, 600 * 46, 10000).size(), 600u * 46);
    testnet::Close(peer);
    ASSERT_TRUE(testintake::NodesLeft(0, 5000));
    EXPECT_FALSE(LogHas("Of A Node Without Database Are Lost")) << "statements were queued";
}

// Each connection of a known node writes a state-1 row; the state-0 row of
// the disconnection comes when the last connection of that node has gone.
TEST_F(NodeIntakeTest, ConnectionStatesAreRecordedInDevInfo) {
    testdb::ExecIn(s_nodeDb, "delete from dev_info");
    auto rows = [&](int state) {
        return testdb::ScalarIn(s_nodeDb, "select count(*) from dev_info where ConnStat = " + std::to_string(state));
    };
    int first = testintake::SyncedPeer(s_port, s_id);
    EXPECT_TRUE(testenv::WaitFor([&] { return rows(1) == "1"; }, 5000));
    EXPECT_EQ(testdb::ScalarIn(s_nodeDb, "select dev_ip from dev_info where ConnStat = 1"), "2130706433");
    int second = testnet::Connect(s_port);  // taken as synchronised at its first log
    ASSERT_TRUE(testintake::SendConfirmed(second, s_id, testpkt::Alarms(s_id, "alarm", 1)));
    EXPECT_TRUE(testenv::WaitFor([&] { return rows(1) == "2"; }, 5000));

    testnet::Close(first);
    ASSERT_TRUE(testintake::NodesLeft(1, 5000));
    EXPECT_EQ(rows(0), "0") << "recorded as gone while another connection of the node is attached";
    testnet::Close(second);
    EXPECT_TRUE(testenv::WaitFor([&] { return rows(0) == "1"; }, 5000));
    EXPECT_TRUE(LogHas("[GetTableLogCount] Succeed Get " + s_nodeDb + ".usrflowlog Log Count = "));
}

// A record task still busy after the node stopped waiting for it keeps the
// rings it reads (the sanitizer build sees any use after free), ends on its
// own and stores its statements.
TEST_F(NodeIntakeTest, RecordTaskOutlivingTheNodeKeepsItsRingsAndLogs) {
    testdb::ExecIn(s_nodeDb, "delete from alarm_log");
    const auto stored = [](const char* count) {
        return testenv::WaitFor([&] { return testdb::ScalarIn(s_nodeDb, "select count(*) from alarm_log") == count; },
                                10000);
    };
    int peer = testintake::SyncedPeer(s_port, s_id);
    // The writer's connection is open.
    ASSERT_TRUE(testintake::SendConfirmed(peer, s_id, testpkt::Alarms(s_id, "alarm", 50)));
    ASSERT_TRUE(stored("50"));
    // A table lock holds the next INSERT on the server: the task stays busy
    // long after the node's wait for it.
    MYSQL* lock = testdb::Connect(s_nodeDb);
    testdb::Exec(lock, "lock tables alarm_log write");
    CTarnNode::SetTaskStopWait(100);
    ASSERT_TRUE(testnet::SendAll(peer, testpkt::Alarms(s_id, "alarm", 50)));
    testnet::Close(peer);
    EXPECT_TRUE(testintake::NodesLeft(0));
    EXPECT_TRUE(LogHas("[StopAllTask] Task Still Running!"));
    testdb::Exec(lock, "unlock tables");
    testdb::Close(lock);
    CTarnNode::SetTaskStopWait(CTarnNode::kTaskStopWaitMs);
    EXPECT_TRUE(stored("100"));
}

TEST_F(NodeIntakeTest, SendRingReachesThePeerAcrossPartialSends) {
    SetKey("ZelkAdv.conf", "TarnNode", "TarnNodeSendBuffSize", "1024");
    int peer = testnet::Connect(s_port);
    ASSERT_GE(peer, 0);
    CTarnNode* node = WaitForOneNode();
    ASSERT_NE(node, nullptr);
    // The test writes replies as the record task would, more than the
    // socket takes at once, and the peer reads only afterwards.
    const std::string reply = Pattern(900 * 1024, 9);
    CRingCache* ring = node->GetSendRing();
    DWORD free = 0;
    ASSERT_TRUE(ring->GetCanWriteSize(&free));
    ASSERT_GE(free, reply.size());
    std::memcpy(ring->GetWritePos(), reply.data(), reply.size());
    ring->WriteCommit(static_cast<DWORD>(reply.size()));
    ASSERT_TRUE(PostThreadMessage(node->GetThreadId(), WM_TARNNODE_DATA_CAN_SEND, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the socket fill up first
    const std::string got = testnet::ReceiveExactly(peer, reply.size(), 10000);
    EXPECT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);

    // Bytes on both sides of the ring's wrap point go out on one signal.
    const std::string tail = Pattern(ring->RingEnd() - ring->GetWritePos() - 1500, 10);
    const std::string head = Pattern(5000, 11);
    for (const std::string* part : {&tail, &head}) {
        ASSERT_TRUE(ring->GetCanWriteSize(&free));
        ASSERT_GE(free, part->size());
        std::memcpy(ring->GetWritePos(), part->data(), part->size());
        ring->WriteCommit(static_cast<DWORD>(part->size()));
    }
    ASSERT_TRUE(PostThreadMessage(node->GetThreadId(), WM_TARNNODE_DATA_CAN_SEND, 0, 0));
    EXPECT_TRUE(testnet::ReceiveExactly(peer, tail.size() + head.size(), 5000) == tail + head);
    testnet::Close(peer);
}

// No port, a port that 16 bits cannot hold (it would bind another) and the
// port taken by the running listener (last, which also restores it) end the
// listener task.
TEST_F(NodeIntakeTest, ListenerStartFailuresEndTheTask) {
    for (const std::string& port : {std::string("0"), std::string("70000"), std::to_string(s_port)}) {
        m_log = testenv::UseFreshLogDay();
        SetKey("Zelk.conf", "DatabaseConfig", "Port", port);
        auto* task = new CDataCenterListenTask();
        ASSERT_TRUE(CTaskManager::GetInstance()->AddTask(task));
        EXPECT_EQ(CTaskManager::GetInstance()->WaitForSingleTask(task, 10000), WAIT_OBJECT_0);
        const bool taken = port == std::to_string(s_port);
        EXPECT_TRUE(LogHas(taken ? "[CDataCenterListenTask][Run] Bind Fail Err = "
                                 : "[Run] DataCenter Listen Port Invalid\n"))
            << port;
        EXPECT_EQ(LogHas("[Run] Bind"), taken) << port;
        EXPECT_TRUE(LogHas("[Run] Exit Normally\n")) << port;
        // The fast reaper may already have taken the ended task off the list.
        if (!CTaskManager::GetInstance()->RemoveTask(task)) delete task;
    }
}

// A listener that cannot load its node list (MySQL down) keeps trying, and
// listens once the database answers.
TEST_F(NodeIntakeTest, ListenerWaitsForMySqlBeforeListening) {
    CDataCenterListenTask::SetNodeListRetry(100);
    SetKey("Zelk.conf", "DatabaseConfig", "DBServer", "127.0.0.2");
    const std::uint16_t port = testnet::FreePort();
    SetKey("Zelk.conf", "DatabaseConfig", "Port", std::to_string(port));
    auto* late = new CDataCenterListenTask();
    ASSERT_TRUE(CTaskManager::GetInstance()->AddTask(late));
    EXPECT_TRUE(LogHas("[Run] Get DB Node Info Fail\n", 5000));
    EXPECT_LT(testnet::Connect(port), 0);
    SetKey("Zelk.conf", "DatabaseConfig", "DBServer", testdb::GetServer().host);
    const int peer = testnet::ConnectWithin(port, 5000);
    EXPECT_GE(peer, 0);
    testnet::Close(peer);
    EXPECT_TRUE(LogHas("[Run] Get DB Node Info Succeed After "));
    late->Stop();
    EXPECT_EQ(CTaskManager::GetInstance()->WaitForSingleTask(late, 10000), WAIT_OBJECT_0);
    if (!CTaskManager::GetInstance()->RemoveTask(late)) delete late;
    SetKey("Zelk.conf", "DatabaseConfig", "Port", std::to_string(s_port));
    CDataCenterListenTask::SetNodeListRetry(CDataCenterListenTask::kNodeListRetryMs);
}

TEST_F(NodeIntakeTest, StaleInfoSyncFilesAreDeleted) {
    const std::string temp = CGlobalSharedData::GetInstance()->GetTempDir();
    testenv::WriteFile(temp + "/stale.xml", "<x/>");
    testenv::WriteFile(temp + "/keep.txt", "x");
    ASSERT_EQ(SHCreateDirectory((temp + "/folder.xml").c_str()), 0u);
    CDataCenterListenTask task;
    task.CleanUpTempXml();
    EXPECT_FALSE(testenv::FileExists(temp + "/stale.xml"));
    EXPECT_TRUE(testenv::FileExists(temp + "/keep.txt"));
    EXPECT_TRUE(testenv::FileExists(temp + "/folder.xml"));
    EXPECT_TRUE(LogHas("[CleanUpTempXml] Delete FileName = " + temp + "/stale.xml Succeed.\n"));
    // The record task's tests in this program count the folder's .xml names.
    RemoveDirectoryA((temp + "/folder.xml").c_str());
    testenv::RemoveFile(temp + "/keep.txt");
}

class RingCacheTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CBuffManager::GetInstance()->Init()); }
    // What the Get calls return and report, as "true 9999".
    static std::string CanWrite(CRingCache& ring, DWORD n = 7) { return Text(ring.GetCanWriteSize(&n), n); }
    static std::string CanRead(CRingCache& ring, DWORD n = 7) { return Text(ring.GetCanReadSize(&n), n); }
    // n by reference: it is read after the Get call has filled it in.
    static std::string Text(bool ok, const DWORD& n) { return (ok ? "true " : "false ") + std::to_string(n); }
    // Writes n bytes of a counting pattern that starts at `first`.
    static void Write(CRingCache& ring, DWORD n, DWORD first = 0) {
        DWORD free = 0;
        ASSERT_TRUE(ring.GetCanWriteSize(&free));
        ASSERT_GE(free, n);
        for (DWORD i = 0; i < n; ++i) ring.GetWritePos()[i] = static_cast<BYTE>(first + i);
        ring.WriteCommit(n);
    }
    static void Read(CRingCache& ring, DWORD n) {
        DWORD readable = 0;
        ASSERT_TRUE(ring.GetCanReadSize(&readable));
        ASSERT_GE(readable, n);
        ring.ReadCommit(n);
    }
};

// A fresh ring offers its size less the one-byte gap. With fewer than 2,048
// bytes left at the end the writer gets nothing until the reader has left the
// start, then wraps early and marks the data end there; a long unread tail
// is read in place, and the reader continues at the ring start at the mark.
TEST_F(RingCacheTest, WriterWrapsEarlyAndReaderFollowsAtTheMark) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    EXPECT_EQ(CanWrite(ring), "true 9999");  // fresh: the size less the one-byte gap
    EXPECT_EQ(CanRead(ring), "false 0");
    Write(ring, 8000);
    EXPECT_EQ(CanWrite(ring), "false 0");  // 1,999 bytes left, reader still at the start
    EXPECT_EQ(ring.DataEnd(), ring.RingEnd());
    Read(ring, 5000);
    EXPECT_EQ(CanWrite(ring), "true 4999");  // up to the reader, minus the one-byte gap: never onto it
    EXPECT_EQ(ring.GetWritePos(), ring.RingStart());
    EXPECT_EQ(ring.DataEnd(), ring.RingStart() + 8000);

    Write(ring, 700, 100);
    EXPECT_EQ(CanWrite(ring), "true 4299");  // behind the reader too, one byte short of it
    EXPECT_EQ(CanRead(ring), "true 3000");
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart() + 5000);  // nothing moved
    ring.ReadCommit(3000);
    EXPECT_EQ(CanRead(ring), "true 700");
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart());
    EXPECT_EQ(ring.GetReadPos()[0], 100);
    EXPECT_EQ(ring.DataStart(), ring.RingStart());
    EXPECT_EQ(ring.DataEnd(), ring.RingEnd());
}

// An unread tail shorter than 2,048 bytes is moved in front of the ring start
// so that it joins the wrapped data in one contiguous block. A commit sets the
// other side's event only when that side armed it, and arming fails when the
// other side committed after the count the waiter took.
TEST_F(RingCacheTest, ShortTailIsMovedInFrontOfTheRingStartAndArmedCommitsSetTheEvents) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_OBJECT_0);
    ring.WriteCommit(0);
    ring.ReadCommit(0);
    EXPECT_EQ(ring.GetWritePos(), ring.RingStart());
    Write(ring, 8000);
    EXPECT_EQ(WaitForSingleObject(ring.GetDataReadyEvent(), 0), WAIT_TIMEOUT);  // nobody armed it
    const std::uint64_t read = ring.ReadCount();
    Read(ring, 7900);
    EXPECT_FALSE(ring.ArmNotFull(read));  // 7,900 bytes were read after the count
    EXPECT_TRUE(ring.ArmNotFull(ring.ReadCount()));
    const std::uint64_t written = ring.WriteCount();
    EXPECT_TRUE(ring.ArmDataReady(written));
    Write(ring, 500, 8000);
    EXPECT_EQ(WaitForSingleObject(ring.GetDataReadyEvent(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(ring.ArmDataReady(written));
    ring.ReadCommit(0);
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_TIMEOUT);  // zero bytes: no commit
    EXPECT_EQ(CanRead(ring), "true 600");
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart() - 100);
    EXPECT_EQ(ring.DataStart(), ring.RingStart() - 100);
    for (DWORD i = 0; i < 600; ++i) ASSERT_EQ(ring.GetReadPos()[i], static_cast<BYTE>(7900 + i)) << i;
    ring.ReadCommit(600);
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(CanRead(ring), "false 0");
}

// One writer and one reader thread move millions of bytes in random block
// sizes, waiting on the ring's events; the reader checks every byte of a
// running counter.
TEST_F(RingCacheTest, TwoThreadStress) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(64 * 1024));
    constexpr std::uint64_t kTotal = 24ull * 1024 * 1024;
    auto pattern = [](std::uint64_t at) { return static_cast<BYTE>(at * 131 >> 3); };
    std::atomic<int> lostWakeUps{0};  // a wait that ran out: a commit did not set an armed event
    std::thread writer([&] {
        std::mt19937 rng(7);
        for (std::uint64_t sent = 0; sent < kTotal;) {
            DWORD free = 0;
            const std::uint64_t seen = ring.ReadCount();
            if (!ring.GetCanWriteSize(&free)) {
                if (ring.ArmNotFull(seen) && WaitForSingleObject(ring.GetNotFullEvent(), 5000) != WAIT_OBJECT_0)
                    ++lostWakeUps;
                continue;
            }
            const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>({free, 1 + rng() % 9000, kTotal - sent}));
            for (DWORD i = 0; i < n; ++i) ring.GetWritePos()[i] = pattern(sent + i);
            ring.WriteCommit(n);
            sent += n;
        }
    });
    std::mt19937 rng(11);
    std::uint64_t received = 0;
    std::uint64_t errors = 0;
    while (received < kTotal) {
        DWORD readable = 0;
        const std::uint64_t seen = ring.WriteCount();
        if (!ring.GetCanReadSize(&readable)) {
            if (ring.ArmDataReady(seen) && WaitForSingleObject(ring.GetDataReadyEvent(), 5000) != WAIT_OBJECT_0)
                ++lostWakeUps;
            continue;
        }
        const DWORD n = std::min<DWORD>(readable, 1 + rng() % 5000);
        for (DWORD i = 0; i < n; ++i) errors += ring.GetReadPos()[i] != pattern(received + i) ? 1 : 0;
        ring.ReadCommit(n);
        received += n;
    }
    writer.join();
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(lostWakeUps.load(), 0);
}

}  // namespace
