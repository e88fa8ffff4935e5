// The byte ring between a node connection's reader and its record task.
#include "node/RingCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "core/modules/BuffManager.h"

namespace {

class RingCacheTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CBuffManager::GetInstance()->Init()); }
    // What the Get calls return and report, as "true 9999".
    static std::string CanWrite(CRingCache& ring, DWORD n = 7) { return Text(ring.GetCanWriteSize(&n), n); }
    static std::string CanRead(CRingCache& ring, DWORD n = 7) { return Text(ring.GetCanReadSize(&n), n); }
    // n by reference: it is read after the Get call has filled it in.
    static std::string Text(bool ok, const DWORD& n) { return (ok ? "true " : "false ") + std::to_string(n); }
    // Writes n bytes of a counting pattern that starts at `first`.
    static void Write(CRingCache& ring, DWORD n, DWORD first = 0) {
        DWORD free = 0;
        ASSERT_TRUE(ring.GetCanWriteSize(&free));
        ASSERT_GE(free, n);
        for (DWORD i = 0; i < n; ++i) ring.GetWritePos()[i] = static_cast<BYTE>(first + i);
        ring.WriteCommit(n);
    }
    static void Read(CRingCache& ring, DWORD n) {
        DWORD readable = 0;
        ASSERT_TRUE(ring.GetCanReadSize(&readable));
        ASSERT_GE(readable, n);
        ring.ReadCommit(n);
    }
};

// A fresh ring offers its size less the one-byte gap. With fewer than 2,048
// bytes left at the end the writer gets nothing until the reader has left the
// start, then wraps early and marks the data end there; a long unread tail
// is read in place, and the reader continues at the ring start at the mark.
TEST_F(RingCacheTest, WriterWrapsEarlyAndReaderFollowsAtTheMark) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    EXPECT_EQ(CanWrite(ring), "true 9999");  // fresh: the size less the one-byte gap
    EXPECT_EQ(CanRead(ring), "false 0");
    Write(ring, 8000);
    EXPECT_EQ(CanWrite(ring), "false 0");  // 1,999 bytes left, reader still at the start
    EXPECT_EQ(ring.DataEnd(), ring.RingEnd());
    Read(ring, 5000);
    EXPECT_EQ(CanWrite(ring), "true 4999");  // up to the reader, minus the one-byte gap: never onto it
    EXPECT_EQ(ring.GetWritePos(), ring.RingStart());
    EXPECT_EQ(ring.DataEnd(), ring.RingStart() + 8000);

    Write(ring, 700, 100);
    EXPECT_EQ(CanWrite(ring), "true 4299");  // behind the reader too, one byte short of it
    EXPECT_EQ(CanRead(ring), "true 3000");
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart() + 5000);  // nothing moved
    ring.ReadCommit(3000);
    EXPECT_EQ(CanRead(ring), "true 700");
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart());
    EXPECT_EQ(ring.GetReadPos()[0], 100);
    EXPECT_EQ(ring.DataStart(), ring.RingStart());
    EXPECT_EQ(ring.DataEnd(), ring.RingEnd());
}

// An unread tail shorter than 2,048 bytes is moved in front of the ring start
// so that it joins the wrapped data in one contiguous block. A commit sets the
// other side's event only when that side armed it, and arming fails when the
// other side committed after the count the waiter took.
TEST_F(RingCacheTest, ShortTailIsMovedInFrontOfTheRingStartAndArmedCommitsSetTheEvents) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_OBJECT_0);
    ring.WriteCommit(0);
    ring.ReadCommit(0);
    EXPECT_EQ(ring.GetWritePos(), ring.RingStart());
    Write(ring, 8000);
    EXPECT_EQ(WaitForSingleObject(ring.GetDataReadyEvent(), 0), WAIT_TIMEOUT);  // nobody armed it
    const std::uint64_t read = ring.ReadCount();
    Read(ring, 7900);
    EXPECT_FALSE(ring.ArmNotFull(read));  // 7,900 bytes were read after the count
    EXPECT_TRUE(ring.ArmNotFull(ring.ReadCount()));
    const std::uint64_t written = ring.WriteCount();
    EXPECT_TRUE(ring.ArmDataReady(written));
    Write(ring, 500, 8000);
    EXPECT_EQ(WaitForSingleObject(ring.GetDataReadyEvent(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(ring.ArmDataReady(written));
    ring.ReadCommit(0);
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_TIMEOUT);  // zero bytes: no commit
    EXPECT_EQ(CanRead(ring), "true 600");
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart() - 100);
    EXPECT_EQ(ring.DataStart(), ring.RingStart() - 100);
    for (DWORD i = 0; i < 600; ++i) ASSERT_EQ(ring.GetReadPos()[i], static_cast<BYTE>(7900 + i)) << i;
    ring.ReadCommit(600);
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(CanRead(ring), "false 0");
}

// One writer and one reader thread move millions of bytes in random block
// sizes, waiting on the ring's events; the reader checks every byte of a
// running counter.
TEST_F(RingCacheTest, TwoThreadStress) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(64 * 1024));
    constexpr std::uint64_t kTotal = 24ull * 1024 * 1024;
    auto pattern = [](std::uint64_t at) { return static_cast<BYTE>(at * 131 >> 3); };
    std::atomic<int> lostWakeUps{0};  // a wait that ran out: a commit did not set an armed event
    std::thread writer([&] {
        std::mt19937 rng(7);
        for (std::uint64_t sent = 0; sent < kTotal;) {
            DWORD free = 0;
            const std::uint64_t seen = ring.ReadCount();
            if (!ring.GetCanWriteSize(&free)) {
                if (ring.ArmNotFull(seen) && WaitForSingleObject(ring.GetNotFullEvent(), 5000) != WAIT_OBJECT_0)
                    ++lostWakeUps;
                continue;
            }
            const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>({free, 1 + rng() % 9000, kTotal - sent}));
            for (DWORD i = 0; i < n; ++i) ring.GetWritePos()[i] = pattern(sent + i);
            ring.WriteCommit(n);
            sent += n;
        }
    });
    std::mt19937 rng(11);
    std::uint64_t received = 0;
    std::uint64_t errors = 0;
    while (received < kTotal) {
        DWORD readable = 0;
        const std::uint64_t seen = ring.WriteCount();
        if (!ring.GetCanReadSize(&readable)) {
            if (ring.ArmDataReady(seen) && WaitForSingleObject(ring.GetDataReadyEvent(), 5000) != WAIT_OBJECT_0)
                ++lostWakeUps;
            continue;
        }
        const DWORD n = std::min<DWORD>(readable, 1 + rng() % 5000);
        for (DWORD i = 0; i < n; ++i) errors += ring.GetReadPos()[i] != pattern(received + i) ? 1 : 0;
        ring.ReadCommit(n);
        received += n;
    }
    writer.join();
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(lostWakeUps.load(), 0);
}

}  // namespace
