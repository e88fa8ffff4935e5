#include <arpa/inet.h>
#include <poll.h>

#include <cerrno>

#include "support/Prelude.h"

namespace testnet {

namespace {

sockaddr_in Address(std::uint16_t port, const char* address = "127.0.0.1") {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(address);
    addr.sin_port = htons(port);
    return addr;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::uint16_t FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Address(0);
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    socklen_t len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return bound ? ntohs(addr.sin_port) : 0;
}

int Connect(std::uint16_t port, const char* address) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Address(port, address);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int ConnectWithin(std::uint16_t port, unsigned timeoutMs) {
    int s = -1;
    testenv::WaitFor([&] { return (s = Connect(port)) >= 0; }, timeoutMs);
    return s;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ClosedByPeerWithin(int fd, unsigned timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    char buffer[4096];
    for (;;) {
        long long left = deadline - NowMs();
        if (left < 0) left = 0;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN) return true;  // reset
    }
}

std::string ReceiveExactly(int fd, size_t n, unsigned timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    std::string out;
    char buffer[65536];
    while (out.size() < n) {
        long long left = deadline - NowMs();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
        ssize_t got = recv(fd, buffer, std::min(sizeof(buffer), n - out.size()), 0);
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

void Close(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace testnet
