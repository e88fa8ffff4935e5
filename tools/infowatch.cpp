#include "tools/infowatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>

#include "core/LossAccounting.h"

namespace infowatch {
namespace {

constexpr size_t kNameColumn = 24;
constexpr int kFallbackWidth = 80;
constexpr int kFallbackHeight = 24;

// Per-second rates between two readings; none without an earlier reading or
// when a counter went back.
class Rates {
public:
    Rates(const Reading& current, const Reading* previous)
        : m_seconds(previous != nullptr && previous->answered && current.monotonicMs > previous->monotonicMs
                        ? static_cast<double>(current.monotonicMs - previous->monotonicMs) / 1000.0
                        : 0.0) {}
    bool Known() const { return m_seconds > 0.0; }
    // -1 when unknown.
    double Of(std::uint64_t now, std::uint64_t before) const {
        return Known() && now >= before ? static_cast<double>(now - before) / m_seconds : -1.0;
    }

private:
    double m_seconds;
};

std::string RateText(double rate) { return rate < 0.0 ? "-" : FormatText("%.1f/s", rate); }

std::string BytesRateText(double rate) {
    if (rate < 0.0) return "-";
    if (rate < 1024.0) return FormatText("%.0f B", rate);
    if (rate < 1048576.0) return FormatText("%.1f KiB", rate / 1024.0);
    return FormatText("%.1f MiB", rate / 1048576.0);
}

// "12 s", "5 min", "3 h", "2 d" or "never".
std::string AgeText(std::int64_t now, std::int64_t then) {
    if (then == 0) return "never";
    const long long age = std::max<long long>(0, now - then);
    if (age < 120) return FormatText("%lld s", age);
    if (age < 7200) return FormatText("%lld min", age / 60);
    if (age < 172800) return FormatText("%lld h", age / 3600);
    return FormatText("%lld d", age / 86400);
}

std::uint64_t NodeLogs(const InfoNodeRecord& node) {
    std::uint64_t logs = 0;
    for (std::uint64_t kind : node.accepted) logs += kind;
    return logs;
}

// "NEVER" (no packet since the service started), "SILENT" (no connection,
// or no packet for kSilentAfterSeconds) or "".
const char* SilentTag(const InfoNodeRecord& node, std::int64_t now) {
    if (node.lastPacket == 0) return "NEVER";
    return node.connections == 0 || now - node.lastPacket >= kSilentAfterSeconds ? "SILENT" : "";
}

// At most width bytes, not ending inside a UTF-8 sequence.
void CutToWidth(std::string* line, int width) {
    if (width <= 0 || line->size() <= static_cast<size_t>(width)) return;
    size_t end = static_cast<size_t>(width);
    while (end > 0 && (static_cast<unsigned char>((*line)[end]) & 0xC0) == 0x80) --end;
    line->resize(end);
}

std::string NameCell(const char* name) {
    std::string cell = name;
    if (cell.size() > kNameColumn) cell = cell.substr(0, kNameColumn - 1) + "~";
    return cell;
}

std::string Header(const Reading& current, const Screen& screen) {
    const std::time_t time = static_cast<std::time_t>(current.time);
    std::tm local{};
    localtime_r(&time, &local);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    return FormatText("varnholt %s  service %s  every %d s%s", stamp, screen.address.c_str(), screen.periodSeconds,
                  screen.terminal ? "  (q quits)" : "");
}

void AddTotals(const Reading& current, const Reading* previous, const Rates& rates, std::vector<std::string>* lines) {
    std::vector<std::uint64_t> now = current.snapshot.counters, before(loss::COUNTER_COUNT, 0);
    now.resize(loss::COUNTER_COUNT, 0);
    if (rates.Known()) {
        before = previous->snapshot.counters;
        before.resize(loss::COUNTER_COUNT, 0);
    }
    const loss::Balance b = loss::ComputeBalance(now.data());
    const loss::Balance o = loss::ComputeBalance(before.data());
    const auto rate = [&](loss::Counter c) { return RateText(rates.Of(now[c], before[c])); };
    lines->push_back(FormatText("Logs      accepted %llu (%s)  dropped %llu (%s)  merged %llu",
                            static_cast<unsigned long long>(b.accepted), rate(loss::ACCEPTED).c_str(),
                            static_cast<unsigned long long>(b.dropped), RateText(rates.Of(b.dropped, o.dropped)).c_str(),
                            static_cast<unsigned long long>(b.merged)));
    lines->push_back(FormatText("Stored    %llu (%s): INSERT %s, data files %s, spool %s",
                            static_cast<unsigned long long>(b.stored), RateText(rates.Of(b.stored, o.stored)).c_str(),
                            rate(loss::SQL_STORED).c_str(), rate(loss::DF_LOADED).c_str(),
                            rate(loss::SPOOL_STORED).c_str()));
    lines->push_back(FormatText("Waiting   pending %lld (data files %lld, spool %lld)  held %lld (merge %lld, SQL %lld)  "
                            "unaccounted %lld",
                            static_cast<long long>(b.pendingDataFiles) + static_cast<long long>(b.pendingSpool),
                            static_cast<long long>(b.pendingDataFiles), static_cast<long long>(b.pendingSpool),
                            static_cast<long long>(b.Held()), static_cast<long long>(b.heldMerge),
                            static_cast<long long>(b.heldSql), static_cast<long long>(b.Unaccounted())));
}

// The node table, the busiest first; returns its rows (after the lines).
std::vector<std::string> AddNodes(const Reading& current, const Reading* previous, const Rates& rates,
                                  std::vector<std::string>* lines) {
    const MetricsSnapshot& s = current.snapshot;
    if (!s.haveNodes) {
        lines->push_back("Nodes     not reported by this service");
        return {};
    }
    lines->push_back(FormatText("Import    backlog %llu file(s), %llu bytes  disk full: %s",
                            static_cast<unsigned long long>(s.service.importBacklogFiles),
                            static_cast<unsigned long long>(s.service.importBacklogBytes),
                            s.service.diskFull != 0 ? "YES" : "no"));
    lines->push_back(FormatText("Fresh     oldest log not yet in MySQL: %lld s", static_cast<long long>(Freshness(s))));
    std::map<std::string, const InfoNodeRecord*> before;
    if (rates.Known()) {
        for (const InfoNodeRecord& n : previous->snapshot.nodes) before[n.name] = &n;
    }
    struct Row {
        const InfoNodeRecord* node;
        std::uint64_t logs;
        double logRate, byteRate;
    };
    std::vector<Row> rows;
    size_t connected = 0, silent = 0;
    for (const InfoNodeRecord& n : s.nodes) {
        const auto old = before.find(n.name);
        const bool known = old != before.end();
        const std::uint64_t logs = NodeLogs(n);
        rows.push_back({&n, logs, known ? rates.Of(logs, NodeLogs(*old->second)) : -1.0,
                        known ? rates.Of(n.receivedBytes, old->second->receivedBytes) : -1.0});
        connected += n.connections > 0 ? 1 : 0;
        silent += *SilentTag(n, current.time) != '\0' ? 1 : 0;
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a.logRate != b.logRate) return a.logRate > b.logRate;
        if (a.logs != b.logs) return a.logs > b.logs;
        return std::string(a.node->name) < b.node->name;
    });
    lines->push_back(FormatText("Nodes     %zu registered, %zu connected, %zu silent", s.nodes.size(), connected, silent));
    lines->push_back("");
    lines->push_back(FormatText("%-24s %5s %10s %12s %10s %12s %12s", "NODE", "CONN", "LOGS/S", "LOGS", "BYTES/S",
                            "LAST PACKET", "LAST STORED"));
    std::vector<std::string> table;
    for (const Row& r : rows) {
        const InfoNodeRecord& n = *r.node;
        std::string line = FormatText("%-24s %5u %10s %12llu %10s %12s %12s  %s", NameCell(n.name).c_str(),
                                  n.connections, RateText(r.logRate).c_str(), static_cast<unsigned long long>(r.logs),
                                  BytesRateText(r.byteRate).c_str(), AgeText(current.time, n.lastPacket).c_str(),
                                  AgeText(current.time, n.lastStored).c_str(), SilentTag(n, current.time));
        while (!line.empty() && line.back() == ' ') line.pop_back();
        table.push_back(std::move(line));
    }
    return table;
}

}  // namespace

std::vector<std::string> Render(const Reading& current, const Reading* previous, const Screen& screen) {
    std::vector<std::string> lines{Header(current, screen)};
    std::vector<std::string> table;
    if (!current.answered) {
        lines.push_back("");
        lines.push_back("The service does not answer: " + current.error);
        lines.push_back(FormatText("Trying again every %d s.", screen.periodSeconds));
    } else {
        const Rates rates(current, previous);
        AddTotals(current, previous, rates, &lines);
        table = AddNodes(current, previous, rates, &lines);
    }
    // The node rows take the lines left; the last one then counts the rest.
    const size_t height = screen.height > 0 ? static_cast<size_t>(screen.height) : SIZE_MAX;
    const size_t room = height > lines.size() ? height - lines.size() : 0;
    if (table.size() > room && room > 0) {
        const size_t shown = room - 1;
        table.resize(shown);
        table.push_back(FormatText("... %zu more nodes", current.snapshot.nodes.size() - shown));
    }
    lines.insert(lines.end(), table.begin(), table.end());
    if (lines.size() > height) lines.resize(height);
    for (std::string& line : lines) CutToWidth(&line, screen.width);
    return lines;
}

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_resized = 0;
int g_wakeWrite = -1;

// Wakes the wait of the refresh loop through a pipe: poll returns on it even
// when the signal arrives just before poll starts.
void OnSignal(int signal) {
    const int saved = errno;
    if (signal == SIGWINCH) {
        g_resized = 1;
    } else {
        g_stop = 1;
    }
    const char byte = 0;
    if (write(g_wakeWrite, &byte, 1) < 0) {
        // The pipe is full: the loop is awake already.
    }
    errno = saved;
}

// The signals that end the view (and SIGWINCH) are caught while it runs;
// their former handling comes back afterwards.
class SignalScope {
public:
    SignalScope() {
        if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) m_pipe[0] = m_pipe[1] = -1;
        g_wakeWrite = m_pipe[1];
        g_stop = 0;
        g_resized = 0;
        struct sigaction action {};
        action.sa_handler = OnSignal;  // no SA_RESTART: a query's waits end at once
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &m_old[i]);
    }
    ~SignalScope() {
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &m_old[i], nullptr);
        g_wakeWrite = -1;
        for (int fd : m_pipe) {
            if (fd >= 0) close(fd);
        }
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;
    int WakeFd() const { return m_pipe[0]; }
    void Drain() const {
        char bytes[64];
        while (read(m_pipe[0], bytes, sizeof(bytes)) > 0) {
        }
    }

private:
    static constexpr size_t kCount = 4;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH};
    int m_pipe[2] = {-1, -1};
    struct sigaction m_old[kCount] {};
};

// The terminal while the view runs: keys one by one without echo (when
// standard input is the terminal), the alternate screen without a cursor;
// everything is given back by the destructor, whichever way the view ends.
class TerminalScope {
public:
    TerminalScope() {
        m_keys = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &m_saved) == 0;
        if (m_keys) {
            termios raw = m_saved;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            m_keys = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
        Write("\x1b[?1049h\x1b[?25l");
    }
    ~TerminalScope() {
        Write("\x1b[?25h\x1b[?1049l");
        if (m_keys) tcsetattr(STDIN_FILENO, TCSADRAIN, &m_saved);
    }
    TerminalScope(const TerminalScope&) = delete;
    TerminalScope& operator=(const TerminalScope&) = delete;
    bool Keys() const { return m_keys; }
    static bool Write(const std::string& text) {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

private:
    termios m_saved{};
    bool m_keys = false;
};

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// The whole screen from the top left, each line cleared to its end and
// what lies below the last one cleared; no line feed after the last line,
// so that a full screen does not scroll.
std::string Frame(const std::vector<std::string>& lines) {
    std::string frame = "\x1b[H";
    for (size_t i = 0; i < lines.size(); ++i) frame += lines[i] + (i + 1 < lines.size() ? "\x1b[K\r\n" : "\x1b[K");
    return frame + "\x1b[J";
}

class Loop {
public:
    Loop(const Options& options, const Query& query, bool terminal)
        : m_options(options), m_query(query), m_terminal(terminal) {}

    int Run(const SignalScope& signals, const TerminalScope* keys) {
        for (int refresh = 1; g_stop == 0; ++refresh) {
            const std::uint64_t start = NowMs();
            Reading reading;
            reading.answered = m_query(&reading.snapshot, &reading.error);
            if (g_stop != 0) break;  // the signal cut the query short
            reading.time = static_cast<std::int64_t>(std::time(nullptr));
            reading.monotonicMs = NowMs();
            if (m_haveShown && m_shown.answered) {
                m_before = std::move(m_shown);
                m_haveBefore = true;
            }
            m_shown = std::move(reading);
            m_haveShown = true;
            if (!Draw(refresh == 1)) return 1;
            if (m_options.count > 0 && refresh >= m_options.count) break;
            if (!Wait(start + static_cast<std::uint64_t>(m_options.periodSeconds) * 1000, signals, keys)) break;
        }
        return 0;
    }

private:
    bool Draw(bool first) {
        Screen screen;
        screen.address = m_options.address;
        screen.periodSeconds = m_options.periodSeconds;
        screen.terminal = m_terminal;
        winsize size{};
        if (m_terminal) {
            const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
            screen.width = known && size.ws_col > 0 ? size.ws_col : kFallbackWidth;
            screen.height = known && size.ws_row > 0 ? size.ws_row : kFallbackHeight;
        }
        const std::vector<std::string> lines = Render(m_shown, m_haveBefore ? &m_before : nullptr, screen);
        if (m_terminal) return TerminalScope::Write(Frame(lines));
        std::string block = first ? "" : "\n";
        for (const std::string& line : lines) block += line + "\n";
        return TerminalScope::Write(block);
    }

    // Until deadline (monotonic ms): false when the view is to end.
    bool Wait(std::uint64_t deadline, const SignalScope& signals, const TerminalScope* keys) {
        for (;;) {
            const std::uint64_t now = NowMs();
            if (g_stop != 0) return false;
            if (now >= deadline) return true;
            pollfd fds[2] = {{signals.WakeFd(), POLLIN, 0}, {keys != nullptr ? STDIN_FILENO : -1, POLLIN, 0}};
            if (poll(fds, 2, static_cast<int>(std::min<std::uint64_t>(deadline - now, 1000))) <= 0) continue;
            if (fds[0].revents != 0) signals.Drain();
            if (g_resized != 0) {
                g_resized = 0;
                if (m_terminal && m_haveShown && !Draw(false)) return false;
            }
            if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return false;  // the terminal went away
            if ((fds[1].revents & POLLIN) != 0) {
                char typed[64];
                const ssize_t n = read(STDIN_FILENO, typed, sizeof(typed));
                if (n > 0 && std::find_if(typed, typed + n, [](char c) { return c == 'q' || c == 'Q'; }) != typed + n) {
                    return false;
                }
            }
        }
    }

    const Options& m_options;
    const Query& m_query;
    const bool m_terminal;
    Reading m_shown, m_before;  // the reading on the screen and the answered one before it
    bool m_haveShown = false, m_haveBefore = false;
};

}  // namespace

int Run(const Options& options, const Query& query) {
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    SignalScope signals;
    if (!terminal) return Loop(options, query, false).Run(signals, nullptr);
    TerminalScope screen;
    return Loop(options, query, true).Run(signals, screen.Keys() ? &screen : nullptr);
}

}  // namespace infowatch
