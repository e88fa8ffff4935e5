// varnholt-nodesim: a gateway node simulator.
//
// Connects to the service like a gateway node and sends keep-alives,
// directory snapshots, logs of every type and deliberately malformed traffic,
// in any order on one connection, and prints every reply decoded. A flood
// mode sends a bounded number of logs over several parallel connections and
// reports the throughput; an upload mode uploads a local file as a user audit
// file. See docs/nodesim.md.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "protocol/PacketFormat.h"
#include "tools/nodesim/Flood.h"
#include "tools/nodesim/Net.h"
#include "tools/nodesim/Packets.h"
#include "tools/nodesim/Replies.h"
#include "tools/nodesim/Samples.h"
#include "tools/nodesim/Upload.h"

namespace {

using namespace nodesim;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitReplies = 3;

const char kHelp[] = R"(usage: varnholt-nodesim [OPTION]...
       varnholt-nodesim [OPTION]... upload FILE [OPTION]...

Simulates a gateway node: connects to the log centre, sends packets in the
order given on the command line and prints every reply decoded. Options that
set packet fields stay in force for every later packet; --len, --size, --code,
--update-type and --repeat apply to the next packet only. Without any action,
one keep-alive is sent (or one packet of --type).

Connection and run
  --connect HOST[:PORT]   service address (default 127.0.0.1:9501)
  --connect-timeout MS    connect timeout (default 5000)
  --node HEX[,HEX...]     node identity, 32 hexadecimal digits (default
                          00112233445566778899aabbccddeeff); a list is used
                          round robin by the flood connections
  --node-file FILE        node identities, one per line ('#' comments)
  --wait MS               after the last action, wait up to MS for the expected
                          replies (default 2000; flood: 60000, also the wait
                          for each snapshot reply and the final keep-alive)
  --wait-full             wait the whole --wait time even when every expected
                          reply has arrived
  --expect N              exit with 3 unless exactly N replies arrived
                          (default: only report)
  --rtt                   time every reply from the send of the packet it
                          answers (replies matched to packets in order) and
                          end with "rtt: max X ms median Y ms", the number
                          of replies and of packets left unanswered
  --quiet                 do not print the packets sent
  --script FILE           read more options from FILE: one or more per line,
                          shell-like quoting, '#' starts a comment, the
                          leading "--" may be left out
  --print-sample KIND     print the built-in snapshot (admin, user, device)
                          and exit
  --help                  this text

Actions (executed in order on one connection)
  --send KIND             send one packet of KIND:
                            keepalive  keep-alive (58 bytes, log type 0)
                            test       connection-test keep-alive (test mark at
                                       offset 8; answered with a 14-byte echo)
                            user       user log version 1 (796 bytes, type 1)
                            userv2     user log version 2 (804 bytes, type 10)
                            userv3     user log version 3 (824 bytes, type 11)
                            audit      audit log (270 bytes, type 2)
                            admin      administrator log (674 bytes, type 3)
                            alarm      alarm (5166 bytes, type 4)
                            system     system log (566 bytes, type 8)
                            sync-admin administrator snapshot (type 5, update 0)
                            sync-user  user snapshot (type 5, update 1)
                            sync-device device snapshot (type 5, update 2)
                            raw        header and 16 zero bytes, log type 9
                            N          (a number) like raw, with log type N
  --type KIND             send one packet of KIND after all other actions
  --garbage N             send N random bytes (never containing a packet mark)
  --garbage-text TEXT     send the bytes of TEXT
  --batch                 collect the following packets and garbage into one
                          send, up to --flush (or the next --pause/--await)
  --flush                 end a --batch and send what was collected
  --pause MS              sleep (replies are still printed)
  --await MS              wait until every reply expected so far has arrived,
                          at most MS

One-packet deviations (apply to the next --send only)
  --len N                 write N into m_DataLen; the bytes sent are unchanged
  --size N                send exactly N bytes (record cut or zero-padded);
                          m_DataLen becomes N too unless --len is given
  --code N                log type code in the header
  --update-type N         update type of a snapshot
  --repeat N              send the next packet N times
  --every MS              send those repeats MS apart (e.g. --every 200
                          --repeat 50 --send keepalive --rtt)

Header fields
  --mark 1|2              packet mark: 1 "logs1111" (default), 2 "logs0500"
                          (also accepted: logs1111, logs0500)
  --invert / --no-invert  set the inverted flag (offset 41) and send every
                          record byte XOR 0xFF
  --date YYYY-MM-DD|now   log date (default: today)
  --time HH:MM:SS|now     log time (default: now)
  --reserved N            reserved byte at offset 40 (0..255)

Keep-alive fields
  --devtype N             DevType (default 0; 0..2 are valid)
  --devip IPV4            device address (default 192.168.1.1)
  --up N, --down N        upload and download flux (default 1000, 2000; also
                          used by user logs)

User log fields (user, userv2, userv3)
  --user NAME             user name (default alice)
  --name2 TEXT            second name (default empty)
  --group N               user group id (default 10)
  --action N              user action 0..6, 2 flow, 3 resource access
                          (default 0; also the administrator action)
  --result N              action result 0..2 (default 0; also admin logs)
  --client IPV4           client address (default 10.0.0.5)
  --service N             service type 0..3 (default 1)
  --server IPV4           server address, 0.0.0.0 for none (default 10.0.0.9)
  --port N                server port (default 80)
  --attr N                server attribute 0..1 (default 0)
  --auth N                authentication method 0..1023 (default 0)
  --raw-up N, --raw-down N
                          raw flux of userv2/userv3 (default: --up, --down)

Administrator, audit, alarm and system log fields
  --admin NAME            administrator name (default admin)
  --admin-group N         administrator group id (default 1)
  --entity N              entity 0..15 (default 0)
  --address IPV4          address of admin and audit logs (default 10.0.0.1)
  --alarm-type N          alarm type 0..12 (default 0)
  --level N               system log level 0..4 (default 0)
  --process N             system process type 0..603 (default 0)
  --message TEXT          message of every log (default "nodesim <kind> log")
  --message-fill N        message of N 'x' characters
  --default-message       back to the default message

Snapshots
  --admin-xml FILE        content of sync-admin (default: built-in sample)
  --user-xml FILE         content of sync-user (default: built-in sample)
  --device-xml FILE       content of sync-device (default: built-in sample)
                          (FILE "builtin" returns to the sample)
  --md5 FORM              MD5 text in the packet: lower (default), upper,
                          nozero (two digits only where a byte needs them),
                          wrong (one digit changed)
  --md5-text TEXT         exactly this MD5 text (at most 32 bytes)

Sending
  --chunk N               split every send into pieces of N bytes (0: off)
  --chunk-delay MS        pause between pieces (default 10)

Flood mode
  --flood N               send N logs in all, spread over the connections,
                          as fast as the service takes them, then report
  --mix LIST              kinds and weights, e.g. user=5,userv3=3,admin=1,
                          system=1 (the default); kinds: keepalive, user,
                          userv2, userv3, audit, admin, alarm, system
  --connections M         parallel node connections, one thread each
                          (default 1)
  --presync LIST          snapshots each connection sends first and waits for:
                          admin, user, both or none (default none; upload
                          mode: user)
  --vary                  vary users, groups, actions, addresses and flux over
                          the sample directory; messages carry a sequence
  --flood-batch BYTES     bytes collected per send (default 65536)
  --no-drain              do not end each connection with a keep-alive and
                          wait for its reply
  --rate N                send N logs per second over all connections, in
                          steps of 20 ms, instead of as fast as possible;
                          prints the logs sent so far every second

Upload mode (upload FILE, or --upload FILE; no other actions)
  --upload FILE           upload FILE as a user audit file (log type 12): the
                          snapshots of --presync (default: user), a begin, the
                          blocks, an end with the file's SHA-1; blocks the end
                          reports missing are sent again and the end repeated.
                          User and group as for user logs (--user, --group;
                          a user of the built-in snapshot brings its group);
                          --invert, --mark, --date, --time apply; --wait is
                          the wait for each reply (default 10000); --quiet
                          leaves out the line per block
  --block-size N          block size in bytes (default 65536)
  --timeout-s N           idle time-out announced in the begin (default 300)
  --compress              send blocks compressed (method 3); a block that does
                          not shrink goes stored (method 0)
  --order in|reverse|random
                          order of the blocks (default in)
  --seed N                seed of the random order (default: new, printed)
  --drop K[,K...]         leave out these block indexes (from 0) on the first
                          pass
  --retries N             ends repeated after missing blocks (default 3)
  --rollback              send a rollback after the blocks instead of the end
  --client-path TEXT      client path in the begin (default
                          C:\audit\<base name of FILE>)
  --transfer-mode N       transfer mode in the begin (default 2: content
                          follows; the blocks are sent with any value)

Exit status: 0 success, 1 connection or send failure, 2 bad options or files,
3 replies missing (--expect, or a flood's final keep-alive unanswered; upload:
a failure status or a missing reply).
)";

struct UsageError {
    std::string message;
};

struct Action {
    enum Type { Write, Pause, Await } type = Write;
    Bytes bytes;
    std::vector<std::string> summaries;
    int expected = 0;
    size_t chunk = 0;
    int chunkDelay = 0;
    int ms = 0;
    int delayMs = 0;  // sleep before the write (--every)
};

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 9501;
    int connectTimeoutMs = 5000;
    std::optional<int> waitMs;
    bool waitFull = false;
    std::optional<int> expect;
    bool quiet = false;
    bool rtt = false;
    std::vector<Action> actions;
    std::vector<std::string> md5Sent;  // lower-cased MD5 texts of the snapshots sent
    std::vector<std::array<std::uint8_t, 16>> nodes;

    std::optional<std::uint64_t> flood;
    std::string mix = "user=5,userv3=3,admin=1,system=1";
    int connections = 1;
    bool presyncAdmin = false;
    bool presyncUser = false;
    bool presyncGiven = false;
    bool drain = true;
    size_t floodBatch = 65536;
    bool vary = false;
    std::uint64_t rate = 0;  // flood: logs per second over all connections; 0 unpaced

    std::optional<UploadConfig> upload;  // set by --upload
    bool groupGiven = false;

    Fields fields;
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string ReadFile(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{std::string("cannot read ") + what + " '" + path + "'"};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Splits a script line: whitespace separates, "..." and '...' quote, '\'
// escapes inside double quotes and outside quotes, '#' at a word start ends
// the line.
std::vector<std::string> SplitLine(const std::string& line, const std::string& where) {
    std::vector<std::string> words;
    std::string cur;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (!inWord && c == '#') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words.push_back(cur);
            cur.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"' || c == '\'') {
            const char q = c;
            ++i;
            for (; i < line.size() && line[i] != q; ++i) {
                if (q == '"' && line[i] == '\\' && i + 1 < line.size()) ++i;
                cur += line[i];
            }
            if (i >= line.size()) throw UsageError{where + ": unterminated quote"};
            continue;
        }
        if (c == '\\' && i + 1 < line.size()) {
            cur += line[++i];
            continue;
        }
        cur += c;
    }
    if (inWord) words.push_back(cur);
    return words;
}

class CommandLine {
public:
    explicit CommandLine(int argc, char** argv) {
        for (int i = 1; i < argc; ++i) tokens_.push_back({argv[i], false});
    }

    // Returns false when the program is to exit at once (help, sample).
    bool Parse(Options& o) {
        for (pos_ = 0; pos_ < tokens_.size();) {
            Token t = tokens_[pos_++];
            std::string name = t.text;
            std::optional<std::string> inlineValue;
            if (name.rfind("--", 0) != 0) {
                if (!t.fromScript && name != "upload") {
                    throw UsageError{"unexpected argument '" + name + "' (options start with --)"};
                }
                name = "--" + name;
            }
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            const auto it = Arity().find(name);
            if (it == Arity().end()) throw UsageError{"unknown option '" + name + "' (see --help)"};
            std::string value;
            if (it->second == 1) {
                if (inlineValue) {
                    value = *inlineValue;
                } else {
                    if (pos_ >= tokens_.size()) throw UsageError{name + " needs a value"};
                    value = tokens_[pos_++].text;
                }
            } else if (inlineValue) {
                throw UsageError{name + " takes no value"};
            }
            if (!Apply(o, name, value)) return false;
        }
        Finish(o);
        return true;
    }

private:
    struct Token {
        std::string text;
        bool fromScript;
    };

    static const std::map<std::string, int>& Arity() {
        static const std::map<std::string, int> arity = {
            {"--connect", 1},
            {"--connect-timeout", 1},
            {"--node", 1},
            {"--node-file", 1},
            {"--wait", 1},
            {"--wait-full", 0},
            {"--expect", 1},
            {"--quiet", 0},
            {"--script", 1},
            {"--print-sample", 1},
            {"--help", 0},
            {"--send", 1},
            {"--type", 1},
            {"--garbage", 1},
            {"--garbage-text", 1},
            {"--batch", 0},
            {"--flush", 0},
            {"--pause", 1},
            {"--await", 1},
            {"--len", 1},
            {"--size", 1},
            {"--code", 1},
            {"--update-type", 1},
            {"--repeat", 1},
            {"--every", 1},
            {"--rtt", 0},
            {"--mark", 1},
            {"--invert", 0},
            {"--no-invert", 0},
            {"--date", 1},
            {"--time", 1},
            {"--reserved", 1},
            {"--devtype", 1},
            {"--devip", 1},
            {"--up", 1},
            {"--down", 1},
            {"--user", 1},
            {"--name2", 1},
            {"--group", 1},
            {"--action", 1},
            {"--result", 1},
            {"--client", 1},
            {"--service", 1},
            {"--server", 1},
            {"--port", 1},
            {"--attr", 1},
            {"--auth", 1},
            {"--raw-up", 1},
            {"--raw-down", 1},
            {"--admin", 1},
            {"--admin-group", 1},
            {"--entity", 1},
            {"--address", 1},
            {"--alarm-type", 1},
            {"--level", 1},
            {"--process", 1},
            {"--message", 1},
            {"--message-fill", 1},
            {"--default-message", 0},
            {"--admin-xml", 1},
            {"--user-xml", 1},
            {"--device-xml", 1},
            {"--md5", 1},
            {"--md5-text", 1},
            {"--chunk", 1},
            {"--chunk-delay", 1},
            {"--flood", 1},
            {"--mix", 1},
            {"--connections", 1},
            {"--presync", 1},
            {"--vary", 0},
            {"--flood-batch", 1},
            {"--no-drain", 0},
            {"--rate", 1},
            {"--upload", 1},
            {"--block-size", 1},
            {"--timeout-s", 1},
            {"--compress", 0},
            {"--order", 1},
            {"--seed", 1},
            {"--drop", 1},
            {"--retries", 1},
            {"--rollback", 0},
            {"--client-path", 1},
            {"--transfer-mode", 1},
        };
        return arity;
    }

    static long long Int(const std::string& name, const std::string& v, long long lo, long long hi) {
        if (v.empty()) throw UsageError{name + " needs a number"};
        errno = 0;
        char* end = nullptr;
        const long long n = std::strtoll(v.c_str(), &end, 0);
        if (errno != 0 || *end != '\0') throw UsageError{name + ": '" + v + "' is not a number"};
        if (n < lo || n > hi) {
            throw UsageError{name + ": " + v + " is out of range (" + std::to_string(lo) + ".." + std::to_string(hi) +
                             ")"};
        }
        return n;
    }
    static std::int32_t I32(const std::string& name, const std::string& v) {
        return static_cast<std::int32_t>(Int(name, v, INT32_MIN, INT32_MAX));
    }
    // 32-bit fields given as signed or unsigned numbers (-2000 or 4294965296).
    static std::uint32_t U32(const std::string& name, const std::string& v) {
        return static_cast<std::uint32_t>(Int(name, v, INT32_MIN, UINT32_MAX));
    }
    static std::uint32_t Ip(const std::string& name, const std::string& v) {
        std::uint32_t net = 0;
        if (!ParseIpv4(v, net)) throw UsageError{name + ": '" + v + "' is not an IPv4 address"};
        return net;
    }
    static int Ms(const std::string& name, const std::string& v) {
        return static_cast<int>(Int(name, v, 0, 24LL * 3600 * 1000));
    }

    void SetNodes(Options& o, const std::vector<std::string>& list, const std::string& name) {
        o.nodes.clear();
        for (const auto& n : list) {
            std::array<std::uint8_t, 16> id{};
            if (!ParseIdentity(n, id.data())) {
                throw UsageError{name + ": '" + n + "' is not a node identity (32 hexadecimal digits)"};
            }
            o.nodes.push_back(id);
        }
        if (o.nodes.empty()) throw UsageError{name + ": no node identity given"};
        std::memcpy(o.fields.identity, o.nodes[0].data(), 16);
    }

    void AddWrite(Options& o, const Bytes& bytes, const std::string& summary, int expected) {
        totalBytes_ += bytes.size();
        if (totalBytes_ > kMaxSessionBytes) {
            throw UsageError{"more than 1 GiB to send on one connection; use --flood for volume"};
        }
        if (!batching_ || !pendingBatch_) {
            o.actions.push_back(Action{});
            pendingBatch_ = batching_;
        }
        Action& a = o.actions.back();
        a.type = Action::Write;
        a.bytes.insert(a.bytes.end(), bytes.begin(), bytes.end());
        a.summaries.push_back(summary);
        a.expected += expected;
        a.chunk = chunk_;
        a.chunkDelay = chunkDelay_;
    }

    void EndBatch() { pendingBatch_ = false; }

    std::string Snapshot(Kind kind, const Fields& f) {
        const std::string& file = kind == Kind::SyncAdmin  ? f.adminXmlFile
                                  : kind == Kind::SyncUser ? f.userXmlFile
                                                           : f.deviceXmlFile;
        if (!file.empty()) return ReadFile(file, "snapshot file");
        return kind == Kind::SyncAdmin ? AdminSample() : kind == Kind::SyncUser ? UserSample() : DeviceSample();
    }

    void Send(Options& o, const std::string& what) {
        std::optional<Kind> kind = KindFromName(what);
        Overrides ov = next_;
        if (!kind) {
            if (what.empty() || what.find_first_not_of("0123456789") != std::string::npos) {
                throw UsageError{"--send: unknown kind '" + what + "' (see --help)"};
            }
            kind = Kind::RawCode;
            if (!ov.code) ov.code = static_cast<std::uint32_t>(Int("--send", what, 0, UINT32_MAX));
        }
        const bool sync = *kind == Kind::SyncAdmin || *kind == Kind::SyncUser || *kind == Kind::SyncDevice;
        const std::string content = sync ? Snapshot(*kind, o.fields) : std::string();
        const size_t each =
            std::max<size_t>(ov.size.value_or(NaturalSize(*kind)), packet::kInfoSyncMinSize + content.size());
        if (totalBytes_ + static_cast<size_t>(repeat_) * each > kMaxSessionBytes) {
            throw UsageError{"more than 1 GiB to send on one connection; use --flood for volume"};
        }
        for (int i = 0; i < repeat_; ++i) {
            const Built b = BuildPacket(*kind, o.fields, ov, content);
            // Paced repeats are writes of their own, each after the pause.
            if (every_ > 0 && i > 0) EndBatch();
            AddWrite(o, b.bytes, b.summary, b.expectedReplies);
            if (every_ > 0 && i > 0) o.actions.back().delayMs = every_;
            if (sync) o.md5Sent.push_back(Lower(b.md5Sent));
        }
        next_ = Overrides{};
        repeat_ = 1;
        every_ = 0;
    }

    bool Apply(Options& o, const std::string& name, const std::string& v) {
        Fields& f = o.fields;
        if (name == "--help") {
            std::fputs(kHelp, stdout);
            return false;
        } else if (name == "--print-sample") {
            const std::string k = Lower(v);
            if (k == "admin")
                std::fputs(AdminSample().c_str(), stdout);
            else if (k == "user")
                std::fputs(UserSample().c_str(), stdout);
            else if (k == "device")
                std::fputs(DeviceSample().c_str(), stdout);
            else
                throw UsageError{"--print-sample: use admin, user or device"};
            return false;
        } else if (name == "--connect") {
            std::string host = v;
            std::string port;
            if (!v.empty() && v[0] == '[') {
                const size_t close = v.find(']');
                if (close == std::string::npos) throw UsageError{"--connect: missing ']'"};
                host = v.substr(1, close - 1);
                if (close + 1 < v.size()) {
                    if (v[close + 1] != ':') throw UsageError{"--connect: expected HOST[:PORT]"};
                    port = v.substr(close + 2);
                }
            } else if (const size_t colon = v.rfind(':'); colon != std::string::npos) {
                host = v.substr(0, colon);
                port = v.substr(colon + 1);
            }
            if (!host.empty()) o.host = host;
            if (!port.empty()) o.port = static_cast<std::uint16_t>(Int("--connect", port, 1, 65535));
        } else if (name == "--connect-timeout") {
            o.connectTimeoutMs = Ms(name, v);
        } else if (name == "--node") {
            std::vector<std::string> list;
            std::stringstream s(v);
            for (std::string item; std::getline(s, item, ',');) {
                if (!item.empty()) list.push_back(item);
            }
            SetNodes(o, list, name);
        } else if (name == "--node-file") {
            std::stringstream s(ReadFile(v, "node file"));
            std::vector<std::string> list;
            for (std::string line; std::getline(s, line);) {
                for (const auto& w : SplitLine(line, v)) list.push_back(w);
            }
            SetNodes(o, list, name);
        } else if (name == "--wait") {
            o.waitMs = Ms(name, v);
        } else if (name == "--wait-full") {
            o.waitFull = true;
        } else if (name == "--expect") {
            o.expect = static_cast<int>(Int(name, v, 0, 1000000));
        } else if (name == "--quiet") {
            o.quiet = true;
        } else if (name == "--rtt") {
            o.rtt = true;
        } else if (name == "--script") {
            if (++scripts_ > 64) throw UsageError{"--script: too many scripts (nested too deep?)"};
            const std::string text = ReadFile(v, "script");
            std::stringstream s(text);
            std::vector<Token> more;
            int lineNo = 0;
            for (std::string line; std::getline(s, line);) {
                ++lineNo;
                for (auto& w : SplitLine(line, v + ":" + std::to_string(lineNo))) more.push_back({w, true});
            }
            tokens_.insert(tokens_.begin() + static_cast<std::ptrdiff_t>(pos_), more.begin(), more.end());
        } else if (name == "--send") {
            Send(o, v);
        } else if (name == "--type") {
            if (!KindFromName(v) && v.find_first_not_of("0123456789") != std::string::npos) {
                throw UsageError{"--type: unknown kind '" + v + "' (see --help)"};
            }
            finalType_ = v;
        } else if (name == "--garbage") {
            const auto n = static_cast<size_t>(Int(name, v, 0, 64LL << 20));
            Bytes g(n);
            std::random_device rd;
            std::mt19937 gen(rd());
            for (auto& b : g) {
                b = static_cast<std::uint8_t>(gen());
                if (b == 'l') b = 'm';  // no "logs1111"/"logs0500"
                if (b == 'Z') b = 'Y';  // no test mark
            }
            AddWrite(o, g, "garbage, " + std::to_string(n) + " random bytes", 0);
        } else if (name == "--garbage-text") {
            AddWrite(o, Bytes(v.begin(), v.end()), "garbage text, " + std::to_string(v.size()) + " bytes", 0);
        } else if (name == "--batch") {
            batching_ = true;
            pendingBatch_ = false;
        } else if (name == "--flush") {
            batching_ = false;
            EndBatch();
        } else if (name == "--pause" || name == "--await") {
            batching_ = false;
            EndBatch();
            Action a;
            a.type = name == "--pause" ? Action::Pause : Action::Await;
            a.ms = Ms(name, v);
            o.actions.push_back(a);
        } else if (name == "--len") {
            next_.dataLen = static_cast<std::uint32_t>(Int(name, v, 0, UINT32_MAX));
        } else if (name == "--size") {
            next_.size = static_cast<std::uint32_t>(Int(name, v, 1, 64LL << 20));
        } else if (name == "--code") {
            next_.code = static_cast<std::uint32_t>(Int(name, v, 0, UINT32_MAX));
        } else if (name == "--update-type") {
            next_.updateType = static_cast<std::uint32_t>(Int(name, v, 0, UINT32_MAX));
        } else if (name == "--repeat") {
            repeat_ = static_cast<int>(Int(name, v, 1, 1000000));
        } else if (name == "--every") {
            every_ = Ms(name, v);
        } else if (name == "--mark") {
            if (v == "1" || v == packet::kMarkV1)
                f.markKind = 1;
            else if (v == "2" || v == packet::kMarkV2)
                f.markKind = 2;
            else
                throw UsageError{"--mark: use 1 (logs1111) or 2 (logs0500)"};
        } else if (name == "--invert") {
            f.invert = true;
        } else if (name == "--no-invert") {
            f.invert = false;
        } else if (name == "--date") {
            unsigned y = 0, m = 0, d = 0;
            char extra = 0;
            if (v == "now")
                f.date.reset();
            else if (std::sscanf(v.c_str(), "%u-%u-%u%c", &y, &m, &d, &extra) == 3 && y <= 65535 && m <= 255 &&
                     d <= 255)
                f.date = y << 16 | m << 8 | d;
            else
                throw UsageError{"--date: expected YYYY-MM-DD or now"};
        } else if (name == "--time") {
            unsigned h = 0, m = 0, s = 0;
            char extra = 0;
            if (v == "now")
                f.time.reset();
            else if (std::sscanf(v.c_str(), "%u:%u:%u%c", &h, &m, &s, &extra) == 3 && h <= 65535 && m <= 255 &&
                     s <= 255)
                f.time = h << 16 | m << 8 | s;
            else
                throw UsageError{"--time: expected HH:MM:SS or now"};
        } else if (name == "--reserved") {
            f.reserved = static_cast<std::uint8_t>(Int(name, v, 0, 255));
        } else if (name == "--devtype") {
            f.devType = I32(name, v);
        } else if (name == "--devip") {
            f.devIpNet = Ip(name, v);
        } else if (name == "--up") {
            f.up = Int(name, v, INT64_MIN, INT64_MAX);
        } else if (name == "--down") {
            f.down = Int(name, v, INT64_MIN, INT64_MAX);
        } else if (name == "--raw-up") {
            f.rawUp = Int(name, v, INT64_MIN, INT64_MAX);
        } else if (name == "--raw-down") {
            f.rawDown = Int(name, v, INT64_MIN, INT64_MAX);
        } else if (name == "--user") {
            f.user = v;
        } else if (name == "--name2") {
            f.name2 = v;
        } else if (name == "--group") {
            f.group = U32(name, v);
            o.groupGiven = true;
        } else if (name == "--action") {
            f.action = I32(name, v);
        } else if (name == "--result") {
            f.result = I32(name, v);
        } else if (name == "--client") {
            f.clientNet = Ip(name, v);
        } else if (name == "--service") {
            f.service = I32(name, v);
        } else if (name == "--server") {
            f.serverNet = Ip(name, v);
        } else if (name == "--port") {
            f.port = static_cast<std::uint16_t>(Int(name, v, 0, 65535));
        } else if (name == "--attr") {
            f.attr = I32(name, v);
        } else if (name == "--auth") {
            f.auth = I32(name, v);
        } else if (name == "--admin") {
            f.admin = v;
        } else if (name == "--admin-group") {
            f.adminGroup = U32(name, v);
        } else if (name == "--entity") {
            f.entity = I32(name, v);
        } else if (name == "--address") {
            f.addressNet = Ip(name, v);
        } else if (name == "--alarm-type") {
            f.alarmType = I32(name, v);
        } else if (name == "--level") {
            f.level = I32(name, v);
        } else if (name == "--process") {
            f.process = I32(name, v);
        } else if (name == "--message") {
            f.message = v;
        } else if (name == "--message-fill") {
            f.message = std::string(static_cast<size_t>(Int(name, v, 0, 8192)), 'x');
        } else if (name == "--default-message") {
            f.message.reset();
        } else if (name == "--admin-xml" || name == "--user-xml" || name == "--device-xml") {
            const std::string file = v == "builtin" ? std::string() : v;
            if (!file.empty()) ReadFile(file, "snapshot file");  // fail early
            (name == "--admin-xml" ? f.adminXmlFile : name == "--user-xml" ? f.userXmlFile : f.deviceXmlFile) = file;
        } else if (name == "--md5") {
            const std::string m = Lower(v);
            if (m == "lower")
                f.md5Form = Md5Form::Lower;
            else if (m == "upper")
                f.md5Form = Md5Form::Upper;
            else if (m == "nozero")
                f.md5Form = Md5Form::NoZero;
            else if (m == "wrong")
                f.md5Form = Md5Form::Wrong;
            else
                throw UsageError{"--md5: use lower, upper, nozero or wrong (or --md5-text)"};
        } else if (name == "--md5-text") {
            if (v.size() > 32) throw UsageError{"--md5-text: at most 32 characters"};
            f.md5Form = Md5Form::Literal;
            f.md5Literal = v;
        } else if (name == "--chunk") {
            chunk_ = static_cast<size_t>(Int(name, v, 0, 64LL << 20));
        } else if (name == "--chunk-delay") {
            chunkDelay_ = Ms(name, v);
        } else if (name == "--flood") {
            o.flood = static_cast<std::uint64_t>(Int(name, v, 1, 1000000000000LL));
        } else if (name == "--mix") {
            o.mix = v;
        } else if (name == "--connections") {
            o.connections = static_cast<int>(Int(name, v, 1, 1024));
        } else if (name == "--presync") {
            const std::string p = Lower(v);
            o.presyncAdmin = p == "admin" || p == "both" || p == "admin,user" || p == "user,admin";
            o.presyncUser = p == "user" || p == "both" || p == "admin,user" || p == "user,admin";
            if (!o.presyncAdmin && !o.presyncUser && p != "none") {
                throw UsageError{"--presync: use admin, user, both (admin,user) or none"};
            }
            o.presyncGiven = true;
        } else if (name == "--vary") {
            o.vary = true;
        } else if (name == "--flood-batch") {
            o.floodBatch = static_cast<size_t>(Int(name, v, 1, 64LL << 20));
        } else if (name == "--no-drain") {
            o.drain = false;
        } else if (name == "--rate") {
            o.rate = static_cast<std::uint64_t>(Int(name, v, 1, 1000000000LL));
        } else {
            ApplyUpload(o, name, v);
        }
        return true;
    }

    // Options of the upload mode. They are collected here and checked
    // against --upload in Finish.
    void ApplyUpload(Options& o, const std::string& name, const std::string& v) {
        UploadConfig& u = upload_;
        if (name == "--upload") {
            if (o.upload) throw UsageError{"--upload: only one file per run"};
            if (v.empty()) throw UsageError{"--upload needs a file"};
            o.upload.emplace();
            uploadFile_ = v;
            return;
        }
        uploadOption_ = name;
        if (name == "--block-size") {
            u.blockSize = static_cast<std::uint32_t>(Int(name, v, 1, 64LL << 20));
        } else if (name == "--timeout-s") {
            u.idleTimeoutS = static_cast<std::uint32_t>(Int(name, v, 0, UINT32_MAX));
        } else if (name == "--compress") {
            u.compress = true;
        } else if (name == "--order") {
            const std::string m = Lower(v);
            if (m == "in")
                u.order = BlockOrder::InOrder;
            else if (m == "reverse")
                u.order = BlockOrder::Reverse;
            else if (m == "random")
                u.order = BlockOrder::Random;
            else
                throw UsageError{"--order: use in, reverse or random"};
        } else if (name == "--seed") {
            u.seed = static_cast<std::uint64_t>(Int(name, v, 0, INT64_MAX));
        } else if (name == "--drop") {
            std::stringstream s(v);
            for (std::string item; std::getline(s, item, ',');) {
                if (!item.empty()) u.drop.push_back(static_cast<std::uint32_t>(Int(name, item, 0, UINT32_MAX)));
            }
            if (u.drop.empty()) throw UsageError{"--drop: no block index given"};
        } else if (name == "--retries") {
            u.retries = static_cast<int>(Int(name, v, 0, 100000));
        } else if (name == "--rollback") {
            u.rollback = true;
        } else if (name == "--client-path") {
            u.clientPath = v;
        } else if (name == "--transfer-mode") {
            u.transferMode = static_cast<std::uint32_t>(Int(name, v, 0, UINT32_MAX));
        }
    }

    void Finish(Options& o) {
        if (o.rate > 0 && !o.flood) throw UsageError{"--rate applies to the flood mode only (--flood N)"};
        if (o.nodes.empty()) {
            std::array<std::uint8_t, 16> id{};
            std::memcpy(id.data(), o.fields.identity, 16);
            o.nodes.push_back(id);
        }
        if (o.upload) {
            if (o.flood) throw UsageError{"--upload cannot be combined with --flood"};
            if (!o.actions.empty() || !finalType_.empty()) {
                throw UsageError{"--upload cannot be combined with --send, --type, --garbage, --pause or --await"};
            }
            *o.upload = upload_;
            o.upload->file = uploadFile_;
            return;
        }
        if (!uploadOption_.empty()) throw UsageError{uploadOption_ + " applies to the upload mode only (--upload FILE)"};
        if (o.flood) {
            if (!o.actions.empty() || !finalType_.empty()) {
                throw UsageError{"--flood cannot be combined with --send, --type, --garbage, --pause or --await"};
            }
            return;
        }
        if (!finalType_.empty()) {
            batching_ = false;
            EndBatch();
            Send(o, finalType_);
        } else if (o.actions.empty()) {
            Send(o, "keepalive");
        }
    }

    static constexpr size_t kMaxSessionBytes = size_t{1} << 30;

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    size_t totalBytes_ = 0;
    int scripts_ = 0;
    Overrides next_;
    int repeat_ = 1;
    int every_ = 0;
    bool batching_ = false;
    bool pendingBatch_ = false;
    size_t chunk_ = 0;
    int chunkDelay_ = 10;
    std::string finalType_;
    UploadConfig upload_;
    std::string uploadFile_;
    std::string uploadOption_;  // the last upload option seen, for the error without --upload
};

// ---------------------------------------------------------------------------
// One connection, actions in order, replies printed by a reader thread.

class Session {
public:
    explicit Session(const Options& o) : o_(o), start_(Clock::now()) {}

    int Run() {
        std::string err;
        fd_ = Connect(o_.host, o_.port, o_.connectTimeoutMs, err);
        if (fd_ < 0) {
            std::fprintf(stderr, "varnholt-nodesim: cannot connect to %s:%u: %s\n", o_.host.c_str(), o_.port,
                         err.c_str());
            return kExitFailure;
        }
        Print("connected to " + o_.host + ":" + std::to_string(o_.port) + " as node " +
              IdentityHex(o_.fields.identity));
        std::thread reader(&Session::Reader, this);

        int rc = kExitOk;
        int expectedSoFar = 0;
        size_t packets = 0, bytes = 0;
        for (const Action& a : o_.actions) {
            if (a.type == Action::Pause) {
                Print("pause " + std::to_string(a.ms) + " ms");
                SleepMs(a.ms);
                continue;
            }
            if (a.type == Action::Await) {
                Print("await " + std::to_string(expectedSoFar) + " replies, at most " + std::to_string(a.ms) + " ms");
                WaitReplies(expectedSoFar, a.ms);
                continue;
            }
            if (a.delayMs > 0) SleepMs(a.delayMs);
            if (!o_.quiet) {
                std::string line = a.summaries.size() == 1
                                       ? "sent "
                                       : "sent in one write (" + std::to_string(a.bytes.size()) + " bytes):";
                for (size_t i = 0; i < a.summaries.size(); ++i) {
                    line += (a.summaries.size() == 1 ? "" : "\n      ") + a.summaries[i];
                }
                if (a.chunk > 0) {
                    line += "\n      in pieces of " + std::to_string(a.chunk) + " bytes, " +
                            std::to_string(a.chunkDelay) + " ms apart";
                }
                Print(line, "->");
            }
            if (o_.rtt) {
                // Stamped before the write: a reply may be read before it returns.
                std::lock_guard<std::mutex> lock(rttMutex_);
                sentAt_.insert(sentAt_.end(), static_cast<size_t>(a.expected), Clock::now());
            }
            if (!SendAll(fd_, a.bytes.data(), a.bytes.size(), a.chunk, a.chunkDelay, err)) {
                std::fprintf(stderr, "varnholt-nodesim: sending to %s:%u failed: %s\n", o_.host.c_str(), o_.port,
                             err.c_str());
                rc = kExitFailure;
                break;
            }
            packets += a.summaries.size();
            bytes += a.bytes.size();
            expectedSoFar += a.expected;
        }

        const int waitMs = o_.waitMs.value_or(2000);
        const int target = o_.expect.value_or(expectedSoFar);
        if (rc == kExitOk) {
            if (o_.waitFull) {
                WaitReplies(INT32_MAX, waitMs);
            } else if (WaitReplies(target, waitMs)) {
                WaitReplies(INT32_MAX, 200);  // late extras
            }
        }
        stop_ = true;
        reader.join();
        ::close(fd_);

        const int got = replies_;
        char text[200];
        std::snprintf(text, sizeof text,
                      "done: sent %zu item%s (packets and garbage), %zu bytes; %d repl%s received (%d expected)",
                      packets, packets == 1 ? "" : "s", bytes, got, got == 1 ? "y" : "ies", target);
        Print(text);
        if (o_.rtt) PrintRtt();
        if (rc == kExitOk && o_.expect && got != *o_.expect) {
            std::fprintf(stderr, "varnholt-nodesim: %d replies received, %d expected\n", got, *o_.expect);
            rc = kExitReplies;
        }
        return rc;
    }

private:
    void Print(const std::string& text, const char* arrow = "--") {
        const double t = std::chrono::duration<double>(Clock::now() - start_).count();
        std::lock_guard<std::mutex> lock(printMutex_);
        std::printf("%s [+%.3fs] %s\n", arrow, t, text.c_str());
        std::fflush(stdout);
    }

    // Waits until at least target replies arrived (true), or ms passed or the
    // connection ended (false).
    bool WaitReplies(int target, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < deadline) {
            if (replies_ >= target) return true;
            if (closed_) return false;
            SleepMs(5);
        }
        return replies_ >= target;
    }

    void Show(const Reply& r) {
        std::string text = Describe(r);
        if (r.type == Reply::InfoSyncReply) {
            const std::string md5 = Lower(ReplyMd5(r));
            const bool known = std::find(o_.md5Sent.begin(), o_.md5Sent.end(), md5) != o_.md5Sent.end();
            text += known ? " (the form sent)" : " (differs from every MD5 sent)";
        }
        if (r.type != Reply::Unknown) {
            ++replies_;
            if (o_.rtt) {
                std::lock_guard<std::mutex> lock(rttMutex_);
                if (!sentAt_.empty()) {
                    const double ms =
                        std::chrono::duration<double, std::milli>(Clock::now() - sentAt_.front()).count();
                    sentAt_.pop_front();
                    rtts_.push_back(ms);
                    text += " (rtt " + FormatMs(ms) + " ms)";
                }
            }
        }
        Print(text, "<-");
    }

    static std::string FormatMs(double ms) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f", ms);
        return buf;
    }

    // Printed even with --quiet: it is the result the option asks for.
    void PrintRtt() {
        std::lock_guard<std::mutex> lock(rttMutex_);
        std::vector<double> v = rtts_;
        std::string line = "rtt: ";
        if (v.empty()) {
            line += "no reply";
        } else {
            std::sort(v.begin(), v.end());
            const size_t n = v.size();
            const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
            line += "max " + FormatMs(v.back()) + " ms median " + FormatMs(median) + " ms (" + std::to_string(n) +
                    " repl" + (n == 1 ? "y" : "ies") + ")";
        }
        if (!sentAt_.empty()) line += ", " + std::to_string(sentAt_.size()) + " unanswered";
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    void Reader() {
        ReplyParser parser;
        std::uint8_t buf[65536];
        auto last = Clock::now();
        std::string err;
        while (!stop_) {
            const long n = RecvSome(fd_, buf, sizeof buf, 20, err);
            Reply r;
            if (n > 0) {
                parser.Feed(buf, static_cast<size_t>(n));
                last = Clock::now();
                while (parser.Next(r, false)) Show(r);
            } else if (n == 0) {
                if (parser.HasPending() && Clock::now() - last > std::chrono::milliseconds(300)) {
                    while (parser.Next(r, true)) Show(r);
                }
            } else {
                while (parser.Next(r, true)) Show(r);
                Print(n == -1 ? "connection closed by the service" : "receive failed: " + err);
                closed_ = true;
                return;
            }
        }
        Reply r;
        while (parser.Next(r, true)) Show(r);
    }

    const Options& o_;
    Clock::time_point start_;
    int fd_ = -1;
    std::atomic<int> replies_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::mutex printMutex_;
    std::mutex rttMutex_;
    std::deque<Clock::time_point> sentAt_;  // --rtt: send times of the replies still expected
    std::vector<double> rtts_;              // --rtt: round-trip times in ms
};

int RunFloodMode(const Options& o) {
    FloodConfig cfg;
    cfg.host = o.host;
    cfg.port = o.port;
    cfg.connectTimeoutMs = o.connectTimeoutMs;
    cfg.waitMs = o.waitMs.value_or(60000);
    cfg.nodes = o.nodes;
    cfg.total = *o.flood;
    std::string err;
    cfg.mix = ParseMix(o.mix, err);
    if (cfg.mix.empty()) {
        std::fprintf(stderr, "varnholt-nodesim: --mix: %s\n", err.c_str());
        return kExitUsage;
    }
    cfg.connections = o.connections;
    cfg.presyncAdmin = o.presyncAdmin;
    cfg.presyncUser = o.presyncUser;
    try {
        cfg.adminSnapshot =
            o.fields.adminXmlFile.empty() ? AdminSample() : ReadFile(o.fields.adminXmlFile, "snapshot file");
        cfg.userSnapshot =
            o.fields.userXmlFile.empty() ? UserSample() : ReadFile(o.fields.userXmlFile, "snapshot file");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "varnholt-nodesim: %s\n", e.message.c_str());
        return kExitUsage;
    }
    cfg.drain = o.drain;
    cfg.batchBytes = o.floodBatch;
    cfg.vary = o.vary;
    cfg.rate = o.rate;
    cfg.quiet = o.quiet;
    cfg.base = o.fields;
    return RunFlood(cfg);
}

int RunUploadMode(const Options& o) {
    UploadConfig cfg = *o.upload;
    cfg.host = o.host;
    cfg.port = o.port;
    cfg.connectTimeoutMs = o.connectTimeoutMs;
    cfg.waitMs = o.waitMs.value_or(10000);
    cfg.quiet = o.quiet;
    cfg.fields = o.fields;
    // A user of the built-in snapshot is looked up with its own group.
    if (!o.groupGiven && o.fields.userXmlFile.empty()) {
        for (const SampleUser& u : SampleUsers()) {
            if (cfg.fields.user == u.name) cfg.fields.group = u.group;
        }
    }
    const bool admin = o.presyncGiven && o.presyncAdmin;
    const bool user = o.presyncGiven ? o.presyncUser : true;
    cfg.syncAdmin = admin;
    cfg.syncUser = user;
    try {
        if (admin) {
            cfg.adminSnapshot =
                o.fields.adminXmlFile.empty() ? AdminSample() : ReadFile(o.fields.adminXmlFile, "snapshot file");
        }
        if (user) {
            cfg.userSnapshot =
                o.fields.userXmlFile.empty() ? UserSample() : ReadFile(o.fields.userXmlFile, "snapshot file");
        }
    } catch (const UsageError& e) {
        std::fprintf(stderr, "varnholt-nodesim: %s\n", e.message.c_str());
        return kExitUsage;
    }
    return RunUpload(cfg);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        CommandLine cl(argc, argv);
        if (!cl.Parse(o)) return kExitOk;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "varnholt-nodesim: %s\n", e.message.c_str());
        std::fprintf(stderr, "Try 'varnholt-nodesim --help'.\n");
        return kExitUsage;
    }
    if (o.flood) return RunFloodMode(o);
    if (o.upload) return RunUploadMode(o);
    Session s(o);
    return s.Run();
}
