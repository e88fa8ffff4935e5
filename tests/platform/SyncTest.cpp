// Events, threads with waitable ends, per-thread message queues, the wait
// functions over all three, and overlapped file writes that signal their
// events on completion.
#include "platform/AsyncFile.h"
#include "support/Prelude.h"

namespace {

// Owns one reference to a kernel object for the length of a test.
struct Closer {
    void operator()(CKernelObject* h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<CKernelObject, Closer>;

constexpr DWORD kLongWaitMs = 5000;

struct GateArgs {
    HANDLE gate;
    DWORD code;
};

// Waits for the gate and returns the code.
DWORD WaitForGate(void* param) {
    auto* args = static_cast<GateArgs*>(param);
    WaitForSingleObject(args->gate, kLongWaitMs);
    return args->code;
}

std::string Text(const MSG& m) {
    return std::to_string(m.message) + "/" + std::to_string(m.wParam) + "/" + std::to_string(m.lParam);
}

// Zero-time waits on h, as "1" (signalled) or "0" (timed out) each.
std::string Polls(HANDLE h, int count) {
    std::string result;
    while (count-- > 0) result += WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? '1' : '0';
    return result;
}

// Events as flags, not counters: a manual one stays set until reset, an auto
// one releases exactly one wait per set, also among many blocked waiters.
TEST(EventTest, ManualAndAutoResetSemantics) {
    Handle manual(CreateEvent(true, false));
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(Polls(manual.get(), 1), "0");
    ASSERT_TRUE(SetEvent(manual.get()) && SetEvent(manual.get()));
    EXPECT_EQ(Polls(manual.get(), 3), "111");
    ASSERT_TRUE(ResetEvent(manual.get()));
    EXPECT_EQ(Polls(manual.get(), 1), "0");
    // Two sets release a single wait, and a reset takes back a pending signal.
    Handle ev(CreateEvent(false, false));
    ASSERT_TRUE(SetEvent(ev.get()) && SetEvent(ev.get()));
    EXPECT_EQ(Polls(ev.get(), 2), "10");
    ASSERT_TRUE(SetEvent(ev.get()) && ResetEvent(ev.get()));
    EXPECT_EQ(Polls(ev.get(), 1), "0");
    EXPECT_EQ(Polls(Handle(CreateEvent(false, true)).get(), 2), "10");  // the initial state is honoured

    constexpr int kWaiters = 8;
    std::atomic<int> started{0};
    std::atomic<int> woken{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            started.fetch_add(1);
            (WaitForSingleObject(ev.get(), kLongWaitMs) == WAIT_OBJECT_0 ? woken : failures).fetch_add(1);
        });
    }
    ASSERT_TRUE(testenv::WaitFor([&] { return started.load() == kWaiters; }, kLongWaitMs));
    for (int k = 1; k <= kWaiters; ++k) {
        ASSERT_TRUE(SetEvent(ev.get()));
        ASSERT_TRUE(testenv::WaitFor([&] { return woken.load() >= k; }, kLongWaitMs)) << "set " << k;
        // The others must stay blocked: give them a short chance to (wrongly) wake.
        if (k == 1) {
            EXPECT_FALSE(testenv::WaitFor([&] { return woken.load() > 1; }, 100));
        }
        EXPECT_EQ(woken.load(), k) << "one set released more than one waiter";
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT) << "a signal was left over";
}

DWORD ExitCode(HANDLE thread) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

struct QueueWorker {
    Handle ready{CreateEvent(true, false)};
    std::vector<MSG> received;
};

// Makes its queue, then collects messages until WM_QUIT.
DWORD RunQueueWorker(void* param) {
    auto* w = static_cast<QueueWorker*>(param);
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);  // creates the queue
    SetEvent(w->ready.get());
    // Never block forever: a lost message fails the test instead of hanging it.
    while (MsgWaitForMultipleObjects(0, nullptr, kLongWaitMs) == WAIT_OBJECT_0) {
        if (!GetMessage(&msg)) return msg.message == WM_QUIT ? 0 : 3000;
        w->received.push_back(msg);
    }
    return 2000;
}

// Posting needs the target to have made its queue (by its first peek).
// Messages from several senders all arrive, each sender's in order with their
// parameters intact, until WM_QUIT ends GetMessage; the queue goes away with
// its thread.
TEST(MessageQueueTest, PostingNeedsALiveQueueAndManySendersLoseNothing) {
    std::string posts;
    std::thread lone([&] {
        posts += PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0) ? '1' : '0';
        MSG msg{};
        EXPECT_FALSE(PeekMessage(&msg, PM_REMOVE));
        posts += PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0) ? '1' : '0';
    });
    lone.join();
    EXPECT_EQ(posts, "01");

    constexpr int kSenders = 4;
    constexpr int kPerSender = 200;
    QueueWorker worker;
    DWORD id = 0;
    Handle thread(CreateThread(RunQueueWorker, &worker, &id));
    ASSERT_EQ(WaitForSingleObject(worker.ready.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(PostThreadMessage(id, WM_USER + 1, static_cast<WPARAM>(-1), -123456789));
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
    ASSERT_TRUE(PostThreadMessage(id, WM_QUIT, 77, 0));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(thread.get()), 0u) << "WM_QUIT was not seen";
    EXPECT_EQ(failedPosts.load(), 0);
    ASSERT_EQ(worker.received.size(), static_cast<size_t>(1 + kSenders * kPerSender));
    EXPECT_EQ(Text(worker.received[0]), Text(MSG{WM_USER + 1, static_cast<WPARAM>(-1), -123456789}));
    std::vector<LPARAM> next(kSenders, 0);
    for (size_t i = 1; i < worker.received.size(); ++i) {
        const MSG& m = worker.received[i];
        ASSERT_LT(m.wParam, static_cast<WPARAM>(kSenders));
        EXPECT_EQ(m.lParam, next[m.wParam]) << "sender " << m.wParam;
        next[m.wParam] = m.lParam + 1;
    }
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

// One wait-any over 62 auto-reset events, a thread end and the message queue
// (the most one wait holds): the lowest signalled index wins and takes only
// the event it returns, a pending message comes after every handle, and a
// time-out really waits.
TEST(WaitTest, WaitAnyOverEventsThreadEndAndMessageQueue) {
    for (MSG stale{}; PeekMessage(&stale, PM_REMOVE);) {  // this thread's queue starts empty
    }
    Handle gate(CreateEvent(true, false));
    GateArgs args{gate.get(), 7};
    std::vector<Handle> owned;
    for (DWORD i = 0; i + 2 < MAXIMUM_WAIT_OBJECTS; ++i) owned.emplace_back(CreateEvent(false, false));
    owned.emplace_back(CreateThread(WaitForGate, &args, nullptr));
    std::vector<HANDLE> h;
    for (const Handle& o : owned) h.push_back(o.get());
    const DWORD n = static_cast<DWORD>(h.size());
    auto waitAny = [&](DWORD timeoutMs) { return WaitForMultipleObjects(n, h.data(), false, timeoutMs); };

    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(waitAny(30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(25)) << "gave up at once";
    EXPECT_EQ(MsgWaitForMultipleObjects(n, h.data(), 10), WAIT_TIMEOUT);
    EXPECT_FALSE(SetEvent(h[n - 1])) << "a thread handle is not an event";
    ASSERT_TRUE(SetEvent(h[40]) && SetEvent(h[17]) && SetEvent(h[61]));
    EXPECT_EQ(waitAny(kLongWaitMs), WAIT_OBJECT_0 + 17);
    EXPECT_EQ(waitAny(0), WAIT_OBJECT_0 + 40);
    EXPECT_EQ(waitAny(0), WAIT_OBJECT_0 + 61);
    EXPECT_EQ(waitAny(0), WAIT_TIMEOUT);
    // The thread's end, once its gate opens, while the wait runs.
    ASSERT_TRUE(SetEvent(gate.get()));
    EXPECT_EQ(waitAny(kLongWaitMs), WAIT_OBJECT_0 + n - 1);
    // A message posted to the calling thread counts after the handles (the
    // thread end wins); neither waiting nor a peek without removal takes it,
    // and the queue's input signal stays set while it is pending.
    ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER, 5, 50));
    EXPECT_EQ(MsgWaitForMultipleObjects(n - 1, h.data(), 0), WAIT_OBJECT_0 + n - 1);
    EXPECT_EQ(MsgWaitForMultipleObjects(n, h.data(), 0), WAIT_OBJECT_0 + n - 1);
    MSG msg{};
    ASSERT_TRUE(PeekMessage(&msg, PM_NOREMOVE));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Polls(GetMessageQueueEvent(), 2), "11");
    ASSERT_TRUE(GetMessage(&msg));
    EXPECT_EQ(Text(msg), Text(MSG{WM_USER, 5, 50}));
    EXPECT_EQ(MsgWaitForMultipleObjects(n - 1, h.data(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(Polls(GetMessageQueueEvent(), 1), "0");
    // One wait holds 1 to 64 handles (63 plus the queue).
    h.insert(h.end(), {h[0], h[0]});
    EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, h.data(), false, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, h.data(), true, 0), WAIT_FAILED);
}

// Wait-all over manual events and 62 thread ends: times out while any is
// missing, succeeds when the last one arrives during the wait, and both kinds
// stay signalled afterwards; a thread handle signals when its procedure
// returns, with the return value as its exit code.
TEST(WaitTest, WaitAllOverManualEventsAndManyThreads) {
    constexpr DWORD kThreads = MAXIMUM_WAIT_OBJECTS - 2;
    Handle a(CreateEvent(true, false));
    Handle b(CreateEvent(true, false));
    Handle gate(CreateEvent(true, false));
    std::vector<GateArgs> args(kThreads);
    std::vector<Handle> threads;
    std::vector<HANDLE> h{a.get(), b.get()};
    for (DWORD i = 0; i < kThreads; ++i) {
        args[i].gate = gate.get();
        args[i].code = 1000 + i;
        threads.emplace_back(CreateThread(WaitForGate, &args[i], nullptr));
        ASSERT_NE(threads.back(), nullptr) << "thread " << i;
        h.push_back(threads.back().get());
    }
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), true, 0), WAIT_TIMEOUT);
    EXPECT_EQ(ExitCode(h[2]), STILL_ACTIVE);
    ASSERT_TRUE(SetEvent(a.get()));
    ASSERT_TRUE(SetEvent(gate.get()));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), true, 20), WAIT_TIMEOUT);
    std::thread setter([&] { SetEvent(b.get()); });
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), true, kLongWaitMs), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), true, 0), WAIT_OBJECT_0);
    for (DWORD i = 0; i < kThreads; ++i) EXPECT_EQ(ExitCode(h[2 + i]), 1000 + i);
    ASSERT_TRUE(ResetEvent(a.get()));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), true, 0), WAIT_TIMEOUT);
}

// Overlapped writes: completion order, results while in flight, cancel.
TEST(AsyncFileTest, WritesCompleteInSubmissionOrderAndCancelDropsWhatHasNotStarted) {
    const std::string path = testenv::InstallDir() + "/async-file.dat";
    std::unique_ptr<CAsyncFile> file(CAsyncFile::Create(path.c_str(), true));
    ASSERT_NE(file, nullptr);
    Handle events[3];
    for (Handle& event : events) event.reset(CreateEvent(true, true));
    // Two writes to the same range: the one submitted last must win.
    OVERLAPPED first{0, 0, 0, 0, events[0].get()};
    OVERLAPPED second{0, 0, 0, 0, events[1].get()};
    AsyncFileTestHook::HoldWrites(true);
    EXPECT_FALSE(file->WriteFile("AAAAA", 5, nullptr, &first));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(file->WriteFile("BBBBB", 5, nullptr, &second));
    DWORD written = 99;
    EXPECT_FALSE(file->GetOverlappedResult(&first, &written, false));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(events[0].get(), 0), WAIT_TIMEOUT);
    AsyncFileTestHook::HoldWrites(false);

    ASSERT_TRUE(file->GetOverlappedResult(&second, &written, true));
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(file->GetOverlappedResult(&first, &written, false)) << "the earlier write completed later";
    EXPECT_EQ(WaitForSingleObject(events[0].get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(testenv::ReadFile(path), "BBBBB");

    AsyncFileTestHook::HoldWrites(true);
    OVERLAPPED dropped{0, 0, 5, 0, events[2].get()};
    EXPECT_FALSE(file->WriteFile("CCCCC", 5, nullptr, &dropped));
    EXPECT_TRUE(file->CancelIo());
    AsyncFileTestHook::HoldWrites(false);
    EXPECT_EQ(WaitForSingleObject(events[2].get(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(file->GetOverlappedResult(&dropped, &written, true));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(written, 0u);
    file.reset();
    EXPECT_EQ(testenv::ReadFile(path), "BBBBB");
}

}  // namespace
