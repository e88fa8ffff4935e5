// varnholt-nodesim: the TCP side (plain POSIX sockets).
#include "tools/nodesim/Net.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace nodesim {

namespace {

int ConnectOne(const addrinfo* ai, int timeoutMs, std::string& err) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        err = std::strerror(errno);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, timeoutMs);
        if (rc == 0) {
            err = "timed out";
            ::close(fd);
            return -1;
        }
        int soerr = 0;
        socklen_t len = sizeof soerr;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
        if (soerr != 0) {
            err = std::strerror(soerr);
            ::close(fd);
            return -1;
        }
        rc = 0;
    }
    if (rc != 0) {
        err = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, flags);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

int Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& err) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        err = gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) fd = ConnectOne(ai, timeoutMs, err);
    ::freeaddrinfo(list);
    return fd;
}

bool SendAll(int fd, const std::uint8_t* data, size_t size, size_t chunk, int delayMs, std::string& err) {
    size_t done = 0;
    while (done < size) {
        size_t piece = size - done;
        if (chunk > 0 && piece > chunk) piece = chunk;
        size_t sent = 0;
        while (sent < piece) {
            const ssize_t n = ::send(fd, data + done + sent, piece - sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                err = std::strerror(errno);
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        done += piece;
        if (chunk > 0 && delayMs > 0 && done < size) SleepMs(delayMs);
    }
    return true;
}

long RecvSome(int fd, std::uint8_t* buf, size_t size, int timeoutMs, std::string& err) {
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc == 0) return 0;
    if (rc < 0) {
        if (errno == EINTR) return 0;
        err = std::strerror(errno);
        return -2;
    }
    const ssize_t n = ::recv(fd, buf, size, 0);
    if (n == 0) return -1;
    if (n < 0) {
        const int e = errno;
        if (e == EINTR || e == EAGAIN) return 0;
        err = std::strerror(e);
        return e == ECONNRESET ? -1 : -2;
    }
    return static_cast<long>(n);
}

void SleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace nodesim
