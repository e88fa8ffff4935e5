#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// ---------------------------------------------------------------------------
// Network events

CNetworkEvent* CNetworkEvent::Create() { return new CNetworkEvent(); }

int CNetworkEvent::PollFd() const {
    SOCKET s = m_socket.load();
    // No socket yet: a descriptor poll() ignores (never signalled).
    return (Valid(s) && m_mask.load() != 0) ? s : -1;
}

short CNetworkEvent::PollEvents() const {
    const long mask = m_mask.load();
    short events = 0;
    if ((mask & (FD_READ | FD_ACCEPT | FD_CLOSE)) != 0) events |= POLLIN | POLLRDHUP;
    if ((mask & FD_WRITE) != 0) events |= POLLOUT;
    return events;
}

void CNetworkEvent::Select(SOCKET s, long mask) {
    m_socket.store(s);
    m_mask.store(mask);
}

HANDLE WSACreateEvent() { return CNetworkEvent::Create(); }

int WSAEventSelect(SOCKET s, HANDLE event, long mask) {
    auto* ne = dynamic_cast<CNetworkEvent*>(event);
    if (!Valid(s) || ne == nullptr) {
        t_socketError = EBADF;
        return SOCKET_ERROR;
    }
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return Fail();
    ne->Select(s, mask);
    return 0;
}

int WSAEnumNetworkEvents(SOCKET s, HANDLE event, WSANETWORKEVENTS* events) {
    auto* ne = dynamic_cast<CNetworkEvent*>(event);
    if (!Valid(s) || ne == nullptr || events == nullptr) {
        t_socketError = EBADF;
        return SOCKET_ERROR;
    }
    *events = WSANETWORKEVENTS{};
    const long mask = ne->Mask();
    pollfd pfd{s, static_cast<short>(POLLIN | POLLRDHUP | ((mask & FD_WRITE) != 0 ? POLLOUT : 0)), 0};
    if (poll(&pfd, 1, 0) < 0) return Fail();
    if ((pfd.revents & POLLNVAL) != 0) {
        t_socketError = EBADF;
        return SOCKET_ERROR;
    }
    int soError = 0;
    socklen_t len = sizeof(soError);
    if ((pfd.revents & POLLERR) != 0) getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len);

    int listening = 0;
    len = sizeof(listening);
    getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
    if (listening != 0) {
        if ((mask & FD_ACCEPT) != 0 && (pfd.revents & POLLIN) != 0) events->lNetworkEvents |= FD_ACCEPT;
        return 0;
    }

    int unread = 0;
    if ((pfd.revents & POLLIN) != 0 && ioctl(s, FIONREAD, &unread) != 0) unread = 0;
    const bool peerGone = (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0 ||
                          ((pfd.revents & POLLIN) != 0 && unread == 0);
    if ((mask & FD_READ) != 0 && unread > 0) events->lNetworkEvents |= FD_READ;
    if ((mask & FD_WRITE) != 0 && (pfd.revents & POLLOUT) != 0 && soError == 0) events->lNetworkEvents |= FD_WRITE;
    // Closed only when nothing is left to read: trailing data comes first.
    if ((mask & FD_CLOSE) != 0 && peerGone && unread == 0) {
        events->lNetworkEvents |= FD_CLOSE;
        events->iErrorCode[FD_CLOSE_BIT] = soError;
    }
    return 0;
}

int SocketBind(SOCKET s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(address);
    addr.sin_port = htons(port);
    return bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : Fail();
}

int SocketListen(SOCKET s, int backlog) { return listen(s, backlog) == 0 ? 0 : Fail(); }

SOCKET SocketAccept(SOCKET s, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    int c = accept4(s, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (c < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    if (address != nullptr) *address = ntohl(addr.sin_addr.s_addr);
    if (port != nullptr) *port = ntohs(addr.sin_port);
    return c;
}

static int NameOf(bool peer, SOCKET s, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    int rc = peer ? getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len)
                  : getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    if (rc != 0) return Fail();
    if (address != nullptr) *address = ntohl(addr.sin_addr.s_addr);
    if (port != nullptr) *port = ntohs(addr.sin_port);
    return 0;
}

int SocketPeerName(SOCKET s, std::uint32_t* address, std::uint16_t* port) { return NameOf(true, s, address, port); }

bool SocketPeerReset(SOCKET s) {
    if (!Valid(s)) return true;
    pollfd pfd{s, 0, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

bool IsOutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

bool IsTransientAcceptError(int error) {
    switch (error) {
        // accept(2): errors of the new connection are passed on by accept
        // and are to be treated like EAGAIN.
        case EAGAIN:
        case ECONNABORTED:
        case EINTR:
        case EPROTO:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETDOWN:
        case ENETUNREACH:
        case ETIMEDOUT:
        case EPERM:  // refused by a firewall rule
        case ENOBUFS:
        case ENOMEM:
        case EMFILE:
        case ENFILE:
            return true;
        default:
            return false;
    }
}

bool CSpareDescriptor::Reserve() {
    if (m_fd < 0) m_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return m_fd >= 0;
}

void CSpareDescriptor::Release() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

int SocketLocalName(SOCKET s, std::uint32_t* address, std::uint16_t* port) { return NameOf(false, s, address, port); }

bool SetSocketReuseAddress(SOCKET s) {
    int on = 1;
    return Valid(s) && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
}

std::string IpToText(std::uint32_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr addr{htonl(address)};
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    return text;
}

namespace {

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

bool SameAddress(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return false;
    if (a->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    }
    if (a->sa_family == AF_INET6) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

// Loopback, or the address of one of this host's interfaces.
bool IsOwnAddress(const sockaddr* address) {
    if (IsLoopback(address)) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool own = false;
    for (ifaddrs* it = list; it != nullptr && !own; it = it->ifa_next) {
        if (it->ifa_addr != nullptr) own = SameAddress(it->ifa_addr, address);
    }
    freeifaddrs(list);
    return own;
}

}  // namespace

bool IsThisHost(const std::string& host) {
    if (strcasecmp(host.c_str(), "localhost") == 0) return true;
    sockaddr_in v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return IsOwnAddress(reinterpret_cast<const sockaddr*>(&v4));
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return IsOwnAddress(reinterpret_cast<const sockaddr*>(&v6));
    }
    char own[256] = {};
    if (gethostname(own, sizeof(own) - 1) == 0 && strcasecmp(own, host.c_str()) == 0) return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    bool local = false;
    for (addrinfo* it = found; it != nullptr && !local; it = it->ai_next) {
        if (it->ai_addr != nullptr) local = IsOwnAddress(it->ai_addr);
    }
    freeaddrinfo(found);
    return local;
}
