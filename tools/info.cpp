// varnholt-info: asks a running service for its log and merge counters and
// its loss accounting over the local info query (INFOQRY on 127.0.0.1) and
// prints them, for people or in the Prometheus text format for node
// exporter's textfile collector, or shows them live (--watch, infowatch.h).
// See docs/info.md.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/LossAccounting.h"
#include "info/InfoQuery.h"
#include "info/MetricsText.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/Process.h"
#include "tools/infoclient.h"
#include "tools/infowatch.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

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
  --watch [SECONDS] a live view refreshed every SECONDS (1 to 3600, default 2):
                    totals with rates per second, then one line per node, the
                    busiest first, silent nodes marked; on a terminal the
                    screen is redrawn in place and 'q' or Ctrl+C quits,
                    otherwise a plain block is printed per refresh until
                    SIGINT or SIGTERM; a service that does not answer is
                    shown and asked again
  --count N         with --watch: end after N refreshes
  --help            print this help

Exit status: 0 counters printed (or the live view ended), 1 no connection
or no valid reply (or the live view's output failed), 2 bad options.
)";

struct Options {
    InfoTarget target;  // port 0: from the configuration
    bool prometheus = false;
    int watchSeconds = 0;  // 0: print once
    int count = 0;
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
        } else if (arg == "--watch") {
            options->watchSeconds = infowatch::kDefaultPeriodSeconds;
            // The period is optional: a following option is not one.
            if (hasValue && argv[i + 1][0] != '-' &&
                !ParseNumber(argv[++i], 1, infowatch::kMaxPeriodSeconds, &options->watchSeconds)) {
                std::fprintf(stderr, "varnholt-info: --watch wants seconds from 1 to %d, not '%s'\n",
                             infowatch::kMaxPeriodSeconds, argv[i]);
                return -1;
            }
        } else if (arg == "--count" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 1000000000, &options->count)) {
                std::fprintf(stderr, "varnholt-info: --count wants a positive number, not '%s'\n", argv[i]);
                return -1;
            }
        } else if (arg == "--host" && hasValue) {
            options->target.host = argv[++i];
        } else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 65535, &options->target.port)) {
                std::fprintf(stderr, "varnholt-info: --port wants a number from 1 to 65535, not '%s'\n", argv[i]);
                return -1;
            }
        } else if (arg == "--timeout" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 3600000, &options->target.timeoutMs)) {
                std::fprintf(stderr, "varnholt-info: --timeout wants milliseconds, not '%s'\n", argv[i]);
                return -1;
            }
        } else {
            std::fprintf(stderr, "varnholt-info: unknown option or missing value: %s\n(see --help)\n", arg.c_str());
            return -1;
        }
    }
    if (options->count != 0 && options->watchSeconds == 0) {
        std::fprintf(stderr, "varnholt-info: --count goes with --watch\n");
        return -1;
    }
    if (options->prometheus && options->watchSeconds != 0) {
        std::fprintf(stderr, "varnholt-info: --prometheus and --watch exclude each other\n");
        return -1;
    }
    if (options->target.port == 0) options->target.port = ConfiguredPort();
    return 1;
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
    std::printf("  held                  %" PRId64 " (merge buffers %" PRId64 ", SQL caches %" PRId64
                ", data-file batches %" PRId64 ")\n",
                b.Held(), b.heldMerge, b.heldSql, b.heldBatch);
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
    if (options.watchSeconds != 0) {
        const infowatch::Options watch{options.target.host + ":" + std::to_string(options.target.port),
                                       options.watchSeconds, options.count};
        return infowatch::Run(watch, [&](MetricsSnapshot* snapshot, std::string* error) {
            return QueryService(options.target, snapshot, error);
        });
    }
    MetricsSnapshot snapshot;
    std::string error;
    if (!QueryService(options.target, &snapshot, &error)) {
        std::fprintf(stderr, "varnholt-info: %s\n", error.c_str());
        return kExitFailure;
    }
    if (options.prometheus) {
        std::fputs(RenderPrometheus(snapshot).c_str(), stdout);
    } else {
        PrintText(snapshot.merge);
        PrintAccountingText(snapshot.counters.data());
        PrintNodesText(snapshot);
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}
