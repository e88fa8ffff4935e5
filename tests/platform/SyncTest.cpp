// Events, the wait functions and critical sections.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "support/TestEnv.h"

namespace {

// Owns one reference to a kernel object for the length of a test.
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

constexpr DWORD kLongWaitMs = 5000;

// ---------------------------------------------------------------------------
// Events

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    ScopedHandle ev(CreateEvent(true, false));
    ASSERT_NE(ev.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(ev));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "wait " << i;

    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    // Several sets are cleared by one reset.
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    // Resetting an event that is not signalled succeeds and changes nothing.
    EXPECT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(EventTest, InitialStateIsHonoured) {
    ScopedHandle manualOn(CreateEvent(true, true));
    ScopedHandle autoOn(CreateEvent(false, true));
    ScopedHandle autoOff(CreateEvent(false, false));
    ASSERT_NE(manualOn.get(), nullptr);
    ASSERT_NE(autoOn.get(), nullptr);
    ASSERT_NE(autoOff.get(), nullptr);

    EXPECT_EQ(WaitForSingleObject(manualOn, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manualOn, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoOn, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoOn, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(autoOff, 0), WAIT_TIMEOUT);

    auto* ev = dynamic_cast<CEvent*>(manualOn.get());
    ASSERT_NE(ev, nullptr);
    EXPECT_TRUE(ev->IsManualReset());
    EXPECT_FALSE(dynamic_cast<CEvent*>(autoOn.get())->IsManualReset());
}

TEST(EventTest, AutoResetIsConsumedByOneWait) {
    ScopedHandle ev(CreateEvent(false, false));
    ASSERT_NE(ev.get(), nullptr);

    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    // The event is a flag, not a counter: two sets with nobody waiting
    // release a single wait.
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    // Reset takes back a pending signal.
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(EventTest, AutoResetReleasesExactlyOneOfTwoWaitersPerSet) {
    ScopedHandle ev(CreateEvent(false, false));
    ASSERT_NE(ev.get(), nullptr);
    std::atomic<int> started{0};
    std::atomic<int> woken{0};
    std::atomic<int> failures{0};

    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            started.fetch_add(1);
            DWORD rc = WaitForSingleObject(ev, kLongWaitMs);
            if (rc == WAIT_OBJECT_0) {
                woken.fetch_add(1);
            } else {
                failures.fetch_add(1);
            }
        });
    }
    ASSERT_TRUE(testenv::WaitFor([&] { return started.load() == 2; }, kLongWaitMs));

    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(testenv::WaitFor([&] { return woken.load() >= 1; }, kLongWaitMs));
    // The second waiter must stay blocked: give it a short chance to (wrongly) wake.
    EXPECT_FALSE(testenv::WaitFor([&] { return woken.load() >= 2; }, 100));
    EXPECT_EQ(woken.load(), 1);

    ASSERT_TRUE(SetEvent(ev));
    EXPECT_TRUE(testenv::WaitFor([&] { return woken.load() == 2; }, kLongWaitMs));
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(failures.load(), 0);
    // Both signals were consumed by the waiters.
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(EventTest, AutoResetHandsOutOneSignalPerSetAmongManyWaiters) {
    constexpr int kWaiters = 8;
    ScopedHandle ev(CreateEvent(false, false));
    ASSERT_NE(ev.get(), nullptr);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(ev, kLongWaitMs) == WAIT_OBJECT_0) woken.fetch_add(1);
        });
    }
    for (int k = 1; k <= kWaiters; ++k) {
        ASSERT_TRUE(SetEvent(ev));
        ASSERT_TRUE(testenv::WaitFor([&] { return woken.load() >= k; }, kLongWaitMs)) << "set " << k;
        EXPECT_EQ(woken.load(), k) << "one set released more than one waiter";
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), kWaiters);
}

TEST(EventTest, SetFromAnotherThreadWakesABlockedWaiter) {
    ScopedHandle ev(CreateEvent(true, false));
    ASSERT_NE(ev.get(), nullptr);
    std::thread setter([&] { SetEvent(ev); });
    EXPECT_EQ(WaitForSingleObject(ev, kLongWaitMs), WAIT_OBJECT_0);
    setter.join();
}

TEST(EventTest, EventCallsRejectNullAndNonEventHandles) {
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));

    ScopedHandle go(CreateEvent(true, false));
    ASSERT_NE(go.get(), nullptr);
    ScopedHandle thread(CreateThread(
        [](void* arg) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(arg), kLongWaitMs); }, go.get(),
        nullptr));
    ASSERT_NE(thread.get(), nullptr);
    // A thread handle is waitable but cannot be set or reset like an event.
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_FALSE(ResetEvent(thread));
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
}

// ---------------------------------------------------------------------------
// Handles

TEST(HandleTest, CloseHandleRejectsNull) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(HandleTest, ExtraReferenceKeepsTheObjectAlive) {
    HANDLE ev = CreateEvent(true, false);
    ASSERT_NE(ev, nullptr);
    ev->AddRef();
    EXPECT_TRUE(CloseHandle(ev));
    // Still usable through the remaining reference.
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(ev));
}

// ---------------------------------------------------------------------------
// Wait functions

TEST(WaitTest, WaitAnyReturnsLowestSignalledIndex) {
    std::vector<ScopedHandle> owned;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 5; ++i) {
        owned.emplace_back(CreateEvent(true, false));
        ASSERT_NE(owned.back().get(), nullptr);
        handles.push_back(owned.back().get());
    }
    EXPECT_EQ(WaitForMultipleObjects(5, handles.data(), false, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(handles[3]));
    ASSERT_TRUE(SetEvent(handles[1]));
    EXPECT_EQ(WaitForMultipleObjects(5, handles.data(), false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(5, handles.data(), false, kLongWaitMs), WAIT_OBJECT_0 + 1);

    ASSERT_TRUE(ResetEvent(handles[1]));
    EXPECT_EQ(WaitForMultipleObjects(5, handles.data(), false, 0), WAIT_OBJECT_0 + 3);

    ASSERT_TRUE(ResetEvent(handles[3]));
    ASSERT_TRUE(SetEvent(handles[4]));
    EXPECT_EQ(WaitForMultipleObjects(5, handles.data(), false, 0), WAIT_OBJECT_0 + 4);
    ASSERT_TRUE(SetEvent(handles[0]));
    EXPECT_EQ(WaitForMultipleObjects(5, handles.data(), false, 0), WAIT_OBJECT_0 + 0);
}

TEST(WaitTest, WaitAnyConsumesOnlyTheAutoResetEventItReturns) {
    ScopedHandle a(CreateEvent(false, false));
    ScopedHandle b(CreateEvent(false, false));
    ScopedHandle c(CreateEvent(false, false));
    HANDLE handles[] = {a, b, c};
    ASSERT_TRUE(SetEvent(c));
    ASSERT_TRUE(SetEvent(a));

    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_OBJECT_0 + 0);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_TIMEOUT);
}

TEST(WaitTest, WaitAnyAcrossSixtyFourHandles) {
    std::vector<ScopedHandle> owned;
    std::vector<HANDLE> handles;
    for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) {
        owned.emplace_back(CreateEvent(false, false));
        ASSERT_NE(owned.back().get(), nullptr);
        handles.push_back(owned.back().get());
    }
    ASSERT_TRUE(SetEvent(handles[63]));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), false, 0), WAIT_OBJECT_0 + 63);

    ASSERT_TRUE(SetEvent(handles[40]));
    ASSERT_TRUE(SetEvent(handles[17]));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), false, 0), WAIT_OBJECT_0 + 17);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), false, 0), WAIT_OBJECT_0 + 40);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), false, 0), WAIT_TIMEOUT);
}

TEST(WaitTest, TimeOutReturns258AfterWaiting) {
    ScopedHandle ev(CreateEvent(true, false));
    ASSERT_NE(ev.get(), nullptr);
    EXPECT_EQ(WAIT_TIMEOUT, 258u);

    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 30), WAIT_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - before;
    // It must really have waited, not given up at once.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 25);

    HANDLE both[] = {ev, ev};
    EXPECT_EQ(WaitForMultipleObjects(2, both, false, 10), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(2, both, true, 10), WAIT_TIMEOUT);
}

TEST(WaitTest, BadArgumentsFail) {
    ScopedHandle ev(CreateEvent(true, true));
    ASSERT_NE(ev.get(), nullptr);
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, ev.get());

    EXPECT_EQ(WaitForMultipleObjects(0, many.data(), false, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, many.data(), true, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), false, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), true, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, false, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(nullptr, INFINITE), WAIT_FAILED);

    // A null handle anywhere fails the whole wait, even after a signalled one.
    HANDLE withNull[] = {ev, nullptr};
    EXPECT_EQ(WaitForMultipleObjects(2, withNull, false, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(2, withNull, true, 0), WAIT_FAILED);

    // The full 64 are accepted.
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), true, 0), WAIT_OBJECT_0);
}

TEST(WaitTest, WaitAllOverManualEvents) {
    ScopedHandle a(CreateEvent(true, false));
    ScopedHandle b(CreateEvent(true, false));
    ScopedHandle c(CreateEvent(true, false));
    HANDLE handles[] = {a, b, c};

    EXPECT_EQ(WaitForMultipleObjects(3, handles, true, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(a));
    ASSERT_TRUE(SetEvent(c));
    EXPECT_EQ(WaitForMultipleObjects(3, handles, true, 20), WAIT_TIMEOUT);

    // The missing one arrives from another thread while the wait runs.
    std::thread setter([&] { SetEvent(b); });
    EXPECT_EQ(WaitForMultipleObjects(3, handles, true, kLongWaitMs), WAIT_OBJECT_0);
    setter.join();

    // Manual events stay signalled after a wait-all.
    EXPECT_EQ(WaitForMultipleObjects(3, handles, true, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(a));
    EXPECT_EQ(WaitForMultipleObjects(3, handles, true, 0), WAIT_TIMEOUT);
}

struct GateArgs {
    HANDLE gate;
    DWORD code;
};

DWORD WaitForGate(void* param) {
    auto* args = static_cast<GateArgs*>(param);
    WaitForSingleObject(args->gate, kLongWaitMs);
    return args->code;
}

TEST(WaitTest, WaitAllOverThreadHandles) {
    ScopedHandle gate(CreateEvent(true, false));
    ASSERT_NE(gate.get(), nullptr);
    std::vector<GateArgs> args(4);
    std::vector<ScopedHandle> threads;
    std::vector<HANDLE> handles;
    for (size_t i = 0; i < args.size(); ++i) {
        args[i] = GateArgs{gate, static_cast<DWORD>(10 + i)};
        threads.emplace_back(CreateThread(WaitForGate, &args[i], nullptr));
        ASSERT_NE(threads.back().get(), nullptr);
        handles.push_back(threads.back().get());
    }
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), true, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), false, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(gate));
    ASSERT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), true, kLongWaitMs),
              WAIT_OBJECT_0);
    for (size_t i = 0; i < handles.size(); ++i) {
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(handles[i], &code));
        EXPECT_EQ(code, 10 + i);
    }
    // Thread ends stay signalled.
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), true, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), false, 0), WAIT_OBJECT_0);
}

TEST(WaitTest, WaitAnyMixesEventsAndThreads) {
    ScopedHandle gate(CreateEvent(true, false));
    ScopedHandle other(CreateEvent(true, false));
    GateArgs args{gate, 7};
    ScopedHandle thread(CreateThread(WaitForGate, &args, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    HANDLE handles[] = {other, thread};

    EXPECT_EQ(WaitForMultipleObjects(2, handles, false, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(gate));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, false, kLongWaitMs), WAIT_OBJECT_0 + 1);
}

// ---------------------------------------------------------------------------
// Critical sections

class CriticalSectionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&m_cs, kCsSpinCount)); }
    void TearDown() override { DeleteCriticalSection(&m_cs); }

    CRITICAL_SECTION m_cs;
};

TEST_F(CriticalSectionTest, NullIsRejected) { EXPECT_FALSE(InitializeCriticalSectionAndSpinCount(nullptr, 0)); }

TEST_F(CriticalSectionTest, IsRecursiveAndHeldUntilTheLastLeave) {
    EnterCriticalSection(&m_cs);
    EnterCriticalSection(&m_cs);  // would deadlock if not recursive
    EnterCriticalSection(&m_cs);

    std::atomic<bool> otherEntered{false};
    std::thread other([&] {
        EnterCriticalSection(&m_cs);
        otherEntered.store(true);
        LeaveCriticalSection(&m_cs);
    });

    EXPECT_FALSE(testenv::WaitFor([&] { return otherEntered.load(); }, 50));
    LeaveCriticalSection(&m_cs);
    LeaveCriticalSection(&m_cs);
    // Still held once.
    EXPECT_FALSE(testenv::WaitFor([&] { return otherEntered.load(); }, 50));
    LeaveCriticalSection(&m_cs);
    EXPECT_TRUE(testenv::WaitFor([&] { return otherEntered.load(); }, kLongWaitMs));
    other.join();
}

TEST_F(CriticalSectionTest, ExcludesOtherThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;  // deliberately not atomic: the section protects it
    int inside = 0;
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&m_cs);
                if (++inside != 1) overlaps.fetch_add(1);
                EnterCriticalSection(&m_cs);  // nested entry on the same thread
                ++counter;
                LeaveCriticalSection(&m_cs);
                --inside;
                LeaveCriticalSection(&m_cs);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
