// The local info query server over real loopback sockets, and varnholt-info
// against it.
#include "info/InfoRetrieveTask.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/SocketManager.h"
#include "db/GlobalSharedData.h"
#include "db/InfoManager.h"
#include "info/InfoQuery.h"
#include "platform/Clock.h"
#include "support/ChildProcess.h"
#include "support/IntakeHarness.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"
#include "writers/LogMerger.h"

namespace {

using testintake::SetKey;

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
    for (int i = 0; i < times; ++i) CInfoManager::GetInstance()->Count(counter);
}

// -1 when nothing accepts on address:port.
int ConnectTo(in_addr_t address, std::uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address;
    addr.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return s;
    close(s);
    return -1;
}

class InfoRetrieveTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
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
        TestClock::Reset();
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
        EXPECT_EQ(+header.headerSize, 28u);
        EXPECT_EQ(+header.version, 1u);
        EXPECT_EQ(+header.queryType, 1u);
        EXPECT_EQ(+header.reserved, 0u);
        EXPECT_EQ(+header.dataSize, 72u);
        EXPECT_EQ(+data.version, 1u);
        return data;
    }
    // Waits until the server has taken in n requests in all.
    bool Received(size_t n) {
        return testenv::WaitFor(
            [&] { return testenv::CountOccurrences(testenv::ReadFile(m_log), "[RecvData] Socket Recv Size = ") >= n; },
            5000);
    }

    std::string m_log;
    size_t m_socketsBefore = 0;
    std::uint16_t m_port = 0;
    CInfoRetrieveTask* m_task = nullptr;
    int m_client = -1;
};

// A valid query gets the counters and settings of the moment; with merging off
// globally every kind reads off. Bytes after the 24 of a request are ignored.
TEST_F(InfoRetrieveTest, AnswersLogMergeQueryWithCountersAndSettings) {
    SetMergeKeys(1, 1, 0, 7);
    CInfoManager* info = CInfoManager::GetInstance();
    Bump(INFO_COUNTER_ALL, 5);
    Bump(INFO_COUNTER_MERGED_TOTAL, 4);
    Bump(INFO_COUNTER_MERGE_1, 1);
    Bump(INFO_COUNTER_MERGE_2, 2);
    Bump(INFO_COUNTER_MERGE_3, 1);

    InfoLogMergeReplyData d = Ask(Query() + "trailing");
    EXPECT_EQ(+d.globalMergeEnable, 1u);
    EXPECT_EQ(+d.allLogs, info->GetCounter(INFO_COUNTER_ALL));
    EXPECT_GE(+d.allLogs, 5u);
    EXPECT_EQ(+d.mergedTotal, info->GetCounter(INFO_COUNTER_MERGED_TOTAL));
    EXPECT_EQ(+d.userLogsMerged, info->GetCounter(INFO_COUNTER_MERGE_1));
    EXPECT_EQ(+d.flowLogsMerged, info->GetCounter(INFO_COUNTER_MERGE_2));
    EXPECT_EQ(+d.sysLogsMerged, info->GetCounter(INFO_COUNTER_MERGE_3));
    EXPECT_EQ(+d.userMergeEnable, 1u);
    EXPECT_EQ(+d.flowMergeEnable, 0u);
    EXPECT_EQ(+d.sysMergeEnable, 7u);
    // No merger has started: no buffers.
    EXPECT_EQ(+d.bufferCount, 0u);
    EXPECT_EQ(+d.bufferTotalBytes, 0u);
    EXPECT_EQ(+d.bufferUsagePercent, 0u);

    SetMergeKeys(0, 1, 1, 1);
    Bump(INFO_COUNTER_ALL, 1);
    d = Ask(Query());
    EXPECT_EQ(+d.globalMergeEnable, 0u);
    EXPECT_EQ(d.userMergeEnable + d.flowMergeEnable + d.sysMergeEnable, 0u);
    EXPECT_EQ(+d.allLogs, info->GetCounter(INFO_COUNTER_ALL));
}

// The buffers of every started merger are counted: MergeBuffers buffers of
// MergeBufferSize MiB each, nothing in use yet.
TEST_F(InfoRetrieveTest, ReportsTheBuffersOfStartedMergers) {
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
    EXPECT_EQ(+d.bufferCount, 3u);
    EXPECT_EQ(+d.bufferTotalBytes, 3u * 2 * 1048576);
    EXPECT_EQ(+d.bufferUsagePercent, 0u);
}

// The usage percentage holds where 32-bit arithmetic wraps (more than about
// 41 MiB in use), and a total beyond 32 bits saturates.
TEST(InfoQueryLayout, UsageAndSizeDoNotWrap) {
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
        Query(24, "INFOQRY\0", 0),     Query(24, "INFOQRY\0", 3), Query(24, "INFOQRY\0", 0xFFFFFFFF)};
    for (size_t i = 0; i < bad.size(); ++i) {
        ASSERT_TRUE(testnet::SendAll(m_client, bad[i]));
        ASSERT_TRUE(Received(i + 1)) << "request " << i;  // one receive per request
    }
    Ask(Query(), 300);  // exactly 100 bytes: none of the bad requests was answered

    const std::string log = testenv::ReadFile(m_log);
    EXPECT_EQ(testenv::CountOccurrences(log, "[DispatchRequest] Query Header Size = 25 Not 24\n"), 1u);
    EXPECT_EQ(testenv::CountOccurrences(log, "[DispatchRequest] Query Header Sign Not INFOQRY\n"), 2u);
    EXPECT_EQ(testenv::CountOccurrences(log, "[DispatchRequest] Query Type = 0 Not Support.\n"), 1u);
    EXPECT_EQ(testenv::CountOccurrences(log, "[DispatchRequest] Query Type = 3 Not Support.\n"), 1u);
    EXPECT_EQ(testenv::CountOccurrences(log, "Query Type = 4294967295"), 0u);  // negative: silently ignored
}

// Only 127.0.0.1 is listened on: neither another loopback address nor an
// address of a network interface reaches the server.
TEST_F(InfoRetrieveTest, ListensOnLoopbackOnly) {
    EXPECT_EQ(ConnectTo(inet_addr("127.0.0.2"), m_port), -1);
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const in_addr_t address = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(address) >> 24) == 127) continue;
        EXPECT_EQ(ConnectTo(address, m_port), -1) << i->ifa_name;
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
    ASSERT_TRUE(CGlobalSharedData::GetInstance()->SetExitEvent());
    const DWORD rc = WaitForSingleObject(second->GetThreadHandle(), 4000);
    ResetEvent(CGlobalSharedData::GetInstance()->GetExitEvent());
    EXPECT_EQ(rc, WAIT_OBJECT_0);
    EXPECT_TRUE(testnet::ClosedByPeerWithin(client, 2000));
    testnet::Close(client);
    EXPECT_GE(testenv::CountOccurrences(testenv::ReadFile(m_log), "[WaitExit] Wait Exit Event.\n"), 1u);
    if (second->WaitForExit(10000)) delete second;
}

// varnholt-info finds the port in the install tree's configuration and prints
// the counters for Prometheus; bad options and an absent service are told
// apart by the exit code.
TEST_F(InfoRetrieveTest, VarnholtInfoPrintsPrometheusMetrics) {
    testnet::Close(m_client);  // one client at a time: make way for the tool
    m_client = -1;
    Bump(INFO_COUNTER_ALL, 3);
    const std::string all = std::to_string(CInfoManager::GetInstance()->GetCounter(INFO_COUNTER_ALL));
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
    EXPECT_NE(output.find("# TYPE varnholt_logs_total counter\nvarnholt_logs_total " + all + "\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("# HELP varnholt_merge_buffer_usage_percent "), std::string::npos);
    EXPECT_NE(output.find("# TYPE varnholt_merge_enabled gauge\nvarnholt_merge_enabled 1\n"), std::string::npos);
    EXPECT_EQ(testenv::CountOccurrences(output, "# TYPE varnholt_"), 22u);  // 12 + 10 of the loss accounting

    EXPECT_EQ(run({"--port", std::to_string(m_port)}, &output), 0);
    EXPECT_NE(output.find("Logs dispatched         " + all + "\n"), std::string::npos) << output;
    EXPECT_EQ(run({"--port", "0"}, &output), 2);
    EXPECT_EQ(run({"--port", std::to_string(testnet::FreePort()), "--timeout", "2000"}, &output), 1);
}

}  // namespace
