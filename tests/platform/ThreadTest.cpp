// Threads with waitable ends, and per-thread message queues.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "support/TestEnv.h"

namespace {

constexpr DWORD kLongWaitMs = 5000;

class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE h = nullptr) : m_h(h) {}
    ~ScopedHandle() {
        if (m_h != nullptr) CloseHandle(m_h);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : m_h(other.m_h) { other.m_h = nullptr; }
    HANDLE get() const { return m_h; }
    operator HANDLE() const { return m_h; }  // NOLINT: reads like the raw handle

private:
    HANDLE m_h;
};

// ---------------------------------------------------------------------------
// Threads

struct IdProbe {
    std::atomic<DWORD> seenId{0};
};

DWORD RecordOwnId(void* param) {
    static_cast<IdProbe*>(param)->seenId.store(GetCurrentThreadId());
    return 0;
}

TEST(ThreadTest, ReportedIdIsTheThreadsOwnId) {
    IdProbe probe;
    DWORD id = 0;
    ScopedHandle thread(CreateThread(RecordOwnId, &probe, &id));
    ASSERT_NE(thread.get(), nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(probe.seenId.load(), id);
    EXPECT_NE(id, GetCurrentThreadId());
}

TEST(ThreadTest, ThreadIdPointerIsOptional) {
    IdProbe probe;
    ScopedHandle thread(CreateThread(RecordOwnId, &probe, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_NE(probe.seenId.load(), 0u);
}

TEST(ThreadTest, CurrentThreadIdDiffersBetweenThreads) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(mine, GetCurrentThreadId());
    DWORD other = 0;
    std::thread t([&] { other = GetCurrentThreadId(); });
    t.join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

struct GatedArgs {
    HANDLE gate;
    DWORD code;
};

DWORD ReturnAfterGate(void* param) {
    auto* args = static_cast<GatedArgs*>(param);
    WaitForSingleObject(args->gate, kLongWaitMs);
    return args->code;
}

TEST(ThreadTest, HandleSignalsAndExitCodeAppearWhenTheProcedureReturns) {
    ScopedHandle gate(CreateEvent(true, false));
    ASSERT_NE(gate.get(), nullptr);
    GatedArgs args{gate, 42};
    ScopedHandle thread(CreateThread(ReturnAfterGate, &args, nullptr));
    ASSERT_NE(thread.get(), nullptr);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(STILL_ACTIVE, 259u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(gate));
    ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    // The end is a manual-reset signal: every later wait sees it.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
}

TEST(ThreadTest, ExitCodeIsPassedThroughUnchanged) {
    ScopedHandle gate(CreateEvent(true, true));
    for (DWORD value : {0u, 1u, 0xFFFFFFFEu}) {
        GatedArgs args{gate, value};
        ScopedHandle thread(CreateThread(ReturnAfterGate, &args, nullptr));
        ASSERT_NE(thread.get(), nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
        DWORD code = STILL_ACTIVE;
        ASSERT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, value);
    }
}

TEST(ThreadTest, BadArgumentsAreRejected) {
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    ScopedHandle ev(CreateEvent(true, true));
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(ev, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

struct CloseEarlyArgs {
    HANDLE gate;
    HANDLE done;
    std::atomic<bool> ran{false};
};

DWORD RunAfterHandleClosed(void* param) {
    auto* args = static_cast<CloseEarlyArgs*>(param);
    WaitForSingleObject(args->gate, kLongWaitMs);
    args->ran.store(true);
    SetEvent(args->done);  // last use of args
    return 5;
}

TEST(ThreadTest, ClosingTheHandleWhileTheThreadRunsIsSafe) {
    ScopedHandle gate(CreateEvent(true, false));
    ScopedHandle done(CreateEvent(true, false));
    CloseEarlyArgs args;
    args.gate = gate;
    args.done = done;
    HANDLE thread = CreateThread(RunAfterHandleClosed, &args, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));

    ASSERT_TRUE(SetEvent(gate));
    ASSERT_EQ(WaitForSingleObject(done, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(args.ran.load());
}

TEST(ThreadTest, ExtraReferenceOutlivesTheThread) {
    ScopedHandle gate(CreateEvent(true, false));
    GatedArgs args{gate, 9};
    HANDLE thread = CreateThread(ReturnAfterGate, &args, nullptr);
    ASSERT_NE(thread, nullptr);
    thread->AddRef();
    EXPECT_TRUE(CloseHandle(thread));
    ASSERT_TRUE(SetEvent(gate));
    ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 9u);
    EXPECT_TRUE(CloseHandle(thread));
}

struct CountArgs {
    std::atomic<int>* counter;
    DWORD index;
};

DWORD CountAndReturnIndex(void* param) {
    auto* args = static_cast<CountArgs*>(param);
    args->counter->fetch_add(1);
    return args->index;
}

TEST(ThreadTest, ManyThreadsAllEnd) {
    constexpr DWORD kThreads = 100;
    std::atomic<int> counter{0};
    std::vector<CountArgs> args(kThreads);
    std::vector<ScopedHandle> owned;
    std::vector<HANDLE> handles;
    std::vector<DWORD> ids;
    for (DWORD i = 0; i < kThreads; ++i) {
        args[i] = CountArgs{&counter, 1000 + i};
        DWORD id = 0;
        owned.emplace_back(CreateThread(CountAndReturnIndex, &args[i], &id));
        ASSERT_NE(owned.back().get(), nullptr) << "thread " << i;
        handles.push_back(owned.back().get());
        ids.push_back(id);
    }
    for (DWORD first = 0; first < kThreads; first += MAXIMUM_WAIT_OBJECTS) {
        DWORD n = std::min(MAXIMUM_WAIT_OBJECTS, kThreads - first);
        ASSERT_EQ(WaitForMultipleObjects(n, &handles[first], true, kLongWaitMs), WAIT_OBJECT_0);
    }
    EXPECT_EQ(counter.load(), static_cast<int>(kThreads));
    for (DWORD i = 0; i < kThreads; ++i) {
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(handles[i], &code));
        EXPECT_EQ(code, 1000 + i);
        EXPECT_NE(ids[i], 0u);
    }
}

TEST(ThreadTest, WaitAnyReportsTheThreadThatEnded) {
    ScopedHandle gateA(CreateEvent(true, false));
    ScopedHandle gateB(CreateEvent(true, false));
    GatedArgs a{gateA, 1};
    GatedArgs b{gateB, 2};
    ScopedHandle threadA(CreateThread(ReturnAfterGate, &a, nullptr));
    ScopedHandle threadB(CreateThread(ReturnAfterGate, &b, nullptr));
    HANDLE handles[] = {threadA, threadB};

    ASSERT_TRUE(SetEvent(gateB));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, false, kLongWaitMs), WAIT_OBJECT_0 + 1);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(threadA, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    ASSERT_TRUE(SetEvent(gateA));
    EXPECT_EQ(WaitForSingleObject(threadA, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, false, 0), WAIT_OBJECT_0);
}

// ---------------------------------------------------------------------------
// Message queues of other threads

// A thread that creates its queue only when told to, then collects messages
// until WM_QUIT and returns how many it got.
struct QueueWorker {
    HANDLE peekNow = nullptr;
    HANDLE ready = nullptr;
    std::vector<MSG> received;
    bool sawQuit = false;
};

DWORD RunQueueWorker(void* param) {
    auto* w = static_cast<QueueWorker*>(param);
    if (WaitForSingleObject(w->peekNow, kLongWaitMs) != WAIT_OBJECT_0) return 1000;
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);  // creates the queue
    SetEvent(w->ready);
    for (;;) {
        // Never block forever: a lost message fails the test instead of hanging it.
        if (MsgWaitForMultipleObjects(0, nullptr, kLongWaitMs) != WAIT_OBJECT_0) return 2000;
        bool more = GetMessage(&msg);
        if (!more) {
            w->sawQuit = msg.message == WM_QUIT;
            break;
        }
        w->received.push_back(msg);
    }
    return static_cast<DWORD>(w->received.size());
}

TEST(MessageQueueTest, PostingNeedsTheTargetToHavePeekedAndDeliversInOrder) {
    ScopedHandle peekNow(CreateEvent(true, false));
    ScopedHandle ready(CreateEvent(true, false));
    QueueWorker worker;
    worker.peekNow = peekNow;
    worker.ready = ready;
    DWORD id = 0;
    ScopedHandle thread(CreateThread(RunQueueWorker, &worker, &id));
    ASSERT_NE(thread.get(), nullptr);

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(id, WM_USER, 1, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

    ASSERT_TRUE(SetEvent(peekNow));
    ASSERT_EQ(WaitForSingleObject(ready, kLongWaitMs), WAIT_OBJECT_0);

    const WPARAM bigW = static_cast<WPARAM>(-1);
    const LPARAM negativeL = -123456789;
    EXPECT_TRUE(PostThreadMessage(id, WM_USER + 1, 11, 12));
    EXPECT_TRUE(PostThreadMessage(id, WM_USER + 2, bigW, negativeL));
    EXPECT_TRUE(PostThreadMessage(id, WM_USER + 3, 0, 0));
    EXPECT_TRUE(PostThreadMessage(id, WM_QUIT, 77, 0));

    ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 3u);
    ASSERT_EQ(worker.received.size(), 3u);
    EXPECT_EQ(worker.received[0].message, WM_USER + 1);
    EXPECT_EQ(worker.received[0].wParam, 11u);
    EXPECT_EQ(worker.received[0].lParam, 12);
    EXPECT_EQ(worker.received[1].message, WM_USER + 2);
    EXPECT_EQ(worker.received[1].wParam, bigW);
    EXPECT_EQ(worker.received[1].lParam, negativeL);
    EXPECT_EQ(worker.received[2].message, WM_USER + 3);
    EXPECT_TRUE(worker.sawQuit);

    // The queue went away with its thread.
    EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 0));
}

TEST(MessageQueueTest, PostingToAnUnknownThreadFails) {
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, WM_USER, 0, 0));
}

TEST(MessageQueueTest, QueueOfAnEndedThreadIsGoneWhateverStartedIt) {
    DWORD id = 0;
    bool postedWhileAlive = false;
    std::thread t([&] {
        MSG msg{};
        EXPECT_FALSE(PeekMessage(&msg, PM_REMOVE));
        id = GetCurrentThreadId();
        postedWhileAlive = PostThreadMessage(id, WM_USER, 0, 0);
    });
    t.join();
    EXPECT_TRUE(postedWhileAlive);
    ASSERT_NE(id, 0u);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(MessageQueueTest, ManySendersLoseNothing) {
    constexpr int kSenders = 4;
    constexpr int kPerSender = 200;
    ScopedHandle peekNow(CreateEvent(true, true));
    ScopedHandle ready(CreateEvent(true, false));
    QueueWorker worker;
    worker.peekNow = peekNow;
    worker.ready = ready;
    DWORD id = 0;
    ScopedHandle thread(CreateThread(RunQueueWorker, &worker, &id));
    ASSERT_NE(thread.get(), nullptr);
    ASSERT_EQ(WaitForSingleObject(ready, kLongWaitMs), WAIT_OBJECT_0);

    std::atomic<int> failedPosts{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                if (!PostThreadMessage(id, WM_USER, static_cast<WPARAM>(s), i)) failedPosts.fetch_add(1);
            }
        });
    }
    for (auto& t : senders) t.join();
    ASSERT_TRUE(PostThreadMessage(id, WM_QUIT, 0, 0));
    ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(failedPosts.load(), 0);
    ASSERT_EQ(worker.received.size(), static_cast<size_t>(kSenders * kPerSender));
    // Each sender's messages keep their order.
    std::vector<LPARAM> next(kSenders, 0);
    for (const MSG& m : worker.received) {
        ASSERT_LT(m.wParam, static_cast<WPARAM>(kSenders));
        EXPECT_EQ(m.lParam, next[m.wParam]) << "sender " << m.wParam;
        next[m.wParam] = m.lParam + 1;
    }
}

// ---------------------------------------------------------------------------
// The calling thread's own queue

class OwnQueueTest : public ::testing::Test {
protected:
    void SetUp() override { Drain(); }
    void TearDown() override { Drain(); }

    static void Drain() {
        MSG msg{};
        while (PeekMessage(&msg, PM_REMOVE)) {
        }
    }
};

TEST_F(OwnQueueTest, QueueEventFollowsPendingMessages) {
    HANDLE input = GetMessageQueueEvent();
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(GetMessageQueueEvent(), input);
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_TIMEOUT);

    const DWORD me = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessage(me, WM_USER + 1, 1, 10));
    ASSERT_TRUE(PostThreadMessage(me, WM_USER + 2, 2, 20));
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_OBJECT_0);  // level-triggered

    MSG msg{};
    ASSERT_TRUE(PeekMessage(&msg, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    ASSERT_TRUE(PeekMessage(&msg, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);  // not removed
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_OBJECT_0);

    ASSERT_TRUE(PeekMessage(&msg, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_EQ(msg.lParam, 10);
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_OBJECT_0);  // one still pending

    ASSERT_TRUE(PeekMessage(&msg, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 2);
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_EQ(msg.lParam, 20);
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(PeekMessage(&msg, PM_REMOVE));
    EXPECT_FALSE(PeekMessage(&msg, PM_NOREMOVE));
    EXPECT_EQ(WaitForSingleObject(input, 0), WAIT_TIMEOUT);
}

TEST_F(OwnQueueTest, PeekWithoutAMessageBufferStillRemoves) {
    const DWORD me = GetCurrentThreadId();
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);
    ASSERT_TRUE(PostThreadMessage(me, WM_USER + 5, 0, 0));
    ASSERT_TRUE(PostThreadMessage(me, WM_USER + 6, 0, 0));
    EXPECT_TRUE(PeekMessage(nullptr, PM_REMOVE));
    ASSERT_TRUE(PeekMessage(&msg, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 6);
}

TEST_F(OwnQueueTest, MsgWaitReportsAPendingMessageAfterTheHandles) {
    ScopedHandle a(CreateEvent(true, false));
    ScopedHandle b(CreateEvent(true, false));
    HANDLE handles[] = {a, b};
    const DWORD me = GetCurrentThreadId();

    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 10), WAIT_TIMEOUT);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(PostThreadMessage(me, WM_USER, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0), WAIT_OBJECT_0);
    // A signalled handle has a lower index than the queue.
    ASSERT_TRUE(SetEvent(b));
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(ResetEvent(b));

    // Waiting does not take the message.
    MSG msg{};
    ASSERT_TRUE(PeekMessage(&msg, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER);
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, 0), WAIT_TIMEOUT);
}

TEST_F(OwnQueueTest, MsgWaitRejectsTooManyHandles) {
    ScopedHandle ev(CreateEvent(true, false));
    std::vector<HANDLE> handles(MAXIMUM_WAIT_OBJECTS, ev.get());
    EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), 0), WAIT_FAILED);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, nullptr, 0), WAIT_FAILED);
    // 63 handles plus the queue is the most one wait can hold.
    EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS - 1, handles.data(), 0), WAIT_TIMEOUT);
}

TEST_F(OwnQueueTest, MsgWaitWakesWhenAnotherThreadPosts) {
    const DWORD me = GetCurrentThreadId();
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);
    std::atomic<bool> posted{false};
    std::thread poster([&] { posted.store(PostThreadMessage(me, WM_USER + 9, 3, 4)); });
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, kLongWaitMs), WAIT_OBJECT_0);
    poster.join();
    EXPECT_TRUE(posted.load());
    ASSERT_TRUE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_USER + 9);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.lParam, 4);
}

TEST_F(OwnQueueTest, GetMessageReturnsFalseForQuit) {
    const DWORD me = GetCurrentThreadId();
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);
    ASSERT_TRUE(PostThreadMessage(me, WM_USER, 5, 6));
    ASSERT_TRUE(PostThreadMessage(me, WM_QUIT, 99, 0));
    ASSERT_TRUE(PostThreadMessage(me, WM_USER + 1, 0, 0));

    ASSERT_TRUE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_USER);
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_EQ(msg.lParam, 6);

    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 99u);

    // Messages after the quit are still delivered.
    EXPECT_TRUE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_EQ(WaitForSingleObject(GetMessageQueueEvent(), 0), WAIT_TIMEOUT);
}

}  // namespace
