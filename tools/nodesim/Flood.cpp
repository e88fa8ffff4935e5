// varnholt-nodesim: the flood (benchmark) mode.
//
// Every connection runs on its own thread: it connects, optionally sends the
// administrator and user snapshots and waits for their replies, then all
// connections start together and send their share of the logs as fast as the
// socket takes them, in batches of several packets per send. At the end each
// connection sends one more keep-alive (reserved byte 0xD7) and waits for its
// reply: the service handles a connection's packets in order, so that reply
// means every log before it has been handled. With a rate, the connections
// send their shares in steps of 20 ms instead, and the logs sent so far are
// printed every second.
#include "tools/nodesim/Flood.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "tools/nodesim/Net.h"
#include "tools/nodesim/Replies.h"
#include "tools/nodesim/Samples.h"

namespace nodesim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kDrainMark = 0xD7;
constexpr auto kPaceStep = std::chrono::milliseconds(20);

// Logs sent so far over all connections (keep-alives of the mix among them),
// for the progress lines of a paced flood.
std::atomic<std::uint64_t> g_sentLogs{0};
std::atomic<std::uint64_t> g_sentKeepAlives{0};

std::mutex g_print;

struct ConnResult {
    bool connected = false;
    bool failed = false;
    std::string error;
    bool adminSynced = false;
    bool userSynced = false;
    std::uint64_t logs = 0;
    std::uint64_t bytes = 0;
    std::uint64_t replies = 0;
    bool drained = false;
    Clock::time_point sendEnd{};
    Clock::time_point drainEnd{};
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reads replies for up to timeoutMs (0: only what is already there) and
// hands each one to onReply; stops early when onReply returns true.
// False when the connection ended.
template <typename F>
bool ReadReplies(int fd, ReplyParser& parser, int timeoutMs, F onReply, std::string& err) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t buf[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const long n = RecvSome(fd, buf, sizeof buf, left > 0 ? static_cast<int>(left) : 0, err);
        if (n < 0) {
            if (n == -1 && err.empty()) err = "connection closed by the service";
            return false;
        }
        if (n > 0) {
            parser.Feed(buf, static_cast<size_t>(n));
            Reply r;
            while (parser.Next(r, false)) {
                if (onReply(r)) return true;
            }
        }
        if (n == 0 && left <= 0) return true;
        if (n == 0 && timeoutMs == 0) return true;
    }
}

class Mixer {
public:
    explicit Mixer(const std::vector<std::pair<Kind, unsigned>>& mix) : mix_(mix), current_(mix.size(), 0) {
        for (const auto& m : mix_) total_ += m.second;
    }
    // Smooth weighted round robin: exact proportions, evenly spread.
    Kind Next() {
        size_t best = 0;
        for (size_t i = 0; i < mix_.size(); ++i) {
            current_[i] += static_cast<long>(mix_[i].second);
            if (current_[i] > current_[best]) best = i;
        }
        current_[best] -= total_;
        return mix_[best].first;
    }

private:
    std::vector<std::pair<Kind, unsigned>> mix_;
    std::vector<long> current_;
    long total_ = 0;
};

std::string FloodMessage(Kind kind, int conn, std::uint64_t seq) {
    return "nodesim flood " + KindName(kind) + " conn " + std::to_string(conn) + " seq " + std::to_string(seq);
}

// Fields of the n-th log of a kind: users and administrators of the sample
// directory in turn, every valid action, result and type code in turn.
void VaryFields(Fields& f, std::uint64_t seq, int conn) {
    const auto& users = SampleUsers();
    const auto& admins = SampleAdmins();
    const auto& u = users[seq % users.size()];
    f.user = u.name;
    f.group = u.group;
    const auto& a = admins[seq % admins.size()];
    f.admin = a.name;
    f.adminGroup = a.group;
    f.action = static_cast<std::int32_t>(seq % 7);
    f.result = static_cast<std::int32_t>(seq % 3);
    f.entity = static_cast<std::int32_t>(seq % 16);
    f.alarmType = static_cast<std::int32_t>(seq % 13);
    f.level = static_cast<std::int32_t>(seq % 5);
    f.process = static_cast<std::int32_t>(seq % 604);
    f.service = static_cast<std::int32_t>(seq % 4);
    std::uint32_t client = 0;
    ParseIpv4("10.0.0.0", client);
    reinterpret_cast<std::uint8_t*>(&client)[2] = static_cast<std::uint8_t>(conn % 256);
    reinterpret_cast<std::uint8_t*>(&client)[3] = static_cast<std::uint8_t>(seq % 250 + 1);
    f.clientNet = client;
    f.up = static_cast<std::int64_t>((seq * 7919) % 1000000);
    f.down = static_cast<std::int64_t>((seq * 104729) % 10000000);
    f.rawUp.reset();
    f.rawDown.reset();
}

void RunConnection(const FloodConfig& cfg, int conn, std::uint64_t count, std::barrier<void (*)() noexcept>& start,
                   ConnResult& res) {
    Fields f = cfg.base;
    const auto& node = cfg.nodes[static_cast<size_t>(conn) % cfg.nodes.size()];
    std::memcpy(f.identity, node.data(), 16);

    std::string err;
    const int fd = Connect(cfg.host, cfg.port, cfg.connectTimeoutMs, err);
    if (fd < 0) {
        res.failed = true;
        res.error = "cannot connect to " + cfg.host + ":" + std::to_string(cfg.port) + ": " + err;
        start.arrive_and_drop();
        return;
    }
    res.connected = true;
    ReplyParser parser;

    auto presync = [&](Kind kind, const std::string& content, bool& ok) -> bool {
        const Built b = BuildPacket(kind, f, Overrides{}, content);
        if (!SendAll(fd, b.bytes.data(), b.bytes.size(), 0, 0, err)) return false;
        const bool alive = ReadReplies(
            fd, parser, cfg.waitMs,
            [&](const Reply& r) {
                ++res.replies;
                if (r.type == Reply::InfoSyncReply) {
                    ok = true;
                    return true;
                }
                return false;
            },
            err);
        if (!ok) {
            std::lock_guard<std::mutex> lock(g_print);
            std::fprintf(stderr, "varnholt-nodesim: connection %d (node %s): %s not answered within %d ms%s\n", conn,
                         IdentityHex(f.identity).c_str(), KindName(kind).c_str(), cfg.waitMs,
                         alive ? "; its logs may be dropped" : "");
        }
        return alive;
    };
    bool ok = true;
    if (cfg.presyncAdmin) ok = presync(Kind::SyncAdmin, cfg.adminSnapshot, res.adminSynced);
    if (ok && cfg.presyncUser) ok = presync(Kind::SyncUser, cfg.userSnapshot, res.userSynced);
    if (!ok) {
        res.failed = true;
        res.error = err;
        ::close(fd);
        start.arrive_and_drop();
        return;
    }

    start.arrive_and_wait();

    // Packets of the mix; without variation each kind is built once.
    Mixer mixer(cfg.mix);
    std::vector<std::pair<Kind, Bytes>> fixed;
    if (!cfg.vary) {
        for (const auto& m : cfg.mix) fixed.emplace_back(m.first, BuildPacket(m.first, f, Overrides{}).bytes);
    }
    Bytes batch;
    batch.reserve(cfg.batchBytes + packet::kAlarmSize);
    auto drainSome = [&]() {
        return ReadReplies(
            fd, parser, 0,
            [&](const Reply&) {
                ++res.replies;
                return false;
            },
            err);
    };
    std::uint64_t kindCount[16] = {};  // variation index per kind
    std::uint64_t batchLogs = 0, batchKeepAlives = 0;
    auto flush = [&]() {
        if (batch.empty() || res.failed) return;
        if (!SendAll(fd, batch.data(), batch.size(), 0, 0, err) || !drainSome()) {
            res.failed = true;
            res.error = "sending failed: " + err;
        } else {
            g_sentLogs += batchLogs;
            g_sentKeepAlives += batchKeepAlives;
        }
        res.bytes += batch.size();
        batch.clear();
        batchLogs = batchKeepAlives = 0;
    };
    auto append = [&](std::uint64_t seq) {
        const Kind kind = mixer.Next();
        if (cfg.vary) {
            VaryFields(f, kindCount[static_cast<size_t>(kind)]++, conn);
            f.message = FloodMessage(kind, conn, seq);
            const Built b = BuildPacket(kind, f, Overrides{});
            batch.insert(batch.end(), b.bytes.begin(), b.bytes.end());
        } else {
            for (const auto& p : fixed) {
                if (p.first == kind) {
                    batch.insert(batch.end(), p.second.begin(), p.second.end());
                    break;
                }
            }
        }
        ++res.logs;
        ++batchLogs;
        if (kind == Kind::KeepAlive) ++batchKeepAlives;
        if (batch.size() >= cfg.batchBytes) flush();
    };
    if (cfg.rate == 0) {
        for (std::uint64_t seq = 0; seq < count && !res.failed; ++seq) append(seq);
        flush();
    } else {
        // Paced: every step the logs due since the start go out, so a
        // connection that fell behind (the service did not read) catches up
        // and the rate holds over the run. Replies are read while waiting.
        const double connRate = static_cast<double>(cfg.rate) / cfg.connections;
        const auto begin = Clock::now();
        std::uint64_t seq = 0;
        while (seq < count && !res.failed) {
            const std::uint64_t due = std::min(
                count, static_cast<std::uint64_t>(connRate * Seconds(Clock::now() - begin)));
            while (seq < due && !res.failed) append(seq++);
            flush();
            if (seq >= count || res.failed) break;
            const auto next = begin + ((Clock::now() - begin) / kPaceStep + 1) * kPaceStep;
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            if (wait > 0 && !ReadReplies(
                                fd, parser, static_cast<int>(wait),
                                [&](const Reply&) {
                                    ++res.replies;
                                    return false;
                                },
                                err)) {
                res.failed = true;
                res.error = "connection lost: " + err;
            }
        }
    }
    res.sendEnd = Clock::now();

    if (!res.failed && cfg.drain) {
        Fields k = f;
        k.reserved = kDrainMark;
        k.devType = 0;
        const Built b = BuildPacket(Kind::KeepAlive, k, Overrides{});
        if (SendAll(fd, b.bytes.data(), b.bytes.size(), 0, 0, err)) {
            ReadReplies(
                fd, parser, cfg.waitMs,
                [&](const Reply& r) {
                    ++res.replies;
                    if (r.type == Reply::KeepAliveReply && r.bytes[40] == kDrainMark) {
                        res.drained = true;
                        return true;
                    }
                    return false;
                },
                err);
        }
        res.drainEnd = Clock::now();
    }
    ::close(fd);
}

Clock::time_point g_start;
std::atomic<bool> g_started{false};

void MarkStart() noexcept {
    g_start = Clock::now();
    g_started.store(true);
}

void PrintPaced(double seconds) {
    const std::uint64_t logs = g_sentLogs.load();
    std::printf("paced:     %.1f s, %llu logs sent (%llu keep-alives among them), %.0f logs/s\n", seconds,
                static_cast<unsigned long long>(logs), static_cast<unsigned long long>(g_sentKeepAlives.load()),
                seconds > 0 ? static_cast<double>(logs) / seconds : 0.0);
    std::fflush(stdout);
}

}  // namespace

std::vector<std::pair<Kind, unsigned>> ParseMix(const std::string& text, std::string& err) {
    std::vector<std::pair<Kind, unsigned>> mix;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        const std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        unsigned weight = 1;
        if (eq != std::string::npos) {
            char* end = nullptr;
            const unsigned long w = std::strtoul(item.c_str() + eq + 1, &end, 10);
            if (*end != '\0' || end == item.c_str() + eq + 1 || w > 1000000) {
                err = "bad weight in mix item '" + item + "'";
                return {};
            }
            weight = static_cast<unsigned>(w);
        }
        const auto kind = KindFromName(name);
        if (!kind || *kind == Kind::TestKeepAlive || *kind == Kind::SyncAdmin || *kind == Kind::SyncUser ||
            *kind == Kind::SyncDevice || *kind == Kind::RawCode) {
            err = "'" + name +
                  "' cannot be part of a mix (use keepalive, user, userv2, userv3, audit, admin, alarm, system)";
            return {};
        }
        if (weight > 0) mix.emplace_back(*kind, weight);
    }
    if (mix.empty()) err = "the mix holds no kind with a weight above 0";
    return mix;
}

int RunFlood(const FloodConfig& cfg) {
    const int m = cfg.connections;
    std::vector<ConnResult> results(static_cast<size_t>(m));
    std::barrier<void (*)() noexcept> start(m, &MarkStart);
    std::vector<std::thread> threads;
    const std::uint64_t share = cfg.total / static_cast<std::uint64_t>(m);
    const std::uint64_t extra = cfg.total % static_cast<std::uint64_t>(m);

    std::string mixText;
    for (const auto& x : cfg.mix)
        mixText += (mixText.empty() ? "" : ",") + KindName(x.first) + "=" + std::to_string(x.second);
    std::printf("flood: %llu logs (%s) over %d connection%s to %s:%u%s%s%s\n",
                static_cast<unsigned long long>(cfg.total), mixText.c_str(), m, m == 1 ? "" : "s", cfg.host.c_str(),
                cfg.port, cfg.presyncAdmin || cfg.presyncUser ? ", after " : "",
                cfg.presyncAdmin ? (cfg.presyncUser ? "admin and user snapshots" : "admin snapshot")
                                 : (cfg.presyncUser ? "user snapshot" : ""),
                cfg.vary ? ", varied fields" : "");
    std::fflush(stdout);

    std::mutex doneMutex;
    std::condition_variable doneCv;
    int done = 0;
    for (int c = 0; c < m; ++c) {
        const std::uint64_t count = share + (static_cast<std::uint64_t>(c) < extra ? 1 : 0);
        threads.emplace_back([&, c, count] {
            RunConnection(cfg, c, count, start, results[static_cast<size_t>(c)]);
            std::lock_guard<std::mutex> lock(doneMutex);
            ++done;
            doneCv.notify_all();
        });
    }
    if (cfg.rate > 0) {
        // A paced flood runs for a long time: the logs sent so far, every second.
        std::unique_lock<std::mutex> lock(doneMutex);
        for (auto next = Clock::now() + std::chrono::seconds(1);
             !doneCv.wait_until(lock, next, [&] { return done == m; }); next += std::chrono::seconds(1)) {
            if (g_started.load()) PrintPaced(Seconds(Clock::now() - g_start));
        }
    }
    for (auto& t : threads) t.join();

    std::uint64_t logs = 0, bytes = 0;
    int failed = 0, drained = 0;
    Clock::time_point sendEnd = g_start, drainEnd = g_start;
    for (int c = 0; c < m; ++c) {
        const ConnResult& r = results[static_cast<size_t>(c)];
        const auto& node = cfg.nodes[static_cast<size_t>(c) % cfg.nodes.size()];
        if (r.failed) ++failed;
        logs += r.logs;
        bytes += r.bytes;
        if (r.drained) ++drained;
        if (r.logs > 0) sendEnd = std::max(sendEnd, r.sendEnd);
        if (r.drained) drainEnd = std::max(drainEnd, r.drainEnd);
        if (!cfg.quiet || r.failed) {
            std::printf("  connection %d node %s: %llu logs, %llu bytes, %llu replies%s%s%s%s%s\n", c,
                        IdentityHex(node.data()).c_str(), static_cast<unsigned long long>(r.logs),
                        static_cast<unsigned long long>(r.bytes), static_cast<unsigned long long>(r.replies),
                        !r.connected || !cfg.presyncAdmin ? ""
                        : r.adminSynced                   ? ", admin synced"
                                                          : ", admin NOT synced",
                        !r.connected || !cfg.presyncUser ? ""
                        : r.userSynced                   ? ", user synced"
                                                         : ", user NOT synced",
                        r.failed || !cfg.drain ? ""
                        : r.drained            ? ", final keep-alive answered"
                                               : ", final keep-alive NOT answered",
                        r.failed ? ", FAILED: " : "", r.failed ? r.error.c_str() : "");
        }
    }
    const double sendSec = Seconds(sendEnd - g_start);
    if (cfg.rate > 0) PrintPaced(sendSec);
    std::printf("sent:      %llu logs, %llu bytes in %.3f s: %.0f logs/s, %.0f bytes/s (%.2f MiB/s)\n",
                static_cast<unsigned long long>(logs), static_cast<unsigned long long>(bytes), sendSec,
                sendSec > 0 ? static_cast<double>(logs) / sendSec : 0.0,
                sendSec > 0 ? static_cast<double>(bytes) / sendSec : 0.0,
                sendSec > 0 ? static_cast<double>(bytes) / sendSec / 1048576.0 : 0.0);
    if (cfg.drain && drained > 0) {
        const double all = Seconds(drainEnd - g_start);
        std::printf(
            "handled:   %.3f s until the last final keep-alive was answered (%d/%d connections): "
            "%.0f logs/s, %.0f bytes/s (%.2f MiB/s)\n",
            all, drained, m, all > 0 ? static_cast<double>(logs) / all : 0.0,
            all > 0 ? static_cast<double>(bytes) / all : 0.0,
            all > 0 ? static_cast<double>(bytes) / all / 1048576.0 : 0.0);
    }
    if (failed > 0) {
        std::fprintf(stderr, "varnholt-nodesim: %d of %d connections failed\n", failed, m);
        return 1;
    }
    if (cfg.drain && drained < m) {
        std::fprintf(stderr,
                     "varnholt-nodesim: the final keep-alive was not answered within %d ms on %d of %d connections\n",
                     cfg.waitMs, m - drained, m);
        return 3;
    }
    return 0;
}

}  // namespace nodesim
