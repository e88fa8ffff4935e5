#include "core/SocketManager.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "support/TestEnv.h"

namespace {

// A connected pair of TCP sockets over loopback.
struct LoopbackPair {
    int client = -1;
    int server = -1;
    LoopbackPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        server = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~LoopbackPair() {
        if (client >= 0) close(client);
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

TEST_F(SocketManagerTest, AllocatesRegistersAndReleases) {
    const size_t before = Sockets().SocketCount();
    SOCKET tcp = Sockets().AllocSocket(kSocketTypeStream);
    SOCKET udp = Sockets().AllocSocket(kSocketTypeDatagram);
    ASSERT_NE(tcp, INVALID_SOCKET);
    ASSERT_NE(udp, INVALID_SOCKET);
    int type = 0;
    socklen_t len = sizeof(type);
    getsockopt(tcp, SOL_SOCKET, SO_TYPE, &type, &len);
    EXPECT_EQ(type, SOCK_STREAM);
    getsockopt(udp, SOL_SOCKET, SO_TYPE, &type, &len);
    EXPECT_EQ(type, SOCK_DGRAM);
    EXPECT_EQ(Sockets().SocketCount(), before + 2);

    EXPECT_TRUE(Sockets().ReleaseSocket(tcp, true));
    EXPECT_FALSE(IsOpen(tcp));
    EXPECT_TRUE(Sockets().ReleaseSocket(udp, false));
    EXPECT_TRUE(IsOpen(udp));  // released without closing
    close(udp);
    EXPECT_EQ(Sockets().SocketCount(), before);
    EXPECT_EQ(testenv::ReadFile(m_log).find("Not In Manager"), std::string::npos);
}

TEST_F(SocketManagerTest, InvalidSocketsAreRefused) {
    const size_t before = Sockets().SocketCount();
    EXPECT_FALSE(Sockets().AddSocket(0));
    EXPECT_FALSE(Sockets().AddSocket(INVALID_SOCKET));
    EXPECT_FALSE(Sockets().ReleaseSocket(0, true));
    EXPECT_FALSE(Sockets().ReleaseSocket(INVALID_SOCKET, true));
    EXPECT_EQ(Sockets().SocketCount(), before);
}

TEST_F(SocketManagerTest, UnregisteredSocketWarnsAndIsStillClosed) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(Sockets().ReleaseSocket(s, true));
    EXPECT_FALSE(IsOpen(s));
    std::string text = testenv::ReadFile(m_log);
    EXPECT_NE(text.find("[WARN][TID="), std::string::npos);
    EXPECT_NE(text.find("[CSocketManager][ReleaseSocket] The Specify Socket Not In Manager\n"), std::string::npos);
}

TEST_F(SocketManagerTest, AddedSocketsAreClosedAtUnInit) {
    LoopbackPair pair;
    int extra = dup(pair.server);
    ASSERT_TRUE(Sockets().AddSocket(extra));
    Sockets().UnInit();
    EXPECT_FALSE(IsOpen(extra));
    EXPECT_EQ(Sockets().AllocSocket(kSocketTypeStream), INVALID_SOCKET);
    EXPECT_FALSE(Sockets().AddSocket(pair.server));
    ASSERT_TRUE(Sockets().Init());
}

TEST_F(SocketManagerTest, GuardedCallsMoveBytesAndRefuseEmptyCalls) {
    LoopbackPair pair;
    const char message[] = "logs0500";
    EXPECT_EQ(SafeSend(pair.client, message, 8), 8);
    char buffer[16] = {};
    // A zero length or a null buffer returns 0 and leaves the data waiting.
    EXPECT_EQ(SafeRecv(pair.server, buffer, 0), 0);
    EXPECT_EQ(SafeRecv(pair.server, nullptr, 8), 0);
    EXPECT_EQ(SafeRecv(0, buffer, 8), 0);
    EXPECT_EQ(SafeRecv(INVALID_SOCKET, buffer, 8), 0);
    EXPECT_EQ(SafeSend(pair.client, message, 0), 0);
    EXPECT_EQ(SafeRecv(pair.server, buffer, sizeof(buffer)), 8);
    EXPECT_EQ(std::string(buffer, 8), "logs0500");

    // A peer that has gone: send fails with an error instead of a signal.
    close(pair.server);
    pair.server = -1;
    int rc = 0;
    for (int i = 0; i < 50 && rc >= 0; ++i) rc = SafeSend(pair.client, message, 8);
    EXPECT_EQ(rc, SOCKET_ERROR);
    EXPECT_NE(WSAGetLastError(), 0);
}

TEST_F(SocketManagerTest, ReceiveBufferAndKeepAlive) {
    LoopbackPair pair;
    ASSERT_TRUE(SetSocketRecvBuff(pair.server, 2097152));
    int size = 0;
    socklen_t len = sizeof(size);
    getsockopt(pair.server, SOL_SOCKET, SO_RCVBUF, &size, &len);
    EXPECT_GE(size, 2097152 / 4);  // the kernel may cap or double the request
    EXPECT_FALSE(SetSocketRecvBuff(INVALID_SOCKET, 1024));

    ASSERT_TRUE(SetSocketKeepAlive(pair.server, 60000, 2000));
    int on = 0;
    int idle = 0;
    int interval = 0;
    len = sizeof(int);
    getsockopt(pair.server, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
    getsockopt(pair.server, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
    getsockopt(pair.server, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(idle, 60);
    EXPECT_EQ(interval, 2);
    EXPECT_FALSE(SetSocketKeepAlive(INVALID_SOCKET, 60000, 2000));
}

}  // namespace
