// Debug output datagrams and the debug-view listener.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "support/TestEnv.h"

namespace {

constexpr DWORD kReceiveMs = 2000;

TEST(DebugViewTest, NameComesFromTheEnvironment) {
    const char* name = getenv("VARNHOLT_DEBUGVIEW_NAME");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(DebugViewSocketName(), name);
    EXPECT_EQ(GetEnvString("VARNHOLT_DEBUGVIEW_NAME"), name);
    EXPECT_EQ(GetEnvString("VARNHOLT_SURELY_UNSET_VARIABLE"), "");
}

TEST(DebugViewTest, ListenerReceivesTheExactText) {
    CDebugViewListener listener;
    ASSERT_TRUE(listener.Open(DebugViewSocketName()));

    const std::string texts[] = {
        "hello debug view",
        "[2017-03-09 23:59:59][Varnholt][PID=1234] line with trailing newline\n",
        "GBK bytes \xD6\xD0\xCE\xC4 and UTF-8 \xE4\xB8\xAD\xE6\x96\x87",
        std::string(4000, 'L'),
    };
    for (const std::string& text : texts) OutputDebugStringA(text.c_str());
    for (const std::string& text : texts) {
        std::string received;
        ASSERT_TRUE(listener.Receive(&received, kReceiveMs));
        EXPECT_EQ(received, text);  // one datagram per call, in order
    }
    std::string extra;
    EXPECT_FALSE(listener.Receive(&extra, 20));
}

TEST(DebugViewTest, ReceiveTimesOutWhenNothingArrives) {
    CDebugViewListener listener;
    ASSERT_TRUE(listener.Open(DebugViewSocketName()));
    std::string text = "untouched";
    EXPECT_FALSE(listener.Receive(&text, 20));

    CDebugViewListener unopened;
    EXPECT_FALSE(unopened.Receive(&text, 0));
}

TEST(DebugViewTest, SecondListenerOnTheSameNameFails) {
    {
        CDebugViewListener first;
        ASSERT_TRUE(first.Open(DebugViewSocketName()));
        CDebugViewListener second;
        EXPECT_FALSE(second.Open(DebugViewSocketName()));

        // The first one still gets the output.
        OutputDebugStringA("still mine");
        std::string text;
        ASSERT_TRUE(first.Receive(&text, kReceiveMs));
        EXPECT_EQ(text, "still mine");
    }
    // The name is free again once the first listener is gone.
    CDebugViewListener again;
    EXPECT_TRUE(again.Open(DebugViewSocketName()));
}

TEST(DebugViewTest, OutputWithoutAListenerIsDropped) {
    // Nobody listens: must return at once without error.
    OutputDebugStringA("lost message");
    OutputDebugStringA("");
    OutputDebugStringA(nullptr);

    CDebugViewListener listener;
    ASSERT_TRUE(listener.Open(DebugViewSocketName()));
    OutputDebugStringA("after open");
    std::string text;
    ASSERT_TRUE(listener.Receive(&text, kReceiveMs));
    EXPECT_EQ(text, "after open") << "output sent before the listener existed was kept";
}

struct FloodArgs {
    int count;
};

DWORD Flood(void* param) {
    auto* args = static_cast<FloodArgs*>(param);
    for (int i = 0; i < args->count; ++i) OutputDebugStringA(("flood " + std::to_string(i)).c_str());
    return 0;
}

TEST(DebugViewTest, OutputNeverBlocksOnAListenerThatDoesNotRead) {
    CDebugViewListener listener;
    ASSERT_TRUE(listener.Open(DebugViewSocketName()));

    // Far more datagrams than the socket queue holds; a blocking send would
    // hang the sending thread.
    static FloodArgs args{5000};  // outlives a sender that might still be running
    HANDLE sender = CreateThread(Flood, &args, nullptr);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(WaitForSingleObject(sender, 10000), WAIT_OBJECT_0);
    CloseHandle(sender);

    // What was queued arrives intact and in order, starting with the first.
    std::string text;
    ASSERT_TRUE(listener.Receive(&text, kReceiveMs));
    EXPECT_EQ(text, "flood 0");
    ASSERT_TRUE(listener.Receive(&text, kReceiveMs));
    EXPECT_EQ(text, "flood 1");
}

}  // namespace
