// varnholt-info --watch: the screen text from crafted readings (rates,
// order, silent marks, cutting to the terminal), and the real tool against a
// real info server and intake, once as plain blocks into a file and once on
// a pseudo-terminal, where 'q' ends it and the terminal is given back.
#include "tools/infowatch.h"

#include <pty.h>
#include <termios.h>

#include <initializer_list>

#include "core/LossAccounting.h"
#include "info/InfoRetrieveTask.h"
#include "support/Prelude.h"

namespace {

using infowatch::Reading;

constexpr char kBusyNode[] = "d1b2c3d4a1b2c3d4a1b2c3d4a1b2c3d4";
constexpr char kQuietNode[] = "e1b2c3d4a1b2c3d4a1b2c3d4a1b2c3d4";
constexpr std::int64_t kNow = 1800000000;

InfoNodeRecord Node(const char* name, std::uint32_t connections, std::uint64_t logs, std::uint64_t bytes,
                    std::int64_t lastPacket, std::int64_t lastStored = 0) {
    InfoNodeRecord n{{}, connections, {logs}, bytes, 0, lastPacket, 0, lastStored, 0};
    std::strncpy(n.name, name, sizeof(n.name) - 1);
    return n;
}

Reading Answered(std::uint64_t monotonicMs, std::vector<InfoNodeRecord> nodes,
                 std::initializer_list<std::pair<loss::Counter, std::uint64_t>> counters) {
    Reading r{true, "", kNow, monotonicMs, {}};
    r.snapshot.counters.assign(loss::COUNTER_COUNT, 0);
    for (const auto& [counter, value] : counters) r.snapshot.counters[counter] = value;
    r.snapshot.haveNodes = true;
    r.snapshot.service.importBacklogFiles = 3;
    r.snapshot.service.diskFull = 1;
    r.snapshot.service.now = kNow;
    r.snapshot.nodes = std::move(nodes);
    return r;
}

// Where the line of node name is (lines.size() when none).
size_t LineIndex(const std::vector<std::string>& lines, const std::string& name) {
    size_t i = 0;
    while (i < lines.size() && lines[i].rfind(name + " ", 0) != 0) ++i;
    return i;
}

// The line at, with its runs of blanks as one ("" past the end).
std::string Words(const std::vector<std::string>& lines, size_t at) {
    std::string words;
    for (char c : at < lines.size() ? lines[at] : "") {
        if (c != ' ' || (!words.empty() && words.back() != ' ')) words += c;
    }
    return words;
}

std::string NodeLine(const std::vector<std::string>& lines, const std::string& name) {
    return Words(lines, LineIndex(lines, name));
}

// Two readings 2 s apart: totals and nodes get their rates per second, the
// busiest node comes first, nodes without a rate (new, or counters gone
// back) last; silent and never-seen nodes are marked; a small screen cuts
// lines and counts the nodes left out.
TEST(InfoWatchTest, RenderShowsRatesBusiestFirstSilentMarksAndFitsTheScreen) {
    const Reading before = Answered(
        1000,
        {Node("steady", 1, 10, 1000, kNow - 7), Node("flood", 2, 0, 0, kNow - 1), Node("restarted", 1, 500, 0, kNow - 2),
         Node("gone", 0, 40, 0, kNow - 30), Node("never", 0, 0, 0, 0)},
        {{loss::ACCEPTED, 100}, {loss::SQL_STORED, 10}, {loss::DROP_UNKNOWN_USER, 1}});
    Reading now = Answered(
        3000,
        {Node("steady", 1, 12, 4072, kNow - 5, kNow - 200), Node("flood", 2, 200, 0, kNow - 700),
         Node("restarted", 1, 5, 0, kNow - 2), Node("gone", 0, 40, 0, kNow - 30), Node("never", 0, 0, 0, 0),
         Node("newcomer", 1, 9, 0, kNow - 1)},
        {{loss::ACCEPTED, 300}, {loss::SQL_STORED, 30}, {loss::DF_WRITTEN, 40}, {loss::DF_LOADED, 40},
         {loss::DROP_UNKNOWN_USER, 5}, {loss::SQL_QUEUED, 30}});
    now.snapshot.nodes[1].oldestPending = kNow - 42;  // flood's oldest log not yet in MySQL
    infowatch::Screen screen{"127.0.0.1:9509", 2, 0, 0, false};
    const std::vector<std::string> lines = infowatch::Render(now, &before, screen);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    for (const char* part : {"service 127.0.0.1:9509  every 2 s\n", "accepted 300 (100.0/s)  dropped 5 (2.0/s)",
                             "Stored    70 (30.0/s): INSERT 10.0/s, data files 20.0/s, spool 0.0/s",
                             "unaccounted 225", "backlog 3 file(s), 0 bytes  disk full: YES",
                             "oldest log not yet in MySQL: 42 s", "6 registered, 4 connected, 3 silent"}) {
        EXPECT_NE(all.find(part), std::string::npos) << part << "\n" << all;
    }
    // In this order: by logs/s, then by logs.
    const size_t first = LineIndex(lines, "flood");
    const std::vector<std::string> table = {
        "flood 2 100.0/s 200 0 B 11 min never SILENT", "steady 1 1.0/s 12 1.5 KiB 5 s 3 min",
        "gone 0 0.0/s 40 0 B 30 s never SILENT",      "never 0 0.0/s 0 0 B never never NEVER",
        "newcomer 1 - 9 - 1 s never",                 "restarted 1 - 5 0 B 2 s never"};
    ASSERT_EQ(lines.size(), first + table.size()) << all;
    for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(Words(lines, first + i), table[i]) << all;

    // The first reading has no rates; a service that does not answer says so.
    EXPECT_EQ(NodeLine(infowatch::Render(now, nullptr, screen), "flood"), "flood 2 - 200 - 11 min never SILENT");
    const std::vector<std::string> down = infowatch::Render(Reading{false, "refused", kNow, 0, {}}, &before, screen);
    EXPECT_EQ(std::vector<std::string>(down.begin() + 1, down.end()),
              (std::vector<std::string>{"", "The service does not answer: refused", "Trying again every 2 s."}));

    // 30 columns, and room for two node lines and the count of the rest.
    screen = {"127.0.0.1:9509", 2, 30, static_cast<int>(first + 3), true};
    const std::vector<std::string> cut = infowatch::Render(now, &before, screen);
    ASSERT_EQ(cut.size(), first + 3);
    for (const std::string& line : cut) EXPECT_LE(line.size(), 30u) << line;
    EXPECT_EQ(std::vector<std::string>(cut.begin() + first, cut.end()),
              (std::vector<std::string>{"flood" + std::string(24, ' ') + "2", "steady" + std::string(23, ' ') + "1",
                                        "... 4 more nodes"}));
    EXPECT_EQ(cut[0], lines[0].substr(0, 30));
    screen.height = 2;
    EXPECT_EQ(infowatch::Render(now, &before, screen).size(), 2u);
}

// A child on a new pseudo-terminal (its controlling terminal), of the given
// size; the test keeps the slave side open to read its settings.
struct PtyChild {
    CChildProcess child;
    int master = -1, slave = -1;
    std::string output;

    bool Start(const std::string& program, const std::vector<std::string>& args, unsigned short columns,
               unsigned short rows) {
        winsize size{rows, columns, 0, 0};
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return false;
        fcntl(master, F_SETFL, O_NONBLOCK);
        return child.Start(program, args, {}, "", slave);
    }
    // Reads what the child wrote until condition holds or timeoutMs passed.
    bool ReadUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
        return testenv::WaitFor(
            [&] {
                char bytes[4096];
                for (ssize_t n; (n = read(master, bytes, sizeof(bytes))) > 0;) output.append(bytes, size_t(n));
                return condition();
            },
            timeoutMs);
    }
    // The exit code once the child ended within timeoutMs, else -1.
    int Wait(DWORD timeoutMs) {
        int code = -1;
        ReadUntil([&] { return child.Wait(0, &code); }, timeoutMs);
        return code;
    }
    ~PtyChild() {
        close(master);
        close(slave);
    }
};

// The lines of the last complete screen drawn (home ... clear to the end),
// without the clears of line ends and the terminal's carriage returns.
std::vector<std::string> LastScreen(const std::string& output) {
    const size_t end = output.rfind("\x1b[J");
    const size_t home = end == std::string::npos ? end : output.rfind("\x1b[H", end);
    std::string text;
    for (size_t i = home == std::string::npos ? end : home + 3; i < end; ++i) {
        if (output.compare(i, 3, "\x1b[K") == 0) {
            i += 2;
        } else if (output[i] != '\r') {
            text += output[i];
        }
    }
    return testenv::SplitLines(text);
}

// The real tool against a real info server, with one node connected after
// sending logs and one registered node that never connected.
TEST(InfoWatchTest, ToolShowsNodesAsPlainBlocksAndOnATerminalUntilQ) {
    testintake::Service service;
    service.Open("watch", kBusyNode, kQuietNode, [&] {
        testdb::ExecIn(service.mainDb,
                       "update dev_node set node_name = if(node_name = 'gw', 'watch-busy', 'watch-quiet')");
    });
    const std::uint16_t port = testnet::FreePort();
    testintake::SetKey("ZelkAdv.conf", "InfoRetrieve", "ListenPort", std::to_string(port));
    auto* task = new CInfoRetrieveTask();
    ASSERT_TRUE(task->Init() && task->Start());
    BYTE id[16];
    ASSERT_TRUE(DecodeHex16(kBusyNode, id));
    const int peer = testnet::Connect(service.port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(testintake::SyncUsers(peer, id));
    ASSERT_TRUE(testnet::SendAll(peer, testpkt::Alarms(id, "alarm", 5) + testpkt::KeepAlive(id)));
    ASSERT_EQ(testnet::ReceiveExactly(peer, packet::kKeepAliveReplySize, 20000).size(),
              size_t{packet::kKeepAliveReplySize});
    const std::string tool = std::string(VARNHOLT_BIN_DIR) + "/varnholt-info";
    const std::string portText = std::to_string(port);
    // A second screen: rates of 0 now that nothing more came.
    const auto checkNodes = [](const std::vector<std::string>& lines, const std::string& text) {
        const std::string busy = NodeLine(lines, "watch-busy");
        EXPECT_EQ(busy.rfind("watch-busy 1 0.0/s 5 0 B ", 0), 0u) << text;
        EXPECT_TRUE(busy.find("SILENT") == std::string::npos && busy.find("NEVER") == std::string::npos) << text;
        EXPECT_EQ(NodeLine(lines, "watch-quiet"), "watch-quiet 0 0.0/s 0 0 B never never NEVER") << text;
    };

    // Not a terminal: two plain blocks, a blank line between them.
    CChildProcess plain;
    const std::string out = testenv::InstallDir() + "/watch.out";
    ASSERT_TRUE(plain.Start(tool, {"--watch", "1", "--count", "2", "--port", portText}, {}, out));
    int code = -1;
    EXPECT_TRUE(plain.Wait(20000, &code) && code == 0) << code;
    const std::string text = testenv::ReadFile(out);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(testenv::CountOccurrences(text, "varnholt "), 2u) << text;
    const size_t second = text.find("\n\nvarnholt ");
    ASSERT_NE(second, std::string::npos) << text;
    checkNodes(testenv::SplitLines(text.substr(second + 2)), text);

    // On a terminal: the second screen drawn in place, keys without echo
    // while it runs, and canonical input with echo again after 'q'.
    PtyChild pty;
    ASSERT_TRUE(pty.Start(tool, {"--watch", "1", "--port", portText}, 150, 60));
    ASSERT_TRUE(pty.ReadUntil([&] { return testenv::CountOccurrences(pty.output, "\x1b[J") >= 2; }, 20000))
        << pty.output;
    const std::vector<std::string> lines = LastScreen(pty.output);
    EXPECT_NE(lines.at(0).find("(q quits)"), std::string::npos) << lines[0];
    checkNodes(lines, pty.output);
    for (const std::string& line : lines) EXPECT_TRUE(line.size() <= 150 && line.find('\x1b') == std::string::npos) << line;
    const auto inputMode = [&] {
        termios t{};
        return tcgetattr(pty.slave, &t) == 0 ? t.c_lflag & (ICANON | ECHO) : ~tcflag_t{0};
    };
    EXPECT_EQ(inputMode(), 0u);
    ASSERT_EQ(write(pty.master, "q", 1), 1);
    EXPECT_EQ(pty.Wait(10000), 0) << pty.output;
    EXPECT_EQ(inputMode(), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_NE(pty.output.find("\x1b[?1049l", pty.output.rfind("\x1b[J")), std::string::npos);

    testnet::Close(peer);
    task->Stop();
    if (task->WaitForExit(10000)) delete task;
    service.Close();
}

}  // namespace
