// User audit-file uploads through the real intake: blocks in any order,
// compressed or stored, missing blocks reported and resent, rollback, idle
// uploads abandoned, packets whose lengths lie, another node's transactions
// and the bounds on what uploads may hold.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "audit/AuditFileManager.h"
#include "audit/Method3Codec.h"
#include "db/GlobalSharedData.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "support/DbEnv.h"
#include "support/IntakeHarness.h"
#include "support/Packets.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

constexpr char kNodeMd5[] = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
constexpr char kOtherMd5[] = "b0b1b2b3b4b5b6b7b8b9babbbcbdbebf";  // a second node of the same database
constexpr std::uint32_t kBlock = 4096;
const std::string kUsers = "<?xml version=\"1.0\"?><content><tarnuser><row id=\"1\" name=\"alice\" grpid=\"10\"/>"
                           "<row id=\"2\" name=\"bob smith\" grpid=\"10\"/><row id=\"3\" name=\"carol\" grpid=\"10\"/>"
                           "<row id=\"4\" name=\"../up\" grpid=\"10\"/><row id=\"5\" name=\"dave\" grpid=\"10\"/>"
                           "</tarnuser><tarngroup>"
                           "<row id=\"10\" pgrpid=\"0\"/></tarngroup></content>";

struct Reply {
    std::uint32_t result = 0, status = 0, fileId = 0, firstMissing = 0, missing = 0;
    std::string record;  // the 930-byte audit record reply, when one came
};

std::string Sha1(const std::string& data) {
    unsigned char digest[20];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), 20);
}

class AuditUploadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_service.Open("audit", kNodeMd5, kOtherMd5); }
    static void TearDownTestSuite() { s_service.Close(); }

    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        DecodeHex16(kNodeMd5, m_id);
        DecodeHex16(kOtherMd5, m_other);
        m_peer = testnet::Connect(s_service.port);
        ASSERT_GE(m_peer, 0);
        ASSERT_TRUE(testintake::SyncUsers(m_peer, m_id, kUsers));
    }
    void TearDown() override {
        testnet::Close(m_peer);
        TestClock::Reset();
        for (auto [key, value] :
             {std::pair{"MaxOpenUploadsPerNode", "8"}, {"MaxOpenUploads", "64"}, {"MaxUploadIdleTime", "600"}})
            testintake::SetKey("ZelkAdv.conf", "UserAuditFile", key, value);
    }
    // A synchronised connection of the second node, and its packets.
    int OtherPeer() {
        const int peer = testnet::Connect(s_service.port);
        EXPECT_TRUE(testintake::SyncUsers(peer, m_other, kUsers));
        return peer;
    }
    std::string AsOther(std::string p) { return p.replace(8, 16, reinterpret_cast<const char*>(m_other), 16); }

    // One transaction record: op type, the word at 158, then fields by offset.
    std::string Packet(std::uint32_t op, std::uint32_t word158, const std::string& data = "", bool netWord = true) {
        std::string p(std::max<size_t>(719, 718 + data.size()), '\0');
        auto* h = reinterpret_cast<packet::PacketHeader*>(p.data());
        testpkt::FillHeader(h, m_id, packet::LOG_USER_AUDIT_FILE, static_cast<std::uint32_t>(p.size()));
        std::memcpy(&p[154], &op, 4);
        if (netWord) {
            packet::WriteU32Net(&p[158], word158);
        } else {
            std::memcpy(&p[158], &word158, 4);
        }
        std::memcpy(&p[718], data.data(), data.size());
        return p;
    }
    std::string Begin(const std::string& user, std::uint64_t size, std::uint32_t timeoutS = 300,
                      std::uint32_t block = kBlock) {
        std::string p = Packet(1, 2, "", false);
        packet::WriteU32Net(&p[50], 10);
        std::snprintf(&p[54], 100, "%s", user.c_str());
        std::snprintf(&p[162], 520, "C:\\audit\\it's report.log");
        for (size_t at : {682u, 690u}) {
            packet::WriteU32Net(&p[at], static_cast<std::uint32_t>(size >> 32));
            packet::WriteU32Net(&p[at + 4], static_cast<std::uint32_t>(size));
        }
        packet::WriteU32Net(&p[698], block);
        packet::WriteU32Net(&p[702], timeoutS);
        return p;
    }
    std::string Block(std::uint32_t fileId, std::uint32_t index, const std::string& raw, bool compress) {
        std::string data = raw;
        std::uint32_t method = 0;
        if (compress) {
            const auto packed = auditcodec::Compress(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
            data.assign(packed.begin(), packed.end());
            method = 3;
        }
        std::string p = Packet(2, fileId, data);
        packet::WriteU32Net(&p[162], index);
        std::memcpy(&p[706], &method, 4);
        packet::WriteU32Net(&p[710], static_cast<std::uint32_t>(raw.size()));
        packet::WriteU32Net(&p[714], static_cast<std::uint32_t>(data.size()));
        return p;
    }
    // Sends a transaction and reads its reply (the record reply too after a
    // successful end).
    Reply Ask(const std::string& packet, int peer = -1) {
        if (peer < 0) peer = m_peer;
        EXPECT_TRUE(testnet::SendAll(peer, packet));
        std::string r = testnet::ReceiveExactly(peer, 75, 10000);
        // A reply to an inverted request comes inverted from byte 42 on.
        const bool inverted = packet[41] != 0;
        EXPECT_EQ(r.size() == 75 && r[41] != 0, inverted);
        if (inverted) {
            for (size_t i = 42; i < r.size(); ++i) r[i] = static_cast<char>(r[i] ^ 0xFF);
        }
        Reply out;
        if (r.size() != 75) {
            ADD_FAILURE() << "no transaction reply";
            return out;
        }
        EXPECT_EQ(packet::ReadU32(&r[24]), 13u);
        std::memcpy(&out.result, &r[50], 4);
        std::memcpy(&out.status, &r[54], 4);
        out.fileId = packet::ReadU32Net(&r[62]);
        std::memcpy(&out.firstMissing, &r[66], 4);
        std::memcpy(&out.missing, &r[70], 4);
        if (packet[154] == 3 && out.status == 0) out.record = testnet::ReceiveExactly(peer, 930, 10000);
        return out;
    }
    void SendBlocks(std::uint32_t fileId, const std::string& content, const std::vector<std::uint32_t>& order,
                    bool compress) {
        std::string stream;
        for (std::uint32_t i : order) stream += Block(fileId, i, content.substr(i * kBlock, kBlock), compress);
        ASSERT_TRUE(testnet::SendAll(m_peer, stream));
    }
    static std::string Content(size_t size) {
        std::mt19937 random(7);
        std::string text;
        while (text.size() < size) {
            text += "line " + std::to_string(random() % 1000) + " of the audit log; ";
            if (random() % 3 == 0) text += std::string(1, static_cast<char>(random()));
        }
        return text.substr(0, size);
    }
    static std::string Row(const std::string& sql) { return testdb::ScalarIn(s_service.nodeDb, sql); }

    static size_t Uploads() { return CAuditFileManager::GetInstance()->Count(); }

    static inline testintake::Service s_service;
    BYTE m_id[16];
    BYTE m_other[16];
    int m_peer = -1;
    std::string m_log;
};

// Blocks in random order, compressed: the stored file equals the sent one,
// the row and the record reply describe it, and a user name with a space
// lands in a directory with "$20" in its place.
TEST_F(AuditUploadTest, RandomOrderCompressedUploadIsStoredByteForByte) {
    const std::string content = Content(100 * kBlock + 123);
    const Reply begin = Ask(Begin("bob smith", content.size()));
    ASSERT_EQ(begin.status, 0u);
    std::vector<std::uint32_t> order(101);
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    SendBlocks(begin.fileId, content, order, true);
    const Reply end = Ask(Packet(3, begin.fileId, Sha1(content)));
    ASSERT_EQ(end.status, 0u);
    ASSERT_EQ(end.record.size(), 930u);

    const std::string web = Row("select dcfilepath from usrfileauditlog where sha1code = '" +
                                HexUpper(reinterpret_cast<const BYTE*>(Sha1(content).data()), 20) + "'");
    EXPECT_EQ(web.rfind("/UploadFiles/" + s_service.nodeDb + "/2031-03/bob$20smith/20310309140501", 0), 0u) << web;
    const std::string stored = CGlobalSharedData::GetInstance()->GetUploadDir() + web.substr(strlen("/UploadFiles"));
    EXPECT_TRUE(testenv::ReadFile(stored) == content);
    EXPECT_EQ(Row("select concat(user_id, '|', user_name, '|', grp_id, '|', filename, '|', filefullpath, '|', "
                  "filesize, '|', log_time) from usrfileauditlog where dcfilepath = '" + web + "'"),
              "2|bob smith|10|it's report.log|C:\\audit\\it's report.log|" + std::to_string(content.size()) +
                  "|2031-03-09 14:05:01");
    EXPECT_EQ(end.record.substr(674, 40), HexUpper(reinterpret_cast<const BYTE*>(Sha1(content).data()), 20));
    EXPECT_EQ(end.record.substr(146, 24), "C:\\audit\\it's report.log");
    EXPECT_EQ(CAuditFileManager::GetInstance()->Count(), 0u);
}

// An end with one block missing names that block; resending it completes the
// file. A SHA-1 that does not match what was stored is logged.
TEST_F(AuditUploadTest, MissingBlockIsReportedAndTheResentBlockCompletesTheFile) {
    const std::string content = Content(8 * kBlock);
    const Reply begin = Ask(testpkt::Invert(Begin("alice", content.size())));
    ASSERT_EQ(begin.status, 0u);
    SendBlocks(begin.fileId, content, {7, 6, 5, 4, 2, 1, 0}, false);
    const Reply first = Ask(testpkt::Invert(Packet(3, begin.fileId, Sha1(content))));
    EXPECT_EQ(first.result, 1u);
    EXPECT_EQ(first.status, 5u);
    EXPECT_EQ(first.firstMissing, 3u);
    EXPECT_EQ(first.missing, 1u);
    SendBlocks(begin.fileId, content, {3}, true);
    const Reply second = Ask(Packet(3, begin.fileId, std::string(20, 'x')));
    EXPECT_EQ(second.status, 0u);
    EXPECT_NE(testenv::ReadFile(m_log).find("Differs From Sent SHA-1 = 7878787878"), std::string::npos);
}

// Lengths that lie are refused whole: nothing is read past the packet,
// nothing is written past the announced size. A rollback deletes the partial
// file; an upload left idle is abandoned after its time-out.
TEST_F(AuditUploadTest, LyingLengthsRollbackAndIdleUploadsLeaveNothingBehind) {
    const Reply begin = Ask(Begin("carol", 2 * kBlock));
    ASSERT_EQ(begin.status, 0u);
    std::string tooLong = Block(begin.fileId, 0, std::string(kBlock, 'a'), false);
    packet::WriteU32Net(&tooLong[710], 1u << 30);  // longer than the block and the packet
    std::string pastPacket = Block(begin.fileId, 1, std::string(kBlock, 'b'), true);
    packet::WriteU32Net(&pastPacket[714], 1u << 20);  // compressed bytes beyond the packet
    std::string pastEnd = Block(begin.fileId, 2, std::string(kBlock, 'c'), false);  // block 2 of 2
    ASSERT_TRUE(testnet::SendAll(m_peer, tooLong + pastPacket + pastEnd));
    const Reply end = Ask(Packet(3, begin.fileId, std::string(20, '\0')));
    EXPECT_EQ(end.status, 5u);
    EXPECT_EQ(end.firstMissing, 0u);
    EXPECT_EQ(end.missing, 2u);
    const std::string dir = CGlobalSharedData::GetInstance()->GetUploadDir() + "/" + s_service.nodeDb + "/2031-03/carol";
    ASSERT_EQ(testenv::ListFiles(dir).size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(dir + "/" + testenv::ListFiles(dir)[0]), 2u * kBlock);

    ASSERT_TRUE(testnet::SendAll(m_peer, Packet(4, begin.fileId)));
    ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ListFiles(dir).empty(); }, 5000));

    // A name made to climb out of the upload directory stays inside it.
    const Reply climber = Ask(Begin("../up", kBlock));
    ASSERT_EQ(climber.status, 0u);
    EXPECT_EQ(testenv::ListFiles(dir + "/../$2E$2E$2Fup").size(), 1u);
    ASSERT_TRUE(testnet::SendAll(m_peer, Packet(4, climber.fileId)));

    const Reply idle = Ask(Begin("carol", kBlock, 60));
    ASSERT_EQ(idle.status, 0u);
    ASSERT_EQ(testenv::ListFiles(dir).size(), 1u);
    TestClock::AdvanceTicks(59 * 1000);
    EXPECT_FALSE(testenv::WaitFor([] { return CAuditFileManager::GetInstance()->Count() == 0; }, 300));
    TestClock::AdvanceTicks(3 * 1000);
    EXPECT_TRUE(testenv::WaitFor([] { return CAuditFileManager::GetInstance()->Count() == 0; }, 5000));
    EXPECT_TRUE(testenv::ListFiles(dir).empty());
    EXPECT_NE(testenv::ReadFile(m_log).find("Exceed 60 Seconds , Auto Clear It"), std::string::npos);
}

// Another node's transmission, rollback and end of this node's upload, and a
// rollback of it while another thread holds it, are refused as for an unknown
// ID: the upload stays intact and its owner completes it.
TEST_F(AuditUploadTest, AnotherNodesFileIdIsRefusedAndTheUploadStaysIntact) {
    const std::string content = Content(2 * kBlock);
    const Reply begin = Ask(Begin("alice", content.size()));
    SendBlocks(begin.fileId, content, {0}, false);
    const int other = OtherPeer();
    ASSERT_TRUE(testnet::SendAll(other, AsOther(Block(begin.fileId, 1, std::string(kBlock, 'X'), false)) +
                                            AsOther(Packet(4, begin.fileId))));
    const Reply foreign = Ask(AsOther(Packet(3, begin.fileId, Sha1(content))), other);
    EXPECT_EQ(std::make_pair(foreign.result, foreign.status), std::make_pair(1u, 6u));
    testnet::Close(other);
    ASSERT_NE(CAuditFileManager::GetInstance()->LockAuditFileInfoByFileID(begin.fileId), nullptr);
    ASSERT_TRUE(testnet::SendAll(m_peer, Packet(4, begin.fileId)));
    EXPECT_EQ(Ask(Packet(3, begin.fileId, Sha1(content))).status, 6u);  // locked: refused too
    CAuditFileManager::GetInstance()->UnLockAuditFileInfoByFileID(begin.fileId);
    EXPECT_EQ(testenv::CountOccurrences(testenv::ReadFile(m_log), "Belongs To Another Node."), 3u);
    // Block 1 was not written, nor the upload rolled back.
    const Reply missing = Ask(Packet(3, begin.fileId, Sha1(content)));
    EXPECT_EQ(std::make_tuple(missing.status, missing.firstMissing, missing.missing), std::make_tuple(5u, 1u, 1u));
    SendBlocks(begin.fileId, content, {1}, true);
    EXPECT_EQ(Ask(Packet(3, begin.fileId, Sha1(content))).status, 0u);
}

// Bounds on what uploads hold: open uploads per node database and in all,
// block size, disk promised and idle time-out. A connection that ends takes
// its uploads and their partial files with it.
TEST_F(AuditUploadTest, UploadsAreBoundedAndEndWithTheirConnection) {
    const std::string dir = CGlobalSharedData::GetInstance()->GetUploadDir() + "/" + s_service.nodeDb + "/2031-03/dave";
    for (auto [perNode, total, line] : {std::tuple{"2", "10", "Open Uploads Of DbName = "},
                                        {"10", "2", "Open Uploads Reached MaxOpenUploads = 2."}}) {
        testintake::SetKey("ZelkAdv.conf", "UserAuditFile", "MaxOpenUploadsPerNode", perNode);
        testintake::SetKey("ZelkAdv.conf", "UserAuditFile", "MaxOpenUploads", total);
        const int other = OtherPeer();
        std::vector<Reply> r;
        for (int i = 0; i < 3; ++i) r.push_back(Ask(AsOther(Begin("dave", 4 * kBlock)), other));
        EXPECT_EQ(std::make_tuple(r[0].status, r[1].status, r[2].status), std::make_tuple(0u, 0u, 7u));
        ASSERT_TRUE(testnet::SendAll(other, AsOther(Block(r[0].fileId, 0, std::string(kBlock, 'd'), false))));
        EXPECT_EQ(testenv::CountOccurrences(testenv::ReadFile(m_log), line), 1u) << line;
        EXPECT_EQ(testenv::ListFiles(dir).size(), 2u);
        testnet::Close(other);
        EXPECT_TRUE(testenv::WaitFor([&] { return Uploads() == 0 && testenv::ListFiles(dir).empty(); }, 10000));
    }
    for (std::uint32_t block : {0u, 1024u * 1024 + 1, 0xFFFFFFFFu})  // 0 or above MaxBlockSize KiB
        EXPECT_EQ(Ask(Begin("dave", 1u << 30, 300, block)).status, 6u) << block;
    // Sparse files take no disk yet: their sizes are reserved until released.
    const std::uint64_t size = std::filesystem::space(testenv::InstallDir()).available / 10 * 6;
    const Reply big = Ask(Begin("dave", size));
    EXPECT_EQ(Ask(Begin("dave", size)).status, 3u);
    ASSERT_TRUE(testnet::SendAll(m_peer, Packet(4, big.fileId)));  // gives its reservation back
    const Reply again = Ask(Begin("dave", size));
    EXPECT_EQ(std::make_pair(big.status, again.status), std::make_pair(0u, 0u));
    ASSERT_TRUE(testnet::SendAll(m_peer, Packet(4, again.fileId)));
    testintake::SetKey("ZelkAdv.conf", "UserAuditFile", "MaxUploadIdleTime", "10");
    for (std::uint32_t timeout : {0u, 0xFFFFFFFFu}) ASSERT_EQ(Ask(Begin("dave", kBlock, timeout)).status, 0u);
    TestClock::AdvanceTicks(6 * 1000);  // both cut to 10 s: none gone yet, both gone after 12 s
    EXPECT_FALSE(testenv::WaitFor([] { return Uploads() != 2; }, 300));
    TestClock::AdvanceTicks(6 * 1000);
    EXPECT_TRUE(testenv::WaitFor([&] { return Uploads() == 0 && testenv::ListFiles(dir).empty(); }, 5000));
}

}  // namespace
