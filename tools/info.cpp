// varnholt-info: asks a running service for its log and merge counters and
// its loss accounting over the local info query (INFOQRY on 127.0.0.1) and
// prints them, for people or in the Prometheus text format for node
// exporter's textfile collector.
// See docs/info.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "core/LossAccounting.h"
#include "info/InfoQuery.h"
#include "info/MetricsText.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/Process.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultTimeoutMs = 5000;
constexpr size_t kReplyBytes = sizeof(InfoReplyHeader) + sizeof(InfoLogMergeReplyData);

const char kHelp[] = R"(usage: varnholt-info [OPTION]...

Asks the Varnholt service for its log and merge counters and its loss
accounting (where every accepted log is: stored, pending on disk, held in
memory, merged or dropped) through the local info query and prints them.

  --host ADDRESS    address of the service (default 127.0.0.1; the service
                    answers on the loopback interface only)
  --port N          port of the service (default: ListenPort of section
                    InfoRetrieve in the install tree's ZelkAdv.conf, else 9509)
  --timeout MS      time allowed for connecting and for the reply
                    (default 5000)
  --prometheus      print the Prometheus text exposition format, for node
                    exporter's textfile collector
  --help            print this help

Exit status: 0 counters printed, 1 no connection or no valid reply,
2 bad options.
)";

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: from the configuration
    int timeoutMs = kDefaultTimeoutMs;
    bool prometheus = false;
};

bool ParseNumber(const char* text, long low, long high, int* value) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < low || n > high) return false;
    *value = static_cast<int>(n);
    return true;
}

// ListenPort with the service's rule: absent or outside 1..65535 is 9509.
int ConfiguredPort() {
    // The install tree as the service finds it (platform/Files.h InstallDir).
    const std::string path = InstallDir() + "/Zelk/Config/ZelkAdv.conf";
    const int port = static_cast<int>(
        GetPrivateProfileIntA("InfoRetrieve", "ListenPort", infoquery::kDefaultListenPort, path.c_str()));
    return port >= 1 && port <= 65535 ? port : infoquery::kDefaultListenPort;
}

// 1 parsed, 0 help printed, -1 bad options (reported).
int ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--prometheus") {
            options->prometheus = true;
        } else if (arg == "--host" && hasValue) {
            options->host = argv[++i];
        } else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 65535, &options->port)) {
                std::fprintf(stderr, "varnholt-info: --port wants a number from 1 to 65535, not '%s'\n", argv[i]);
                return -1;
            }
        } else if (arg == "--timeout" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 3600000, &options->timeoutMs)) {
                std::fprintf(stderr, "varnholt-info: --timeout wants milliseconds, not '%s'\n", argv[i]);
                return -1;
            }
        } else {
            std::fprintf(stderr, "varnholt-info: unknown option or missing value: %s\n(see --help)\n", arg.c_str());
            return -1;
        }
    }
    if (options->port == 0) options->port = ConfiguredPort();
    return 1;
}

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A connected socket, or -1 with the reason in error.
int ConnectTo(const Options& options, Clock::time_point deadline, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options.port);
    if (const int rc = getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
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
        } else {
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

// Sends one query and receives its reply header; false (with a message)
// when the reply does not come or is not an INFORLY reply to queryType.
bool Ask(int fd, const Options& options, std::uint32_t queryType, Clock::time_point deadline,
         InfoReplyHeader* header) {
    InfoQueryHeader query{};
    query.headerSize = sizeof(InfoQueryHeader);
    std::memcpy(query.sign, infoquery::kQuerySign, sizeof(query.sign));
    query.queryType = queryType;
    const bool sent = SendAll(fd, reinterpret_cast<const char*>(&query), sizeof(query), deadline);
    const size_t received = sent ? ReceiveExactly(fd, reinterpret_cast<char*>(header), sizeof(*header), deadline) : 0;
    if (received != sizeof(*header)) {
        std::fprintf(stderr, "varnholt-info: %s:%d sent %zu of the %zu reply header bytes of query %u%s\n",
                     options.host.c_str(), options.port, received, sizeof(*header), queryType,
                     sent ? "" : " (the query could not be sent)");
        return false;
    }
    if (header->headerSize != sizeof(InfoReplyHeader) ||
        std::memcmp(header->sign, infoquery::kReplySign, sizeof(header->sign)) != 0 || header->queryType != queryType) {
        std::fprintf(stderr, "varnholt-info: %s:%d did not answer query %u with an INFORLY reply\n",
                     options.host.c_str(), options.port, queryType);
        return false;
    }
    return true;
}

// The loss accounting counters, in the order of loss::Counter; counters the
// service does not send read 0.
bool QueryAccounting(int fd, const Options& options, Clock::time_point deadline, std::uint64_t* counters) {
    InfoReplyHeader header;
    if (!Ask(fd, options, infoquery::kQueryTypeAccounting, deadline, &header)) return false;
    std::vector<char> data(header.dataSize);
    InfoAccountingReplyHead head{};
    if (header.dataSize < sizeof(head) || header.dataSize > 65536 ||
        ReceiveExactly(fd, data.data(), data.size(), deadline) != data.size()) {
        std::fprintf(stderr, "varnholt-info: %s:%d sent a short accounting reply\n", options.host.c_str(),
                     options.port);
        return false;
    }
    std::memcpy(&head, data.data(), sizeof(head));
    const size_t count = std::min<size_t>({head.counterCount, loss::COUNTER_COUNT,
                                           (data.size() - sizeof(head)) / sizeof(std::uint64_t)});
    std::memcpy(counters, data.data() + sizeof(head), count * sizeof(std::uint64_t));
    return true;
}

bool Query(const Options& options, InfoLogMergeReplyData* data, std::uint64_t* counters) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    std::string error;
    const int fd = ConnectTo(options, deadline, &error);
    if (fd < 0) {
        std::fprintf(stderr, "varnholt-info: cannot connect to %s:%d: %s\n", options.host.c_str(), options.port,
                     error.c_str());
        return false;
    }
    InfoQueryHeader query{};
    query.headerSize = sizeof(InfoQueryHeader);
    std::memcpy(query.sign, infoquery::kQuerySign, sizeof(query.sign));
    query.queryType = infoquery::kQueryTypeLogMerge;
    char reply[kReplyBytes];
    const bool sent = SendAll(fd, reinterpret_cast<const char*>(&query), sizeof(query), deadline);
    const size_t received = sent ? ReceiveExactly(fd, reply, sizeof(reply), deadline) : 0;
    if (received != sizeof(reply)) {
        close(fd);
        std::fprintf(stderr, "varnholt-info: %s:%d sent %zu of the %zu reply bytes%s\n", options.host.c_str(),
                     options.port, received, sizeof(reply), sent ? "" : " (the query could not be sent)");
        return false;
    }
    InfoReplyHeader header;
    std::memcpy(&header, reply, sizeof(header));
    if (header.headerSize != sizeof(InfoReplyHeader) ||
        std::memcmp(header.sign, infoquery::kReplySign, sizeof(header.sign)) != 0 ||
        header.queryType != infoquery::kQueryTypeLogMerge || header.dataSize != sizeof(InfoLogMergeReplyData)) {
        std::fprintf(stderr, "varnholt-info: %s:%d did not answer with an INFORLY log merge reply\n",
                     options.host.c_str(), options.port);
        close(fd);
        return false;
    }
    std::memcpy(data, reply + sizeof(header), sizeof(*data));
    // The accounting follows on the same connection.
    const bool accounting = QueryAccounting(fd, options, deadline, counters);
    close(fd);
    return accounting;
}

const char* OnOff(std::uint32_t enable) { return enable != 0 ? "on" : "off"; }

void PrintText(const InfoLogMergeReplyData& d) {
    std::printf("Log merging             %s (Global EnableLogMerge = %u)\n", OnOff(d.globalMergeEnable),
                d.globalMergeEnable);
    std::printf("  user logs             %s\n", OnOff(d.userMergeEnable));
    std::printf("  flow logs             %s\n", OnOff(d.flowMergeEnable));
    std::printf("  system logs           %s\n", OnOff(d.sysMergeEnable));
    std::printf("Logs dispatched         %" PRIu64 "\n", d.allLogs);
    std::printf("Logs merged             %" PRIu64 "\n", d.mergedTotal);
    std::printf("  user logs             %" PRIu64 "\n", d.userLogsMerged);
    std::printf("  flow logs             %" PRIu64 "\n", d.flowLogsMerged);
    std::printf("  system logs           %" PRIu64 "\n", d.sysLogsMerged);
    std::printf("Merge buffers           %u\n", d.bufferCount);
    std::printf("Merge buffer size       %u bytes\n", d.bufferTotalBytes);
    std::printf("Merge buffer usage      %u %%\n", d.bufferUsagePercent);
}

void PrintAccountingText(const std::uint64_t* c) {
    const loss::Balance b = loss::ComputeBalance(c);
    std::printf("Loss accounting         (accepted + carried = stored + pending + held + merged + dropped)\n");
    std::printf("  accepted              %" PRIu64 "\n", b.accepted);
    std::printf("  carried from before   %" PRIu64 "\n", b.carried);
    std::printf("  stored                %" PRIu64 " (INSERT %" PRIu64 ", data files %" PRIu64 ", spool %" PRIu64 ")\n",
                b.stored, c[loss::SQL_STORED], c[loss::DF_LOADED], c[loss::SPOOL_STORED]);
    std::printf("  pending               %" PRId64 " (data files %" PRId64 ", spool files %" PRId64 ")\n",
                b.pendingDataFiles + b.pendingSpool, b.pendingDataFiles, b.pendingSpool);
    std::printf("  held                  %" PRId64 " (merge buffers %" PRId64 ", SQL caches %" PRId64 ")\n",
                b.heldMerge + b.heldSql, b.heldMerge, b.heldSql);
    std::printf("  merged                %" PRIu64 "\n", b.merged);
    std::printf("  dropped               %" PRIu64 "\n", b.dropped);
    for (unsigned i = loss::DROP_FIRST; i <= loss::DF_LOST; ++i) {
        if ((i < loss::DROP_END || i == loss::DF_LOST) && c[i] != 0) {
            std::printf("    %-30s %" PRIu64 "\n", loss::kCounterInfo[i].text, c[i]);
        }
    }
    std::printf("  unaccounted           %" PRId64 "\n", b.Unaccounted());
    std::printf("  refused before dispatch, node not synchronised: %" PRIu64 "\n", c[loss::REFUSED_NOT_SYNCED]);
    std::printf("  usrsvrlog rows by INSERT after their data file failed: %" PRIu64 ", lost: %" PRIu64 "\n",
                c[loss::SERVICE_ROW_SQL], c[loss::SERVICE_ROW_LOST]);
}

// Registered nodes (query 3): false when the service does not answer it
// (an older service); the figures before it are printed all the same.
bool QueryNodes(const Options& options, MetricsSnapshot* snapshot) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    std::string error;
    const int fd = ConnectTo(options, deadline, &error);
    if (fd < 0) return false;
    InfoReplyHeader header;
    bool ok = Ask(fd, options, infoquery::kQueryTypeNodes, deadline, &header) &&
              header.dataSize >= sizeof(InfoNodesReplyHead) && header.dataSize <= 64u << 20;
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

void PrintNodesText(const MetricsSnapshot& s) {
    if (!s.haveNodes) return;
    std::printf("Disk full               %s\n", s.service.diskFull != 0 ? "yes" : "no");
    std::printf("Import backlog          %" PRIu64 " file(s), %" PRIu64 " bytes\n", s.service.importBacklogFiles,
                s.service.importBacklogBytes);
    std::printf("Nodes                   %zu registered\n", s.nodes.size());
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const InfoNodeRecord& n : s.nodes) {
        std::uint64_t logs = 0;
        for (std::uint64_t a : n.accepted) logs += a;
        std::printf("  %-20s %u connection(s), %" PRIu64 " log(s), last packet %s\n", n.name, n.connections, logs,
                    n.lastPacket == 0 ? "never" : (std::to_string(now - n.lastPacket) + " s ago").c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed <= 0) return parsed == 0 ? kExitOk : kExitUsage;
    MetricsSnapshot snapshot;
    snapshot.counters.assign(loss::COUNTER_COUNT, 0);
    if (!Query(options, &snapshot.merge, snapshot.counters.data())) return kExitFailure;
    QueryNodes(options, &snapshot);
    if (options.prometheus) {
        std::fputs(RenderPrometheus(snapshot).c_str(), stdout);
    } else {
        PrintText(snapshot.merge);
        PrintAccountingText(snapshot.counters.data());
        PrintNodesText(snapshot);
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}
