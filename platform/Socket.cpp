#include "platform/Socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

thread_local int t_socketError = 0;

int Fail() {
    t_socketError = errno;
    return SOCKET_ERROR;
}

bool Valid(SOCKET s) { return s != INVALID_SOCKET && s != 0; }

}  // namespace

int WSAGetLastError() { return t_socketError; }

void WSASetLastError(int error) { t_socketError = error; }

SOCKET CreateSocket(int type) {
    int sysType = type == kSocketTypeStream ? SOCK_STREAM : type == kSocketTypeDatagram ? SOCK_DGRAM : type;
    int protocol = type == kSocketTypeStream ? IPPROTO_TCP : type == kSocketTypeDatagram ? IPPROTO_UDP : 0;
    int s = socket(AF_INET, sysType | SOCK_CLOEXEC, protocol);
    if (s < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    return s;
}

int closesocket(SOCKET s) {
    if (!Valid(s)) {
        t_socketError = EBADF;
        return SOCKET_ERROR;
    }
    return close(s) == 0 ? 0 : Fail();
}

int SocketRecv(SOCKET s, char* buffer, int length, int flags) {
    for (;;) {
        ssize_t n = recv(s, buffer, static_cast<size_t>(length), flags);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Fail();
    }
}

int SocketSend(SOCKET s, const char* buffer, int length, int flags) {
    for (;;) {
        ssize_t n = send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Fail();
    }
}

bool SetSocketRecvBufferSize(SOCKET s, int bytes) {
    if (!Valid(s)) return false;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0) return Fail() == 0;
    return true;
}

bool GetSocketRecvBufferSize(SOCKET s, int* bytes) {
    socklen_t len = sizeof(*bytes);
    if (!Valid(s) || bytes == nullptr) return false;
    return getsockopt(s, SOL_SOCKET, SO_RCVBUF, bytes, &len) == 0 || Fail() == 0;
}

bool SetSocketKeepAliveTimes(SOCKET s, DWORD idleMs, DWORD intervalMs) {
    if (!Valid(s)) return false;
    int on = 1;
    // The kernel counts in whole seconds; round up so that a short time never
    // becomes 0 (which the kernel refuses).
    int idle = static_cast<int>((idleMs + 999) / 1000);
    int interval = static_cast<int>((intervalMs + 999) / 1000);
    if (idle < 1) idle = 1;
    if (interval < 1) interval = 1;
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) != 0) {
        Fail();
        return false;
    }
    return true;
}
