// Runs the real service binary in console mode on a throw-away install tree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <ctime>
#include <fstream>

#include "platform/Ini.h"
#include "support/ChildProcess.h"
#include "support/FakeSystemd.h"
#include "support/IntakeTest.h"
#include "support/WriterRecords.h"

namespace {

const std::string kService = std::string(VARNHOLT_BIN_DIR) + "/varnholt";

std::string TodayLogName() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char name[64];
    std::snprintf(name, sizeof(name), "LogFile_%04d_%02d_%02d.log", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return name;
}

// True once the process has blocked its stop signals, i.e. main() runs and a
// SIGTERM will be handled as a stop request.
bool StopSignalsBlocked(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) {
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask & (1ull << (SIGTERM - 1))) != 0;
        }
    }
    return false;
}

class ConsoleRunTest : public ::testing::Test {
protected:
    // One main database for every run of this program: the service loads
    // its node list from it when the listener starts.
    static void SetUpTestSuite() {
        s_main = testdb::UniqueName("run");
        s_nodeDb = testdb::UniqueName("run_node");
        testdb::CreateDatabase(s_main, "main.sql");
        testdb::CreateDatabase(s_nodeDb, "node.sql");
        testdb::RegisterNode(s_main, "sim", kSimNode, s_nodeDb);
    }
    static void TearDownTestSuite() {
        testdb::DropDatabase(s_main);
        testdb::DropDatabase(s_nodeDb);
    }

    // Runs the node simulator against the service; returns its exit code.
    int RunNodeSim(const std::vector<std::string>& args, std::string* output) {
        CChildProcess sim;
        std::vector<std::string> all{"--connect", "127.0.0.1:" + std::to_string(m_port), "--node", kSimNode};
        all.insert(all.end(), args.begin(), args.end());
        const std::string out = m_root + "/nodesim.out";
        EXPECT_TRUE(sim.Start(std::string(VARNHOLT_BIN_DIR) + "/varnholt-nodesim", all, {}, out));
        int code = -1;
        EXPECT_TRUE(sim.Wait(30000, &code));
        *output = testenv::ReadFile(out);
        return code;
    }

    void SetUp() override {
        m_root = testenv::MakeInstallTree();
        m_out = m_root + "/console.out";
        const testdb::Server& db = testdb::GetServer();
        SetKey("Zelk.conf", "DatabaseConfig", "DBServer", db.host.c_str());
        SetKey("Zelk.conf", "DatabaseConfig", "DBUser", db.user.c_str());
        SetKey("Zelk.conf", "DatabaseConfig", "DBPwd", db.password.c_str());
        SetKey("Zelk.conf", "DatabaseConfig", "DataBase", s_main.c_str());
        m_port = testnet::FreePort();
        SetKey("Zelk.conf", "DatabaseConfig", "Port", std::to_string(m_port).c_str());
        ASSERT_TRUE(WritePrivateProfileStringA("mysqld", "port", std::to_string(db.port).c_str(),
                                               (m_root + "/mysql/my.ini").c_str()));
    }

    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(m_root, m_ignored);
    }

    std::string Config(const std::string& name) const { return m_root + "/Zelk/Config/" + name; }
    std::string LogDir() const { return m_root + "/Zelk/Log"; }
    std::string TodayLog() const { return testenv::ReadFile(LogDir() + "/" + TodayLogName()); }

    void SetKey(const char* file, const char* section, const char* key, const char* value) {
        ASSERT_TRUE(WritePrivateProfileStringA(section, key, value, Config(file).c_str()));
    }

    void Start(const std::vector<std::string>& args = {"-Console"}, std::vector<std::string> env = {}) {
        env.push_back("VARNHOLT_INSTALL_PATH=" + m_root);
        env.push_back("VARNHOLT_DEBUGVIEW_NAME=" + m_root);
        ASSERT_TRUE(m_child.Start(kService, args, env, m_out));
    }

    // Stops the running service with signal and returns its exit code.
    int StopWith(int signal) {
        EXPECT_TRUE(testenv::WaitFor([&] { return StopSignalsBlocked(m_child.Pid()); }, 5000));
        EXPECT_TRUE(m_child.Signal(signal));
        int code = -1;
        EXPECT_TRUE(m_child.Wait(5000, &code)) << "the service did not end within 5 s";
        return code;
    }

    static constexpr char kSimNode[] = "00112233445566778899aabbccddeeff";
    static std::string s_main;
    static std::string s_nodeDb;
    std::string m_root;
    std::error_code m_ignored;
    std::string m_out;
    std::uint16_t m_port = 0;
    CChildProcess m_child;
};

std::string ConsoleRunTest::s_main;
std::string ConsoleRunTest::s_nodeDb;

// The exit line comes once, after the wait for every task, in the file and
// on the console.
TEST_F(ConsoleRunTest, SigtermEndsWithCodeZeroAfterTheExitLine) {
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "15");
    Start();
    EXPECT_EQ(StopWith(SIGTERM), 0);
    const std::string text = TodayLog();
    const size_t wait = text.find("[CTaskManager][WaitForAllTask] Wait Ret = 0\n");
    const size_t exit = text.find("[CVarnholt][VarnholtMain] Exit Normally.\n");
    ASSERT_NE(exit, std::string::npos) << text;
    EXPECT_EQ(exit, text.rfind("[CVarnholt][VarnholtMain] Exit Normally.\n")) << text;
    EXPECT_LT(wait, exit) << text;
    EXPECT_NE(testenv::ReadFile(m_out).find("[VarnholtMain] Exit Normally.\n"), std::string::npos);
}

// SIGINT stops a console run too; at the default level INFO lines reach
// the console but not the file.
TEST_F(ConsoleRunTest, SigintStopsAndTheDefaultLevelKeepsInfoOutOfTheFile) {
    Start();
    EXPECT_EQ(StopWith(SIGINT), 0);
    EXPECT_EQ(TodayLog().find("Exit Normally."), std::string::npos);
    EXPECT_NE(testenv::ReadFile(m_out).find("Exit Normally."), std::string::npos);
}

TEST_F(ConsoleRunTest, MissingProgramLogConfKeepsTheLogSilent) {
    testenv::RemoveFile(Config("ProgramLog.conf"));
    Start();
    EXPECT_EQ(StopWith(SIGTERM), 0);
    EXPECT_TRUE(testenv::ListFiles(LogDir()).empty());
    EXPECT_EQ(testenv::ReadFile(m_out), "");
}

// Outside systemd, no switch (or a switch followed by another word, which is
// no switch) ends the process at once with code 0, before it logs anything.
TEST_F(ConsoleRunTest, WithoutSwitchOutsideSystemdExitsAtOnce) {
    unsetenv("INVOCATION_ID");
    unsetenv("NOTIFY_SOCKET");
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-Console", "extra"}}) {
        Start(args);
        int code = -1;
        ASSERT_TRUE(m_child.Wait(5000, &code));
        EXPECT_EQ(code, 0);
    }
    EXPECT_TRUE(testenv::ListFiles(LogDir()).empty());
}

// Started by a service manager (a notify socket and a stand-in systemd on a
// private bus), the service reports Starting, then Running; every 5 s it
// reports Paused while no synchronised node is connected and Running while one
// is; a SIGTERM is reported as stopping and the last word is Stopped. The
// MySQL server and the watchdog are checked through the manager.
TEST_F(ConsoleRunTest, ServiceModeReportsItsStateOnTheNotifySocket) {
    CFakeSystemd manager;
    ASSERT_TRUE(manager.Start(m_root));
    const std::string notifyPath = m_root + "/notify";
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(notifyPath.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, notifyPath.c_str(), notifyPath.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);

    std::vector<std::string> messages;
    // Reads messages until want arrives; false after timeoutMs without it.
    const auto waitFor = [&](const std::string& want, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return false;
            messages.emplace_back(buffer, static_cast<size_t>(n));
            if (messages.back() == want) return true;
        }
    };
    const std::string running = "READY=1\nSTATUS=Running";
    const std::string paused = "STATUS=Paused: no synchronised node is connected";

    Start({}, {"NOTIFY_SOCKET=" + notifyPath, "DBUS_SYSTEM_BUS_ADDRESS=" + manager.Address()});
    ASSERT_TRUE(waitFor(running, 10000));
    EXPECT_EQ(messages.front(), "STATUS=Starting");
    ASSERT_TRUE(waitFor(paused, 12000)) << testenv::ReadFile(m_out);

    CChildProcess sim;
    ASSERT_TRUE(sim.Start(std::string(VARNHOLT_BIN_DIR) + "/varnholt-nodesim",
                          {"--connect", "127.0.0.1:" + std::to_string(m_port), "--node", kSimNode, "--send",
                           "sync-user", "--wait", "12000", "--wait-full"},
                          {}, m_root + "/nodesim.out"));
    EXPECT_TRUE(waitFor(running, 12000));
    EXPECT_EQ(StopWith(SIGTERM), 0);
    int code = -1;
    sim.Signal(SIGTERM);
    sim.Wait(5000, &code);
    while (waitFor("", 300)) {
    }
    close(fd);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "STATUS=Stopped");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "STOPPING=1\nSTATUS=Stopping"), messages.end());
    const std::vector<std::string> calls = manager.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "LoadUnit mariadb.service"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "LoadUnit zelkdog.service"), calls.end());
    EXPECT_EQ(TodayLog().find("SCManager"), std::string::npos);
}

// A SIGTERM with a node and silent peers connected (one of them mid-packet)
// closes them all and ends cleanly.
TEST_F(ConsoleRunTest, StopClosesTheConnectedPeers) {
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "15");
    Start();
    std::vector<int> peers{testnet::ConnectWithin(m_port, 15000)};
    for (int i = 1; i < 3; ++i) peers.push_back(testnet::Connect(m_port));
    for (int p : peers) ASSERT_GE(p, 0);
    BYTE id[16];
    DecodeHex16(kSimNode, id);
    ASSERT_TRUE(testintake::SendConfirmed(peers[0], id, "")) << "the node was not answered";

    ASSERT_TRUE(testnet::SendAll(peers[1], std::string(5000, 'x')));
    EXPECT_EQ(StopWith(SIGTERM), 0);
    for (int p : peers) {
        EXPECT_TRUE(testnet::ClosedByPeerWithin(p, 2000));
        testnet::Close(p);
    }
    const std::string text = TodayLog();
    EXPECT_NE(text.find("[CDataCenterListenTask][Run] Wait Exit Event = 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[VarnholtMain] Exit Normally."), std::string::npos);
}

// A port taken by another program ends the service with a failure code,
// so that systemd sees the failure (and restarts it) instead of a clean stop.
TEST_F(ConsoleRunTest, TakenPortEndsTheServiceWithAFailureCode) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_port);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    Start();
    int code = 0;
    ASSERT_TRUE(m_child.Wait(20000, &code)) << "the service kept running without its port";
    close(taken);
    EXPECT_NE(code, 0);
    EXPECT_NE(TodayLog().find("[Run] Bind Fail Err = 98"), std::string::npos);
    EXPECT_NE(testenv::ReadFile(m_out).find("exit code 1"), std::string::npos);
}

// A fresh install tree without its working folders: the service makes them,
// answers the node simulator and stores its snapshots, and what the
// configuration reported while it loaded is in the log from the start.
TEST_F(ConsoleRunTest, FreshInstallTreeAnswersTheNodeSimulatorAndStoresItsSnapshots) {
    const std::vector<std::string> folders{m_root + "/Zelk/Log", m_root + "/Zelk/Temp", m_root + "/Zelk/DataFile",
                                           m_root + "/Zelk/Dump", m_root + "/htdocs/UploadFiles"};
    std::error_code ignored;
    for (const std::string& folder : folders) std::filesystem::remove_all(folder, ignored);
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "15");
    SetKey("Zelk.conf", "DatabaseConfig", "BackPath", std::string(600, 'b').c_str());
    Start();
    ASSERT_GE(testnet::ConnectWithin(m_port, 15000), 0);
    std::string out;
    EXPECT_EQ(RunNodeSim({"--send", "test", "--send", "keepalive", "--send", "sync-user", "--send", "sync-admin",
                          "--md5", "upper", "--send", "sync-user", "--expect", "5", "--wait", "5000"},
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("test echo \"ZZORBBIINNTEST\""), std::string::npos) << out;
    EXPECT_NE(out.find("keep-alive reply (46 bytes)"), std::string::npos);
    EXPECT_NE(out.find("info-sync reply (74 bytes)"), std::string::npos);
    EXPECT_NE(testdb::ScalarIn(s_nodeDb, "select count(*) from tarnuser"), "0");
    EXPECT_NE(testdb::ScalarIn(s_nodeDb, "select count(*) from admin"), "0");
    EXPECT_EQ(StopWith(SIGTERM), 0);
    for (const std::string& folder : folders) EXPECT_TRUE(testenv::FileExists(folder)) << folder;
    EXPECT_NE(TodayLog().find("[LoadZelkConfig] Value Cut To 518 Characters. FileName = " + Config("Zelk.conf") +
                              " , Section = DatabaseConfig , Key = BackPath\n"),
              std::string::npos);
}

// Killed twice, once after taking logs into data files and once while loading
// them at the next start: at the third start every user and system log the
// service took in is in MySQL once, with exactly the text that was sent.
TEST_F(ConsoleRunTest, SigkillAfterIntakeAndDuringTheStartUpImportLosesAndRepeatsNothing) {
    testdb::ExecIn(s_nodeDb, "delete from usrbasiclog; delete from syslog");
    SetKey("ProgramLog.conf", "TxtLog", "LogLevel", "15");
    // Logs the merger holds in memory do not survive a SIGKILL; this test is
    // about what reached the data files.
    SetKey("ZelkAdv.conf", "Global", "EnableLogMerge", "0");
    Start();
    int peer = testnet::ConnectWithin(m_port, 15000);
    ASSERT_GE(peer, 0);
    BYTE id[16];
    ASSERT_TRUE(DecodeHex16(kSimNode, id));
    ASSERT_TRUE(testintake::SyncUsers(peer, id));
    // Every awkward character, with Chinese text sent as UTF-8; the rows hold
    // it in GBK ("\xD6\xD0").
    const std::string awkward = "it's \"q\" back\\slash\ttab\nlf\rcr \xE4\xB8\xAD ";
    constexpr int kUserLogs = 60000, kSystemLogs = 50;
    std::string stream;
    for (int i = 0; i < kUserLogs; ++i) {
        stream += testpkt::UserV1(id, 1, "alice", awkward + std::to_string(i) + std::string(80, 'p'));
    }
    for (int i = 0; i < kSystemLogs; ++i) {
        stream += testpkt::Bytes(testpkt::System(id, 2, 7, awkward + std::to_string(i)));
    }
    ASSERT_TRUE(testintake::SendConfirmed(peer, id, stream, 60000));
    ASSERT_TRUE(m_child.Signal(SIGKILL));
    int code = 0;
    ASSERT_TRUE(m_child.Wait(5000, &code));
    testnet::Close(peer);

    const std::string log = LogDir() + "/" + TodayLogName();
    const size_t before = testenv::ReadFile(log).size();
    Start();  // the start-up import begins 60 s after the start
    ASSERT_TRUE(testenv::WaitFor(
        [&] { return testenv::ReadFile(log).find("Prepare To Import Data File", before) != std::string::npos; }, 90000));
    ASSERT_TRUE(m_child.Signal(SIGKILL));
    ASSERT_TRUE(m_child.Wait(5000, &code));

    Start();
    const std::string dir = m_root + "/Zelk/DataFile/" + s_nodeDb;
    auto waiting = [&] {
        size_t files = 0;
        for (const char* table : {"usrbasiclog", "syslog"}) files += testenv::ListFiles(dir + "/" + table).size();
        return files;
    };
    ASSERT_TRUE(testenv::WaitFor([&] { return waiting() == 0; }, 120000)) << waiting() << " files left";
    EXPECT_EQ(StopWith(SIGTERM), 0);

    std::string gbk = awkward;
    gbk.replace(gbk.find("\xE4\xB8\xAD"), 3, "\xD6\xD0");
    std::unique_ptr<MYSQL, decltype(&mysql_close)> c(testdb::Connect(s_nodeDb), mysql_close);
    const auto users = testdb::Query(c.get(), "select message, user_name, user_action, log_time from usrbasiclog");
    ASSERT_EQ(users.size(), size_t{kUserLogs});
    std::vector<int> seen(kUserLogs, 0);
    for (const auto& row : users) {
        const std::string& message = *row[0];
        ASSERT_EQ(message.compare(0, gbk.size(), gbk), 0) << message;
        const int n = std::atoi(message.c_str() + gbk.size());
        ASSERT_TRUE(n >= 0 && n < kUserLogs);
        EXPECT_EQ(message, gbk + std::to_string(n) + std::string(80, 'p'));
        EXPECT_EQ(*row[1] + "|" + *row[2] + "|" + *row[3], "alice|1|2031-03-09 14:05:01");
        ++seen[n];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kUserLogs);
    const auto systems = testdb::Query(c.get(), "select message, lev, process from syslog order by id");
    ASSERT_EQ(systems.size(), size_t{kSystemLogs});
    std::vector<std::string> messages;
    for (const auto& row : systems) {
        messages.push_back(*row[0]);
        EXPECT_EQ(*row[1] + "|" + *row[2], "2|7");
    }
    std::sort(messages.begin(), messages.end());
    std::vector<std::string> expected;
    for (int i = 0; i < kSystemLogs; ++i) expected.push_back(gbk + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(messages, expected);
}

// A 10 MiB file uploaded by the node simulator in random order, compressed,
// with one block lost on the first pass: the service names the block, the
// simulator resends it, and the stored file equals the original.
TEST_F(ConsoleRunTest, NodeSimulatorUploadIsStoredByteForByte) {
    std::string content;
    std::mt19937 random(11);
    while (content.size() < 10u * 1024 * 1024) {
        content += "session " + std::to_string(random() % 100000) + " opened by user ";
        content += static_cast<char>(random());
    }
    content.resize(10u * 1024 * 1024 + 17);
    const std::string file = m_root + "/upload.bin";
    testenv::WriteFile(file, content);
    Start();
    ASSERT_GE(testnet::ConnectWithin(m_port, 15000), 0);
    std::string out;
    ASSERT_EQ(RunNodeSim({"upload", file, "--compress", "--order", "random", "--seed", "5", "--drop", "3",
                          "--block-size", "65536", "--quiet"},
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("first missing block 3, missing blocks 1"), std::string::npos) << out;
    const std::string web = testdb::ScalarIn(s_nodeDb, "select dcfilepath from usrfileauditlog order by id desc limit 1");
    ASSERT_EQ(web.rfind("/UploadFiles/" + s_nodeDb + "/", 0), 0u) << web;
    EXPECT_TRUE(testenv::ReadFile(m_root + "/htdocs" + web) == content) << web;
    EXPECT_EQ(StopWith(SIGTERM), 0);
}

}  // namespace
