// Debug output datagrams and the debug-view listener.
#include <gtest/gtest.h>

#include <string>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

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

}  // namespace
