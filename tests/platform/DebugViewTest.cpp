// Debug output datagrams and the debug-view listener.
#include <sys/un.h>

#include "support/Prelude.h"

namespace {

constexpr DWORD kReceiveMs = 2000;

DWORD Flood(void*) {
    for (int i = 0; i < 5000; ++i) OutputDebugStringA(("flood " + std::to_string(i)).c_str());
    return 0;
}

// Output sent while nobody listens is dropped at once; a listener gets each
// later call as one datagram with the exact bytes, in order, and nothing else.
// A listener that does not read never blocks the senders.
TEST(DebugViewTest, ListenerReceivesExactlyWhatWasSentAndNeverBlocksSenders) {
    OutputDebugStringA("lost message");
    CDebugViewListener listener;
    ASSERT_TRUE(listener.Open(DebugViewSocketName()));
    const std::string texts[] = {
        "[2017-03-09 23:59:59][Varnholt][PID=1234] line with trailing newline\n",
        "GBK bytes \xD6\xD0\xCE\xC4 and UTF-8 \xE4\xB8\xAD\xE6\x96\x87",
        std::string(4000, 'L'),
    };
    for (const std::string& text : texts) OutputDebugStringA(text.c_str());
    std::string received;
    for (const std::string& text : texts) {
        ASSERT_TRUE(listener.Receive(&received, kReceiveMs));
        EXPECT_EQ(received, text);
    }
    EXPECT_FALSE(listener.Receive(&received, 20));
    // Far more datagrams than the socket queue holds: what was queued arrives
    // intact and in order, starting with the first.
    HANDLE sender = CreateThread(Flood, nullptr, nullptr);
    EXPECT_EQ(WaitForSingleObject(sender, 10000), WAIT_OBJECT_0) << "a blocking send hung the sender";
    CloseHandle(sender);
    for (const char* expected : {"flood 0", "flood 1"}) {
        ASSERT_TRUE(listener.Receive(&received, kReceiveMs));
        EXPECT_EQ(received, expected);
    }
}

// The socket file lives in the runtime folder systemd gives the service, else
// in the install tree; a viewer replaces the file a dead viewer left but
// never takes a live viewer's, and removes its own file when it closes.
TEST(DebugViewTest, SocketFileIsFoundAndTakenOverOnlyFromADeadViewer) {
    const std::string name = "view-" + std::to_string(getpid());
    const std::string tree = GetEnvString("VARNHOLT_INSTALL_PATH") + "/Zelk/Run/" + name;
    const struct {
        const char* runtimeDirectory;  // null: unset
        std::string name, path;
    } cases[] = {{nullptr, name, tree}, {"/run/a:/run/b", name, "/run/a/" + name}, {"/run/a", "/x/y", "/x/y"}};
    for (const auto& c : cases) {
        if (c.runtimeDirectory != nullptr) setenv("RUNTIME_DIRECTORY", c.runtimeDirectory, 1);
        EXPECT_EQ(DebugViewSocketPath(c.name), c.path);
        unsetenv("RUNTIME_DIRECTORY");
    }

    {
        CDebugViewListener first;
        ASSERT_TRUE(first.Open(name));
        CDebugViewListener second;
        EXPECT_FALSE(second.Open(name)) << "a live viewer's socket was taken";
        EXPECT_TRUE(first.IsStillBound());
    }
    struct stat st {};
    EXPECT_NE(stat(tree.c_str(), &st), 0) << "the closed viewer left its socket file";

    // A viewer that died leaves its file behind.
    const int dead = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::memcpy(addr.sun_path, tree.c_str(), tree.size());
    ASSERT_EQ(bind(dead, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
    close(dead);
    CDebugViewListener next;
    EXPECT_TRUE(next.Open(name));
}

}  // namespace
