#include "tools/infoclient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/LossAccounting.h"
#include "info/InfoQuery.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMergeReplyBytes = sizeof(InfoReplyHeader) + sizeof(InfoLogMergeReplyData);
constexpr size_t kMaxAccountingBytes = 65536;
constexpr size_t kMaxNodesBytes = size_t{64} << 20;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A connected socket, or -1 with the reason in error.
int ConnectTo(const InfoTarget& target, Clock::time_point deadline, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(target.port);
    if (const int rc = getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *error = gai_strerror(rc);
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int rc = fd < 0 ? -1 : connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (rc != 0 && fd >= 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, MsLeft(deadline)) == 1) {
            int soError = 0;
            socklen_t len = sizeof(soError);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            errno = soError;
            rc = soError == 0 ? 0 : -1;
        } else if (errno != EINTR) {
            errno = ETIMEDOUT;
        }
    }
    if (rc != 0) {
        *error = std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, MsLeft(deadline)) != 1) return false;
    }
    return true;
}

// Reads up to size bytes before the deadline; returns how many arrived.
size_t ReceiveExactly(int fd, char* data, size_t size, Clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) != 1) break;
        const ssize_t n = recv(fd, data + done, size - done, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (n > 0) done += static_cast<size_t>(n);
    }
    return done;
}

bool SendQuery(int fd, std::uint32_t queryType, Clock::time_point deadline) {
    InfoQueryHeader query{};
    query.headerSize = sizeof(InfoQueryHeader);
    std::memcpy(query.sign, infoquery::kQuerySign, sizeof(query.sign));
    query.queryType = queryType;
    return SendAll(fd, reinterpret_cast<const char*>(&query), sizeof(query), deadline);
}

bool IsReplyTo(const InfoReplyHeader& header, std::uint32_t queryType) {
    return header.headerSize == sizeof(InfoReplyHeader) &&
           std::memcmp(header.sign, infoquery::kReplySign, sizeof(header.sign)) == 0 && header.queryType == queryType;
}

// Sends one query and receives its reply header; false (with the reason)
// when the reply does not come or is not an INFORLY reply to queryType.
bool Ask(int fd, const InfoTarget& target, std::uint32_t queryType, Clock::time_point deadline,
         InfoReplyHeader* header, std::string* error) {
    const bool sent = SendQuery(fd, queryType, deadline);
    const size_t received = sent ? ReceiveExactly(fd, reinterpret_cast<char*>(header), sizeof(*header), deadline) : 0;
    if (received != sizeof(*header)) {
        *error = FormatText("%s:%d sent %zu of the %zu reply header bytes of query %u%s", target.host.c_str(), target.port,
                        received, sizeof(*header), queryType, sent ? "" : " (the query could not be sent)");
        return false;
    }
    if (!IsReplyTo(*header, queryType)) {
        *error = FormatText("%s:%d did not answer query %u with an INFORLY reply", target.host.c_str(), target.port,
                        queryType);
        return false;
    }
    return true;
}

// The loss accounting counters, in the order of loss::Counter; counters the
// service does not send read 0.
bool QueryAccounting(int fd, const InfoTarget& target, Clock::time_point deadline, std::uint64_t* counters,
                     std::string* error) {
    InfoReplyHeader header;
    if (!Ask(fd, target, infoquery::kQueryTypeAccounting, deadline, &header, error)) return false;
    InfoAccountingReplyHead head{};
    std::vector<char> data(header.dataSize);
    if (header.dataSize < sizeof(head) || header.dataSize > kMaxAccountingBytes ||
        ReceiveExactly(fd, data.data(), data.size(), deadline) != data.size()) {
        *error = FormatText("%s:%d sent a short accounting reply", target.host.c_str(), target.port);
        return false;
    }
    std::memcpy(&head, data.data(), sizeof(head));
    const size_t count = std::min<size_t>({head.counterCount, loss::COUNTER_COUNT,
                                           (data.size() - sizeof(head)) / sizeof(std::uint64_t)});
    std::memcpy(counters, data.data() + sizeof(head), count * sizeof(std::uint64_t));
    return true;
}

// Queries 1 and 2 on one connection.
bool QueryFigures(const InfoTarget& target, MetricsSnapshot* snapshot, std::string* error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(target.timeoutMs);
    std::string reason;
    const int fd = ConnectTo(target, deadline, &reason);
    if (fd < 0) {
        *error = FormatText("cannot connect to %s:%d: %s", target.host.c_str(), target.port, reason.c_str());
        return false;
    }
    char reply[kMergeReplyBytes];
    const bool sent = SendQuery(fd, infoquery::kQueryTypeLogMerge, deadline);
    const size_t received = sent ? ReceiveExactly(fd, reply, sizeof(reply), deadline) : 0;
    InfoReplyHeader header;
    std::memcpy(&header, reply, std::min(received, sizeof(header)));
    if (received != sizeof(reply)) {
        *error = FormatText("%s:%d sent %zu of the %zu reply bytes%s", target.host.c_str(), target.port, received,
                        sizeof(reply), sent ? "" : " (the query could not be sent)");
    } else if (!IsReplyTo(header, infoquery::kQueryTypeLogMerge) || header.dataSize != sizeof(InfoLogMergeReplyData)) {
        *error = FormatText("%s:%d did not answer with an INFORLY log merge reply", target.host.c_str(), target.port);
    } else {
        std::memcpy(&snapshot->merge, reply + sizeof(header), sizeof(snapshot->merge));
        // The accounting follows on the same connection.
        const bool accounting = QueryAccounting(fd, target, deadline, snapshot->counters.data(), error);
        close(fd);
        return accounting;
    }
    close(fd);
    return false;
}

// Registered nodes (query 3): false when the service does not answer it (an
// older service).
bool QueryNodes(const InfoTarget& target, MetricsSnapshot* snapshot) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(target.timeoutMs);
    std::string error;
    const int fd = ConnectTo(target, deadline, &error);
    if (fd < 0) return false;
    InfoReplyHeader header;
    bool ok = Ask(fd, target, infoquery::kQueryTypeNodes, deadline, &header, &error) &&
              header.dataSize >= sizeof(InfoNodesReplyHead) && header.dataSize <= kMaxNodesBytes;
    std::vector<char> data(ok ? header.dataSize : 0);
    ok = ok && ReceiveExactly(fd, data.data(), data.size(), deadline) == data.size();
    close(fd);
    if (!ok) return false;
    std::memcpy(&snapshot->service, data.data(), sizeof(snapshot->service));
    const size_t size = snapshot->service.recordSize;
    if (size < sizeof(InfoNodeRecord) || (data.size() - sizeof(InfoNodesReplyHead)) / size < snapshot->service.nodeCount) {
        return false;
    }
    snapshot->nodes.resize(snapshot->service.nodeCount);
    for (size_t i = 0; i < snapshot->nodes.size(); ++i) {
        std::memcpy(&snapshot->nodes[i], data.data() + sizeof(InfoNodesReplyHead) + i * size, sizeof(InfoNodeRecord));
        snapshot->nodes[i].name[sizeof(snapshot->nodes[i].name) - 1] = '\0';
    }
    snapshot->haveNodes = true;
    return true;
}

}  // namespace

bool QueryService(const InfoTarget& target, MetricsSnapshot* snapshot, std::string* error) {
    *snapshot = MetricsSnapshot{};
    snapshot->counters.assign(loss::COUNTER_COUNT, 0);
    if (!QueryFigures(target, snapshot, error)) return false;
    QueryNodes(target, snapshot);
    return true;
}
