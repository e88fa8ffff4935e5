// The socket registry and the guarded socket calls.
#include "core/SocketManager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "platform/Clock.h"
#include "support/TestEnv.h"
#include "support/TestSocket.h"

namespace {

// A connected pair of TCP sockets over loopback.
struct LoopbackPair {
    int client = -1;
    int server = -1;
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

class SocketManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        ASSERT_TRUE(CSocketManager::GetInstance()->Init());
    }
    void TearDown() override { TestClock::Reset(); }
    CSocketManager& Sockets() { return *CSocketManager::GetInstance(); }
    std::string m_log;
};

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
    EXPECT_EQ(testenv::ReadFile(m_log).find("Not In Manager"), std::string::npos);

    EXPECT_TRUE(Sockets().ReleaseSocket(udp, true));
    EXPECT_FALSE(IsOpen(udp));
    const std::string text = testenv::ReadFile(m_log);
    EXPECT_NE(text.find("[WARN][TID="), std::string::npos);
    EXPECT_NE(text.find("[CSocketManager][ReleaseSocket] The Specify Socket Not In Manager\n"), std::string::npos);

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
