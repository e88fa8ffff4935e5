// The log merger in a chain ahead of a writer that records what reaches it:
// what is merged, dropped and kept, when buffers go down the chain, and that
// nothing kept is lost at the end of a connection.
#include "writers/LogMerger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "db/GlobalSharedData.h"
#include "db/InfoManager.h"
#include "platform/Clock.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "writers/LogsWriterManager.h"

namespace {

using packet::UserRecordV3;

// The writer behind the merger: keeps a copy of every user log passed down.
class SinkWriter : public CBaseLogWriter {
public:
    int WriteLog(const LogItem* item, ReplyBuff* reply) override {
        return DispatchItem(item, reply, 1u << packet::LOG_USER_V3);
    }
    int WriteLog(std::uint32_t kind, const UserRecordV3* p, ReplyBuff*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_logs.push_back(*p);
        m_kinds.push_back(kind);
        return 1;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_logs.size();
    }
    std::vector<UserRecordV3> Logs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_logs;
    }
    std::vector<std::uint32_t> Kinds() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_kinds;
    }

private:
    std::mutex m_mutex;
    std::vector<UserRecordV3> m_logs;
    std::vector<std::uint32_t> m_kinds;
};

const std::uint8_t kId[16] = {1, 2, 3, 4};

UserRecordV3 User(int action, int result, int serviceType, const char* message, std::uint32_t client = 7) {
    UserRecordV3 r{};
    testpkt::FillHeader(&r.header, kId, packet::LOG_USER_V3, packet::kUserV3Size);
    r.common.groupId = 10;
    r.common.action = action;
    r.common.result = result;
    r.common.serviceType = serviceType;
    r.common.clientAddressNet = client;
    r.common.serverAddressNet = 99;
    r.common.serverPortNet = 443;
    std::snprintf(r.common.userName, sizeof(r.common.userName), "alice");
    std::snprintf(r.message, sizeof(r.message), "%s", message);
    return r;
}

UserRecordV3 Flow(std::int64_t up, std::uint32_t client, int second) {
    UserRecordV3 r = User(2, 0, 0, "", client);
    r.upFlux = up;
    r.downFlux = 2 * up;
    r.rawUpFlux = 3 * up;
    r.rawDownFlux = 4 * up;
    packet::WriteU32Net(&r.header.logTimeNet, 14u << 16 | 5u << 8 | static_cast<std::uint32_t>(second));
    return r;
}

class LogMergerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testenv::UseFreshLogDay();
        Key("Global", "ParticleTime", "600");  // the tests decide when buffers are due
        Key("Global", "MergeBufferSize", "1");
        Key("UserLog", "HttpFilterList", "ads;;track");
        ASSERT_TRUE(CLogMergeManager::GetInstance()->Init());
        for (int c = INFO_COUNTER_MERGED_TOTAL; c <= INFO_COUNTER_MERGE_3; ++c) {
            m_before[c] = CInfoManager::GetInstance()->GetCounter(static_cast<InfoCounter>(c));
        }
    }
    void Install() { m_chain.InstallLogWriterChain({&m_merger, &m_sink}); }
    void TearDown() override {
        m_chain.UnInstallLogWriterChain();
        CLogMergeManager::GetInstance()->UnInit();
        TestClock::Reset();
        Key("Global", "ParticleTime", "30");
        Key("Global", "MergeBufferSize", "5");
        Key("Global", "MergeBuffers", "2");
        Key("UserLog", "HttpFilterList", "");
        Key("UserLog", "KeepFilterLog", "0");
    }
    static void Key(const char* section, const char* key, const char* value) {
        testintake::SetKey("ZelkAdv.conf", section, key, value);
    }
    int Send(const UserRecordV3& r, std::uint32_t kind = 1) { return m_chain.WriteLog(kind, &r); }
    std::uint64_t Counted(InfoCounter c) { return CInfoManager::GetInstance()->GetCounter(c) - m_before[c]; }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const UserRecordV3& r : m_sink.Logs()) out.push_back(r.message);
        return out;
    }

    CLogMergerLogWriter m_merger;
    SinkWriter m_sink;
    CVarnholtLogsWriterManager m_chain;
    std::uint64_t m_before[INFO_COUNTER_COUNT] = {};
};

TEST_F(LogMergerTest, FlowsAddUpRepeatsAndFilteredWebLogsAreDroppedTheRestKeepsItsOrder) {
    Install();
    EXPECT_EQ(Send(Flow(1, 7, 1), 2), 1);
    EXPECT_EQ(Send(Flow(10, 7, 9)), 1);    // same key: added to the first
    EXPECT_EQ(Send(Flow(100, 8, 2)), 1);   // another client: its own record
    EXPECT_EQ(Send(User(3, 1, 2, "GET /index")), 1);
    EXPECT_EQ(Send(User(3, 1, 2, "GET /index.html?x")), 1);   // begins like the kept one: a repeat
    EXPECT_EQ(Send(User(3, 2, 2, "GET /index.html?x")), 1);   // result 2: always kept
    EXPECT_EQ(Send(User(3, 1, 1, "see ADS , here")), 1);      // web log with a keyword: dropped
    EXPECT_EQ(Send(User(3, 1, 1, "nothing to see")), 1);      // web log without one: kept
    EXPECT_EQ(Send(User(3, 1, 1, "ads,no blank")), 1);         // the keyword needs " ," after it
    EXPECT_EQ(Send(User(3, 1, 1, "a , b")), 1);                // the empty piece of "ads;;track" is no keyword
    EXPECT_EQ(Send(User(1, 0, 0, "login")), 1);
    EXPECT_EQ(m_sink.Count(), 0u) << "kept until the buffer is due or the connection ends";

    m_chain.OnQuit();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"", "", "GET /index", "GET /index.html?x", "nothing to see",
                                                    "ads,no blank", "a , b", "login"}));
    const std::vector<UserRecordV3> logs = m_sink.Logs();
    ASSERT_EQ(logs.size(), 8u);
    const UserRecordV3& merged = logs[0];
    // Packed fields are copied out before they are compared.
    const std::int64_t sums[4] = {merged.upFlux, merged.downFlux, merged.rawUpFlux, merged.rawDownFlux};
    EXPECT_EQ(std::vector<std::int64_t>(sums, sums + 4), std::vector<std::int64_t>({11, 22, 33, 44}));
    EXPECT_EQ(packet::ReadU32Net(&merged.header.logTimeNet) & 0xFF, 1u) << "the first log's time";
    EXPECT_EQ(m_sink.Kinds()[0], 2u);
    EXPECT_EQ(std::int64_t{logs[1].upFlux}, 100);
    EXPECT_EQ(Counted(INFO_COUNTER_MERGE_2), 1u);
    EXPECT_EQ(Counted(INFO_COUNTER_MERGE_1), 2u);
    EXPECT_EQ(Counted(INFO_COUNTER_MERGED_TOTAL), 3u);
}

TEST_F(LogMergerTest, KeepFilterLogKeepsOnlyWebLogsWithAKeyword) {
    Key("UserLog", "KeepFilterLog", "1");
    Install();
    for (const char* message : {"track , me", "plain", "tRaCk ,"}) EXPECT_EQ(Send(User(3, 1, 1, message)), 1);
    EXPECT_EQ(Send(User(3, 1, 2, "plain")), 1);  // not a web log: not filtered
    m_chain.OnQuit();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"track , me", "tRaCk ,", "plain"}));
    EXPECT_EQ(Counted(INFO_COUNTER_MERGE_1), 1u);
}

// A service stop (the exit event) makes the write thread pass every kept log
// down, the current buffer's too, before the record task's own end.
TEST_F(LogMergerTest, TheExitEventPassesEveryKeptLogDown) {
    Install();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Send(Flow(1, 20 + i, 1)), 1);
    CGlobalSharedData::GetInstance()->SetExitEvent();
    const bool passed = testenv::WaitFor([&] { return m_sink.Count() == 5; }, 5000);
    ResetEvent(CGlobalSharedData::GetInstance()->GetExitEvent());
    EXPECT_TRUE(passed) << m_sink.Count();
    // A log after that last write-out goes on unmerged instead of waiting in
    // a buffer nobody writes out any more.
    EXPECT_EQ(Send(Flow(1, 20, 1)), 1);
    EXPECT_EQ(m_sink.Count(), 6u);
    m_chain.OnQuit();
    EXPECT_EQ(m_sink.Count(), 6u);
}

// A buffer goes down the chain once its particle time has passed or once it
// is full, while the connection goes on.
TEST_F(LogMergerTest, DueBuffersAreWrittenOutByTimeAndBySize) {
    Install();
    EXPECT_EQ(Send(User(1, 0, 0, "early")), 1);
    TestClock::AdvanceTicks(601 * 1000);
    EXPECT_EQ(Send(User(1, 0, 0, "later")), 1);  // finds the buffer due
    EXPECT_TRUE(testenv::WaitFor([&] { return m_sink.Count() == 1; }, 5000)) << m_sink.Count();

    // 1 MiB holds 1272 kept logs of 824 bytes; the next one finds it full.
    for (int i = 0; i < 1400; ++i) ASSERT_EQ(Send(User(1, 0, 0, "bulk")), 1);
    EXPECT_TRUE(testenv::WaitFor([&] { return m_sink.Count() >= 1 + 1272; }, 5000)) << m_sink.Count();
    m_chain.OnQuit();
    EXPECT_EQ(m_sink.Count(), 1402u);
}

// With a single buffer, a log that finds it due passes it down at once and
// goes on merging, instead of waiting for a free buffer that only the write
// thread (blocked on the same lock) could free and then declining the log.
TEST_F(LogMergerTest, ASingleDueBufferIsPassedDownWithoutStallingOrDecliningLogs) {
    Key("Global", "MergeBuffers", "1");
    Install();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Send(Flow(1, 7, 1)), 1);
        TestClock::AdvanceTicks(601 * 1000);
        const DWORD start = GetTickCount();
        EXPECT_EQ(Send(Flow(1, 7, 1)), 1) << "round " << round;
        EXPECT_LT(GetTickCount() - start, 5000u);
    }
    EXPECT_EQ(m_sink.Count(), 3u);
    m_chain.OnQuit();
    EXPECT_EQ(m_sink.Count(), 4u);
    DWORD buffers = 0;
    std::uint64_t total = 0, used = 0;
    CLogMergeManager::GetInstance()->GetStatistics(&buffers, &total, &used);
    EXPECT_EQ(buffers, 1u);
    EXPECT_EQ(total, 1048576u);
}

}  // namespace
