// The registered buffer pool and socket registry, and what is built on them:
// pooled text conversions, packed date text and the guarded socket calls.
#include "core/SocketManager.h"
#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "support/Prelude.h"

namespace {

// A packed date (year, month, day) or time (hour, minute, second) word.
constexpr DWORD Pack(DWORD high, DWORD middle, DWORD low) { return high << 16 | middle << 8 | low; }

// A connected pair of TCP sockets over loopback.
struct LoopbackPair {
    int client = -1, server = -1;
    LoopbackPair() {
        SOCKET listener = CreateSocket(kSocketTypeStream);
        std::uint16_t port = 0;
        EXPECT_TRUE(SocketBind(listener, INADDR_LOOPBACK, 0) == 0 && SocketListen(listener, 1) == 0 &&
                    SocketLocalName(listener, nullptr, &port) == 0);
        client = testnet::Connect(port);
        server = SocketAccept(listener, nullptr, nullptr);
        closesocket(listener);
    }
    ~LoopbackPair() {
        close(client);
        if (server >= 0) close(server);
    }
};

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

class BuffManagerTest : public testenv::LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
    }
    static CSocketManager& Sockets() { return *CSocketManager::GetInstance(); }
};
using UtilityTest = BuffManagerTest;
using SocketManagerTest = BuffManagerTest;

// Buffers come zero-filled and registered; the release of an address the pool
// does not hold (a second release, a stack address) returns false with a
// warning instead of freeing it.
TEST_F(BuffManagerTest, UnknownAddressesAreReportedNotFreed) {
    CBuffManager* pool = CBuffManager::GetInstance();
    const size_t before = pool->RegisteredCount();
    EXPECT_EQ(AllocBuff(0), nullptr);
    BYTE* buffer = AllocBuff(8192);
    ASSERT_NE(buffer, nullptr);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(pool->RegisteredCount(), before + 1);
    EXPECT_TRUE(ReleaseByteBuff(buffer));
    EXPECT_EQ(pool->RegisteredCount(), before);

    EXPECT_FALSE(ReleaseByteBuff(buffer));  // under the sanitizers a second free would abort here
    int onStack = 0;
    EXPECT_FALSE(ReleaseByteBuff(&onStack));
    char expected[128];
    std::snprintf(expected, sizeof(expected),
                  "[WARN][TID=%04u][CBuffManager][ReleaseByteBuff] 0x%llx Not In BuffManager\n", GetCurrentThreadId(),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(buffer)));
    EXPECT_TRUE(Logged(expected)) << LogText();
}

// A record's packed date and time as text: the year padded to four places,
// the text cut to the buffer (size - 2 characters), nothing written to none.
// The text conversions hand out pool buffers (released by the caller) or
// release them themselves; without the pool there is nothing to convert into.
TEST_F(UtilityTest, PackedDateTextAndTextConversionsInPoolBuffers) {
    char text[32];
    for (const auto& [date, size, expected] :
         {std::tuple{Pack(2017, 3, 10), 32u, "2017-03-10 09:05:07"}, {Pack(999, 3, 10), 32u, " 999-03-10 09:05:07"},
          {Pack(2017, 3, 10), 10u, "2017-03-"}, {Pack(2017, 3, 10), 1u, ""}}) {
        ASSERT_TRUE(TranslateDWORDTimeToSZ(date, Pack(9, 5, 7), text, size));
        EXPECT_STREQ(text, expected);
    }
    text[0] = 'x';
    EXPECT_FALSE(TranslateDWORDTimeToSZ(0, 0, text, 0));
    EXPECT_EQ(text[0], 'x');
    std::string compact;
    EXPECT_TRUE(FormatDateTimeCompact(Pack(2017, 3, 10), Pack(9, 5, 7), compact));
    EXPECT_EQ(compact, "20170310090507");

    const size_t before = CBuffManager::GetInstance()->RegisteredCount();
    char* out = nullptr;
    char* gbk = Utf8ToGbk("\xE4\xB8\xAD\xE6\x96\x87 ok", &out);  // "中文 ok"
    EXPECT_EQ(out, gbk);
    EXPECT_EQ(std::string(gbk), "\xD6\xD0\xCE\xC4 ok");
    EXPECT_EQ(CBuffManager::GetInstance()->RegisteredCount(), before + 1);
    EXPECT_TRUE(ReleaseByteBuff(gbk));

    std::string s = "unchanged";
    EXPECT_TRUE(Utf8ToGbkString("bad \xFF byte", s));
    EXPECT_EQ(s, "bad ? byte");
    EXPECT_EQ(CBuffManager::GetInstance()->RegisteredCount(), before);
    CBuffManager::GetInstance()->UnInit();
    EXPECT_FALSE(Utf8ToGbkString("abc", s));
    ASSERT_TRUE(CBuffManager::GetInstance()->Init());
}

// Sockets are created or added here and released here; 0 (standard input)
// and INVALID_SOCKET are never taken, and a socket the registry does not hold
// is reported but still closed. Every owner has released its sockets by the
// time the managers shut down: what is still registered is then closed.
TEST_F(SocketManagerTest, RegistryAllocatesAddsAndReleases) {
    const size_t before = Sockets().SocketCount();
    SOCKET tcp = Sockets().AllocSocket(kSocketTypeStream);
    SOCKET udp = Sockets().AllocSocket(kSocketTypeDatagram);
    EXPECT_TRUE(IsOpen(tcp) && IsOpen(udp));
    EXPECT_EQ(Sockets().SocketCount(), before + 2);
    const bool stdinOpen = IsOpen(0);
    for (SOCKET bad : {SOCKET(0), INVALID_SOCKET}) {
        EXPECT_FALSE(Sockets().AddSocket(bad));
        EXPECT_FALSE(Sockets().ReleaseSocket(bad, true));
    }
    EXPECT_EQ(IsOpen(0), stdinOpen);
    EXPECT_EQ(Sockets().SocketCount(), before + 2);

    EXPECT_TRUE(Sockets().ReleaseSocket(tcp, true));
    EXPECT_FALSE(IsOpen(tcp));
    EXPECT_TRUE(Sockets().ReleaseSocket(udp, false));
    EXPECT_TRUE(IsOpen(udp));  // released without closing
    EXPECT_EQ(Sockets().SocketCount(), before);
    EXPECT_FALSE(Logged("Not In Manager"));

    EXPECT_TRUE(Sockets().ReleaseSocket(udp, true));
    EXPECT_FALSE(IsOpen(udp));
    EXPECT_TRUE(Logged("[WARN][TID="));
    EXPECT_TRUE(Logged("[CSocketManager][ReleaseSocket] The Specify Socket Not In Manager\n"));

    LoopbackPair pair;
    ASSERT_TRUE(Sockets().AddSocket(pair.server));
    Sockets().UnInit();
    EXPECT_FALSE(IsOpen(pair.server));
    pair.server = -1;
    EXPECT_EQ(Sockets().AllocSocket(kSocketTypeStream), INVALID_SOCKET);
    EXPECT_FALSE(Sockets().AddSocket(pair.client));
    ASSERT_TRUE(Sockets().Init());
}

// What a peer sees of the guarded calls: the bytes sent arrive intact, and a
// peer that has gone makes send fail with an error instead of a signal.
TEST_F(SocketManagerTest, GuardedCallsMoveBytesAndReportAVanishedPeer) {
    LoopbackPair pair;
    EXPECT_EQ(SafeSend(pair.client, "logs0500", 8), 8);
    char buffer[16] = {};
    EXPECT_EQ(SafeRecv(pair.server, buffer, sizeof(buffer)), 8);
    EXPECT_EQ(std::string(buffer, 8), "logs0500");
    close(pair.server);
    pair.server = -1;
    int rc = 0;
    for (int i = 0; i < 50 && rc >= 0; ++i) rc = SafeSend(pair.client, "logs0500", 8);
    EXPECT_EQ(rc, SOCKET_ERROR);
    EXPECT_NE(WSAGetLastError(), 0);
}

}  // namespace
