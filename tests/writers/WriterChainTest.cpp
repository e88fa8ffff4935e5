#include "writers/LogsWriterManager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "support/TestEnv.h"

// Writers of the tests, outside any namespace so that their run-time names
// are plain.
class RecordingWriter : public CBaseLogWriter {
public:
    RecordingWriter(std::vector<std::string>* journal, std::string name, int result)
        : m_journal(journal), m_name(std::move(name)), m_result(result) {}

    int Init() override { return m_initResult; }
    void UnInit() override { m_journal->push_back(m_name + ".UnInit"); }
    int WriteLog(std::uint32_t, const packet::AdminRecord*, ReplyBuff*) override {
        m_journal->push_back(m_name + ".Admin");
        return m_result;
    }
    int WriteLog(std::uint32_t kind, const packet::UserRecordV3*, ReplyBuff*) override {
        m_journal->push_back(m_name + ".UserV3/" + std::to_string(kind));
        return m_result;
    }
    int WriteLog(std::uint32_t, const UserAuditFilePacket*, ReplyBuff* reply) override {
        m_journal->push_back(m_name + ".AuditFile");
        if (reply != nullptr && reply->capacity >= 2) {
            reply->data[0] = 'o';
            reply->data[1] = 'k';
            reply->used = 2;
        }
        return m_result;
    }
    int WriteLog(const LogItem* item, ReplyBuff* reply) override {
        m_journal->push_back(m_name + ".Item");
        return DispatchItem(item, reply, 1u << packet::LOG_ADMIN | 1u << packet::LOG_USER_V3);
    }
    void SetDbName(const char* dbName) override { m_journal->push_back(m_name + ".Db=" + dbName); }
    void OnQuit() override { m_journal->push_back(m_name + ".OnQuit"); }

    int PassOn(const LogItem* item) { return WriteLogToNextWriters(item, nullptr); }
    int m_initResult = 1;

private:
    std::vector<std::string>* m_journal;
    std::string m_name;
    int m_result;
};

class FailingInitWriter : public RecordingWriter {
public:
    explicit FailingInitWriter(std::vector<std::string>* journal) : RecordingWriter(journal, "F", 1) {
        m_initResult = 0;
    }
};

namespace {

class WriterChainTest : public ::testing::Test {
protected:
    void SetUp() override { m_log = testenv::UseFreshLogDay(); }
    void TearDown() override { TestClock::Reset(); }
    std::string m_log;
    std::vector<std::string> m_journal;
    packet::AdminRecord m_admin{};
    packet::UserRecordV3 m_user{};
};

TEST_F(WriterChainTest, FirstWriterThatHandlesEndsTheWalk) {
    RecordingWriter declines(&m_journal, "A", 0);
    RecordingWriter handles(&m_journal, "B", 1);
    RecordingWriter last(&m_journal, "C", 1);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&declines, nullptr, &handles, &last});
    EXPECT_EQ(manager.WriteLog(2, &m_admin), 1);
    EXPECT_EQ(manager.WriteLog(1, &m_user), 1);
    EXPECT_EQ(m_journal, (std::vector<std::string>{"A.Admin", "B.Admin", "A.UserV3/1", "B.UserV3/1"}));
    CVarnholtLogsWriterManager empty;  // no writer built yet: nobody handles a log
    empty.InstallLogWriterChain();
    EXPECT_EQ(empty.WriteLog(1, &m_admin), 0);
}

TEST_F(WriterChainTest, FailedInitIsLoggedWithTheClassNameAndTheWriterStaysInUse) {
    FailingInitWriter failing(&m_journal);
    RecordingWriter fine(&m_journal, "B", 0);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&failing, &fine});
    const std::string text = testenv::ReadFile(m_log);
    EXPECT_NE(text.find("[WARN]"), std::string::npos);
    EXPECT_NE(text.find("[CVarnholtLogsWriterManager][InstallLogWriterChain] Fail To Call Log Writer Init(). "
                        "Name = class FailingInitWriter\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[InstallLogWriterChain] Call Log Writer Init() Succeed. Name = class RecordingWriter\n"),
              std::string::npos);
    EXPECT_EQ(manager.WriteLog(1, &m_admin), 1);
    EXPECT_EQ(m_journal, (std::vector<std::string>{"F.Admin"}));
}

TEST_F(WriterChainTest, PassDownOffersItemsToTheWritersBehind) {
    RecordingWriter first(&m_journal, "A", 0);
    RecordingWriter second(&m_journal, "B", 0);
    RecordingWriter third(&m_journal, "C", 1);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&first, &second, nullptr, &third});
    LogItem item{packet::LOG_USER_V3, 2, reinterpret_cast<const BYTE*>(&m_user)};
    EXPECT_EQ(first.PassOn(&item), 1);
    EXPECT_EQ(m_journal, (std::vector<std::string>{"B.Item", "B.UserV3/2", "C.Item", "C.UserV3/2"}));
    m_journal.clear();
    EXPECT_EQ(third.PassOn(&item), 0);  // nothing behind the last writer
    EXPECT_TRUE(m_journal.empty());
    LogItem other{packet::LOG_SYSTEM, 1, reinterpret_cast<const BYTE*>(&m_user)};
    EXPECT_EQ(first.PassOn(&other), 0);  // a type nobody dispatches
}

TEST_F(WriterChainTest, ReplyBufferAndLifecycleCalls) {
    RecordingWriter writer(&m_journal, "A", 0);
    CVarnholtLogsWriterManager manager;
    manager.InstallLogWriterChain({&writer});
    std::vector<BYTE> buffer(64);
    auto* reply = reinterpret_cast<ReplyBuff*>(buffer.data());
    reply->capacity = static_cast<std::uint32_t>(buffer.size() - 12);
    reply->used = 0;
    UserAuditFilePacket auditFile{};
    EXPECT_EQ(manager.WriteLog(1, &auditFile, reply), 0);  // declined, but it answered
    EXPECT_EQ(reply->used, 2u);
    manager.SetDbName("node_db");
    manager.OnQuit();
    manager.UnInstallLogWriterChain();
    EXPECT_EQ(m_journal, (std::vector<std::string>{"A.AuditFile", "A.Db=node_db", "A.OnQuit", "A.UnInit"}));
}

}  // namespace
