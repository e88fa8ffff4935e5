// The local info query server over real loopback sockets, varnholt-info
// against it, and the loss accounting it serves: logs of a real intake end in
// exactly one bucket, read with the accounting query while the old log merge
// query keeps its 100-byte reply.
#include "info/InfoRetrieveTask.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include "core/ExitEvent.h"
#include "core/LossAccounting.h"
#include "core/SocketManager.h"
#include "core/InfoCounters.h"
#include "info/InfoQuery.h"
#include "info/MetricsServer.h"
#include "info/MetricsText.h"
#include "support/Prelude.h"
#include "writers/LogMerger.h"

namespace {

using testintake::SetKey;

constexpr char kAccountingNode[] = "a1b2c3d4a1b2c3d4a1b2c3d4a1b2c3d4";
constexpr char kMetricsNode[] = "b1b2c3d4a1b2c3d4a1b2c3d4a1b2c3d4";
constexpr char kSilentNode[] = "c1b2c3d4a1b2c3d4a1b2c3d4a1b2c3d4";

// GET /metrics from the endpoint on port: the body of a 200 answer.
std::string Scrape(std::uint16_t port) {
    const int fd = testnet::Connect(port);
    if (fd < 0 || !testnet::SendAll(fd, "GET /metrics HTTP/1.1\r\nHost: varnholt\r\n\r\n")) return "no connection";
    const std::string reply = testnet::ReceiveExactly(fd, size_t{1} << 22, 5000);
    testnet::Close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return reply.rfind("HTTP/1.1 200 ", 0) == 0 && body != std::string::npos ? reply.substr(body + 4) : reply;
}

std::string Query(std::uint32_t headerSize = 24, const char (&sign)[9] = "INFOQRY\0", std::uint32_t type = 1) {
    InfoQueryHeader q{};
    q.headerSize = headerSize;
    std::memcpy(q.sign, sign, sizeof(q.sign));
    q.queryType = type;
    return std::string(reinterpret_cast<const char*>(&q), sizeof(q));
}

void SetMergeKeys(int global, int user, int flow, int sys) {
    SetKey("ZelkAdv.conf", "Global", "EnableLogMerge", std::to_string(global));
    SetKey("ZelkAdv.conf", "UserLog", "EnableLogMerge", std::to_string(user));
    SetKey("ZelkAdv.conf", "FlowLog", "EnableLogMerge", std::to_string(flow));
    SetKey("ZelkAdv.conf", "SysLog", "EnableLogMerge", std::to_string(sys));
}

void Bump(InfoCounter counter, int times) {
    for (int i = 0; i < times; ++i) CountInfo(counter);
}

class InfoRetrieveTest : public testenv::LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
        m_socketsBefore = CSocketManager::GetInstance()->SocketCount();
        m_port = testnet::FreePort();
        SetKey("ZelkAdv.conf", "InfoRetrieve", "ListenPort", std::to_string(m_port));
        SetMergeKeys(1, 1, 1, 0);
        m_task = StartTask();
        m_client = testnet::ConnectWithin(m_port, 5000);
        ASSERT_GE(m_client, 0);
    }
    void TearDown() override {
        testnet::Close(m_client);
        if (m_task != nullptr && m_task->WaitForExit(10000)) delete m_task;  // never freed under its thread
    }
    static CInfoRetrieveTask* StartTask() {
        auto* task = new CInfoRetrieveTask();
        EXPECT_TRUE(task->Init() && task->Start());
        return task;
    }
    // Sends a request and checks that exactly one reply comes back; with
    // extraWaitMs, also that no byte follows it within that time.
    InfoLogMergeReplyData Ask(const std::string& request, unsigned extraWaitMs = 0) {
        EXPECT_TRUE(testnet::SendAll(m_client, request));
        const std::string reply = testnet::ReceiveExactly(m_client, 100, 5000);
        EXPECT_EQ(reply.size(), 100u);
        if (extraWaitMs > 0) {
            EXPECT_EQ(testnet::ReceiveExactly(m_client, 1, extraWaitMs), "");
        }
        InfoReplyHeader header{};
        InfoLogMergeReplyData data{};
        std::memcpy(&header, reply.data(), std::min(reply.size(), sizeof(header)));
        if (reply.size() >= 100) std::memcpy(&data, reply.data() + sizeof(header), sizeof(data));
        // Fields of the packed layouts are compared as values (+): a
        // reference to one may be misaligned.
        EXPECT_EQ(std::string(header.sign, 8), std::string("INFORLY\0", 8));
        EXPECT_EQ(std::make_tuple(+header.headerSize, +header.version, +header.queryType, +header.reserved,
                                  +header.dataSize, +data.version),
                  std::make_tuple(28u, 1u, 1u, 0u, 72u, 1u));
        return data;
    }

    size_t m_socketsBefore = 0;
    std::uint16_t m_port = 0;
    CInfoRetrieveTask* m_task = nullptr;
    int m_client = -1;
};

// 300 user logs of a known user go through the merger into data files, 40
// without a user name are dropped as of an unknown user, 60 alarms go by INSERT; once
// the files are loaded and the connection has ended, stored + dropped equals
// accepted, nothing is pending or held, and the rows are in the tables. The
// info server then sends exactly these counters.
TEST_F(InfoRetrieveTest, EveryAcceptedLogEndsInOneBucketAndIsReadOverTheInfoQuery) {
    testintake::Service service;
    service.Open("acct", kAccountingNode);
    loss::ResetForTest();
    BYTE id[16];
    ASSERT_TRUE(DecodeHex16(kAccountingNode, id));
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
    EXPECT_EQ(std::make_tuple(b.accepted, b.dropped, c[loss::DROP_UNKNOWN_USER]), std::make_tuple(400u, 40u, 40u));
    EXPECT_EQ(std::make_tuple(c[loss::DF_LOADED], c[loss::SQL_STORED]), std::make_tuple(300u, 60u));
    EXPECT_EQ(b.pendingDataFiles + b.pendingSpool + b.Held() + b.merged, 0u);
    EXPECT_EQ(b.Unaccounted(), 0);

    constexpr size_t kAccountingBytes =
        sizeof(InfoReplyHeader) + sizeof(InfoAccountingReplyHead) + 8 * loss::COUNTER_COUNT;
    ASSERT_TRUE(testnet::SendAll(m_client, Query(24, "INFOQRY\0", infoquery::kQueryTypeAccounting)));
    const std::string reply = testnet::ReceiveExactly(m_client, kAccountingBytes, 5000);
    ASSERT_EQ(reply.size(), kAccountingBytes);
    InfoReplyHeader header{};
    InfoAccountingReplyHead head{};
    std::memcpy(&header, reply.data(), sizeof(header));
    std::memcpy(&head, reply.data() + sizeof(header), sizeof(head));
    EXPECT_EQ(std::string(header.sign, 8), std::string("INFORLY\0", 8));
    EXPECT_EQ(std::make_tuple(+header.queryType, size_t{header.dataSize}, +head.counterCount),
              std::make_tuple(2u, kAccountingBytes - sizeof(InfoReplyHeader), unsigned{loss::COUNTER_COUNT}));
    EXPECT_EQ(0, std::memcmp(reply.data() + sizeof(header) + sizeof(head), c, sizeof(c)));
    Ask(Query(), 1500);  // the log merge query on the same connection: still its 100 bytes, nothing more
    TestClock::Reset();
    service.Close();
}

// A valid query gets the counters and settings of the moment; with merging off
// globally every kind reads off. Bytes after the 24 of a request are ignored.
TEST_F(InfoRetrieveTest, AnswersLogMergeQueryWithCountersAndSettings) {
    SetMergeKeys(1, 1, 0, 7);
    Bump(INFO_COUNTER_ALL, 5);
    Bump(INFO_COUNTER_MERGED_TOTAL, 4);
    Bump(INFO_COUNTER_MERGE_1, 1);
    Bump(INFO_COUNTER_MERGE_2, 2);
    Bump(INFO_COUNTER_MERGE_3, 1);

    InfoLogMergeReplyData d = Ask(Query() + "trailing");
    EXPECT_GE(+d.allLogs, 5u);
    EXPECT_EQ(std::make_tuple(+d.allLogs, +d.mergedTotal, +d.userLogsMerged, +d.flowLogsMerged, +d.sysLogsMerged),
              std::make_tuple(GetInfoCounter(INFO_COUNTER_ALL), GetInfoCounter(INFO_COUNTER_MERGED_TOTAL),
                              GetInfoCounter(INFO_COUNTER_MERGE_1), GetInfoCounter(INFO_COUNTER_MERGE_2),
                              GetInfoCounter(INFO_COUNTER_MERGE_3)));
    EXPECT_EQ(std::make_tuple(+d.globalMergeEnable, +d.userMergeEnable, +d.flowMergeEnable, +d.sysMergeEnable),
              std::make_tuple(1u, 1u, 0u, 7u));
    // No merger has started: no buffers.
    EXPECT_EQ(std::make_tuple(+d.bufferCount, +d.bufferTotalBytes, +d.bufferUsagePercent), std::make_tuple(0u, 0u, 0u));

    SetMergeKeys(0, 1, 1, 1);
    Bump(INFO_COUNTER_ALL, 1);
    d = Ask(Query());
    EXPECT_EQ(+d.globalMergeEnable, 0u);
    EXPECT_EQ(d.userMergeEnable + d.flowMergeEnable + d.sysMergeEnable, 0u);
    EXPECT_EQ(+d.allLogs, GetInfoCounter(INFO_COUNTER_ALL));
}

// The buffers of every started merger are counted: MergeBuffers buffers of
// MergeBufferSize MiB each, nothing in use yet. The usage percentage holds
// where 32-bit arithmetic wraps (more than about 41 MiB in use), and a total
// beyond 32 bits saturates.
TEST_F(InfoRetrieveTest, ReportsTheBuffersOfStartedMergersWithoutWrapping) {
    SetKey("ZelkAdv.conf", "Global", "MergeBuffers", "3");
    SetKey("ZelkAdv.conf", "Global", "MergeBufferSize", "2");
    CLogMergeManager* manager = CLogMergeManager::GetInstance();
    ASSERT_TRUE(manager->Init());
    CLogMerger* merger = manager->AllocLogMerger();
    ASSERT_NE(merger, nullptr);
    ASSERT_TRUE(merger->Start());
    const InfoLogMergeReplyData d = Ask(Query());
    EXPECT_TRUE(manager->ReleaseLogMerger(merger));
    manager->UnInit();
    EXPECT_EQ(std::make_tuple(+d.bufferCount, +d.bufferTotalBytes, +d.bufferUsagePercent),
              std::make_tuple(3u, 3u * 2 * 1048576, 0u));
    EXPECT_EQ(infoquery::MergeUsagePercent(150ull << 20, 200ull << 20), 75u);
    EXPECT_EQ(infoquery::MergeUsagePercent(0, 200ull << 20), 0u);
    EXPECT_EQ(infoquery::MergeUsagePercent(5, 0), 0u);
    EXPECT_EQ(infoquery::ClampToU32(5ull << 30), 0xFFFFFFFFu);
    EXPECT_EQ(infoquery::ClampToU32(50ull << 20), 50u << 20);
}

// Malformed requests are logged and not answered, and the connection still
// answers a valid request afterwards.
TEST_F(InfoRetrieveTest, MalformedQueriesGetNoReplyAndKeepTheConnection) {
    const std::vector<std::string> bad = {
        Query().substr(0, 23),         Query(25),    Query(24, "INFOQRX\0"), Query(24, "INFOQRYZ"),
        Query(24, "INFOQRY\0", 0),     Query(24, "INFOQRY\0", 4), Query(24, "INFOQRY\0", 0xFFFFFFFF)};
    for (size_t i = 0; i < bad.size(); ++i) {
        ASSERT_TRUE(testnet::SendAll(m_client, bad[i]));
        // Taken in (one receive per request) before the next is sent.
        ASSERT_TRUE(WaitForLog("[RecvData] Socket Recv Size = ", 5000, i + 1)) << "request " << i;
    }
    Ask(Query(), 300);  // exactly 100 bytes: none of the bad requests was answered

    EXPECT_EQ(LogCount("[DispatchRequest] Query Header Size = 25 Not 24\n"), 1u);
    EXPECT_EQ(LogCount("[DispatchRequest] Query Header Sign Not INFOQRY\n"), 2u);
    EXPECT_EQ(LogCount("[DispatchRequest] Query Type = 0 Not Support.\n"), 1u);
    EXPECT_EQ(LogCount("[DispatchRequest] Query Type = 4 Not Support.\n"), 1u);
    EXPECT_EQ(LogCount("Query Type = 4294967295"), 0u);  // negative: silently ignored
}

// What a scrape shows of each registered node during a small flood: the
// logs accepted by kind, its connection, its last packet and stored row, and
// the registered node that never connected as silent. The text passes
// promtool's own check.
TEST(MetricsTest, ScrapeShowsEachNodeAndTheSilentOne) {
    testintake::Service service;
    // Names of their own: the node list keeps the nodes of earlier tests.
    // The silent node gets a database of its own: nodes sharing one share
    // its freshness.
    service.Open("metrics", kMetricsNode, kSilentNode, [&] {
        testdb::ExecIn(service.mainDb, "update dev_node set db_name = if(node_name = 'gw', db_name, "
                                       "concat(db_name, '_quiet')), node_name = if(node_name = 'gw', 'busy', 'quiet')");
    });
    CMetricsServer endpoint;  // as the service starts it, on a port of the test's
    ASSERT_TRUE(endpoint.StartOnAnyPort("127.0.0.1", &RenderMetrics));
    const auto scrape = [&] { return Scrape(endpoint.Port()); };
    BYTE id[16];
    ASSERT_TRUE(DecodeHex16(kMetricsNode, id));
    int peer = testnet::Connect(service.port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(testintake::SyncUsers(peer, id));
    std::string stream = testpkt::Alarms(id, "alarm", 7);
    for (int i = 0; i < 4; ++i) stream += testpkt::UserV1(id, 1, "alice", "known " + std::to_string(i));
    const long long before = static_cast<long long>(GetSystemTimeSeconds());
    ASSERT_TRUE(testnet::SendAll(peer, stream + testpkt::KeepAlive(id)));
    ASSERT_EQ(testnet::ReceiveExactly(peer, packet::kKeepAliveReplySize, 20000).size(),
              size_t{packet::kKeepAliveReplySize});
    // The alarms wait in the SQL cache (not yet due), the user logs in a
    // merge buffer or a data file: the oldest is as old as the clock moved.
    TestClock::AdvanceLocalTime(1000);
    std::string text = scrape();
    for (const char* line : {"varnholt_node_freshness_seconds{node=\"quiet\"} 0\n","varnholt_node_connections{node=\"busy\"} 1\n", "varnholt_node_connections{node=\"quiet\"} 0\n",
                             "varnholt_node_logs_accepted_total{node=\"busy\",type=\"alarm\"} 7\n",
                             "varnholt_node_logs_accepted_total{node=\"busy\",type=\"user\"} 4\n",
                             "varnholt_node_logs_accepted_total{node=\"quiet\",type=\"alarm\"} 0\n",
                             "varnholt_node_last_packet_timestamp_seconds{node=\"quiet\"} 0\n",
                             "varnholt_node_last_keepalive_timestamp_seconds{node=\"quiet\"} 0\n"}) {
        EXPECT_TRUE(testenv::Contains(text, line)) << line << text;
    }
    const auto value = [&](const std::string& series) {
        const size_t at = text.find(series + " ");
        return at == std::string::npos ? -1 : std::stoll(text.substr(at + series.size() + 1));
    };
    EXPECT_GE(value("varnholt_node_last_keepalive_timestamp_seconds{node=\"busy\"}"), before);
    EXPECT_GE(value("varnholt_node_received_bytes_total{node=\"busy\"}"), static_cast<long long>(stream.size()));
    EXPECT_GE(value("varnholt_node_freshness_seconds{node=\"busy\"}"), 1000);
    EXPECT_LT(value("varnholt_node_freshness_seconds{node=\"busy\"}"), 1100);
    EXPECT_GE(value("\nvarnholt_freshness_seconds"), value("varnholt_node_freshness_seconds{node=\"busy\"}"));
    // The alarms reach MySQL when the connection ends, the data files are
    // loaded: the node's last stored row is then recent, nothing waits.
    testnet::Close(peer);
    EXPECT_TRUE(testenv::WaitFor(
        [&] {
            text = scrape();
            return value("varnholt_node_last_stored_timestamp_seconds{node=\"busy\"}") >= before &&
                   text.find("varnholt_node_connections{node=\"busy\"} 0\n") != std::string::npos &&
                   value("varnholt_node_freshness_seconds{node=\"busy\"}") == 0;
        },
        20000))
        << text;
    const std::string file = testenv::InstallDir() + "/scrape.txt";
    testenv::WriteFile(file, text);
    EXPECT_EQ(system(("'" + std::string(VARNHOLT_SOURCE_DIR) + "/tests/prometheus/run.sh' metrics '" + file +
                      "' >/dev/null 2>&1").c_str()),
              0)
        << text;
    service.Close();
}

// Only 127.0.0.1 is listened on: neither another loopback address nor an
// address of a network interface reaches the server.
TEST_F(InfoRetrieveTest, ListensOnLoopbackOnly) {
    EXPECT_EQ(testnet::Connect(m_port, "127.0.0.2"), -1);
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const in_addr address = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) == 127) continue;
        EXPECT_EQ(testnet::Connect(m_port, inet_ntoa(address)), -1) << i->ifa_name;
    }
    freeifaddrs(list);
    Ask(Query());  // while 127.0.0.1 answers
}

// A stop request ends the task while it serves a client, without waiting out
// its 5-second waits; its sockets are closed and given back. The exit event
// ends a task as well.
TEST_F(InfoRetrieveTest, StopOrExitEventEndsTheTask) {
    Ask(Query());  // the client is being served
    m_task->Stop();
    EXPECT_EQ(WaitForSingleObject(m_task->GetThreadHandle(), 4000), WAIT_OBJECT_0);
    EXPECT_TRUE(testnet::ClosedByPeerWithin(m_client, 2000));
    EXPECT_EQ(testnet::Connect(m_port), -1);
    EXPECT_EQ(CSocketManager::GetInstance()->SocketCount(), m_socketsBefore);

    CInfoRetrieveTask* second = StartTask();
    const int client = testnet::ConnectWithin(m_port, 5000);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(SetExitEvent());
    const DWORD rc = WaitForSingleObject(second->GetThreadHandle(), 4000);
    ResetEvent(GetExitEvent());
    EXPECT_EQ(rc, WAIT_OBJECT_0);
    EXPECT_TRUE(testnet::ClosedByPeerWithin(client, 2000));
    testnet::Close(client);
    EXPECT_TRUE(Logged("[WaitExit] Wait Exit Event.\n"));
    if (second->WaitForExit(10000)) delete second;
}

// varnholt-info finds the port in the install tree's configuration and prints
// the counters for Prometheus; bad options and an absent service are told
// apart by the exit code.
TEST_F(InfoRetrieveTest, VarnholtInfoPrintsPrometheusMetrics) {
    testnet::Close(m_client);  // one client at a time: make way for the tool
    m_client = -1;
    Bump(INFO_COUNTER_ALL, 3);
    const std::string all = std::to_string(GetInfoCounter(INFO_COUNTER_ALL));
    auto run = [](const std::vector<std::string>& args, std::string* output) {
        CChildProcess tool;
        const std::string out = testenv::InstallDir() + "/varnholt-info.out";
        EXPECT_TRUE(tool.Start(std::string(VARNHOLT_BIN_DIR) + "/varnholt-info", args, {}, out));
        int code = -1;
        EXPECT_TRUE(tool.Wait(20000, &code));
        *output = testenv::ReadFile(out);
        return code;
    };
    std::string output;
    ASSERT_EQ(run({"--prometheus"}, &output), 0) << output;
    for (const std::string& part : {"# TYPE varnholt_logs_total counter\nvarnholt_logs_total " + all + "\n",
                                    std::string("# HELP varnholt_merge_buffer_usage_percent "),
                                    std::string("# TYPE varnholt_merge_enabled gauge\nvarnholt_merge_enabled 1\n")}) {
        EXPECT_TRUE(testenv::Contains(output, part)) << part << output;
    }
    // 12 merge, 11 loss accounting, 5 service-wide and 8 per-node families, and varnholt_up
    EXPECT_EQ(testenv::CountOccurrences(output, "# TYPE varnholt_"), 37u);

    EXPECT_EQ(run({"--port", std::to_string(m_port)}, &output), 0);
    EXPECT_TRUE(testenv::Contains(output, "Logs dispatched         " + all + "\n")) << output;
    EXPECT_EQ(run({"--port", "0"}, &output), 2);
    EXPECT_EQ(run({"--port", std::to_string(testnet::FreePort()), "--timeout", "2000"}, &output), 1);
}

}  // namespace
