#include "node/RingCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "core/modules/BuffManager.h"
#include "support/TestEnv.h"

namespace {

class RingCacheTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CBuffManager::GetInstance()->Init()); }

    // Writes n bytes of value v (the writer's side).
    static void Write(CRingCache& ring, DWORD n, BYTE v = 0x5A) {
        DWORD free = 0;
        ASSERT_TRUE(ring.GetCanWriteSize(&free));
        ASSERT_GE(free, n);
        std::memset(ring.GetWritePos(), v, n);
        ring.WriteCommit(n);
    }
    static void Read(CRingCache& ring, DWORD n) {
        DWORD readable = 0;
        ASSERT_TRUE(ring.GetCanReadSize(&readable));
        ASSERT_GE(readable, n);
        ring.ReadCommit(n);
    }
};

TEST_F(RingCacheTest, FreshRingFreeSpace) {
    CRingCache big;
    ASSERT_TRUE(big.Init(10000));
    DWORD free = 0;
    EXPECT_TRUE(big.GetCanWriteSize(&free));
    EXPECT_EQ(free, 9999u);
    DWORD readable = 7;
    EXPECT_FALSE(big.GetCanReadSize(&readable));
    EXPECT_EQ(readable, 0u);

    CRingCache small;
    ASSERT_TRUE(small.Init(2048));
    EXPECT_FALSE(small.GetCanWriteSize(&free));
    EXPECT_EQ(free, 0u);  // below the minimum and nowhere to wrap: no write is possible
    CRingCache tiny;
    ASSERT_TRUE(tiny.Init(2049));
    EXPECT_TRUE(tiny.GetCanWriteSize(&free));
    EXPECT_EQ(free, 2048u);
}

TEST_F(RingCacheTest, UninitialisedRingRefusesEverything) {
    CRingCache ring;
    DWORD n = 99;
    EXPECT_FALSE(ring.GetCanWriteSize(&n));
    EXPECT_FALSE(ring.GetCanReadSize(&n));
    EXPECT_EQ(n, 99u);
    ring.WriteCommit(5);
    ring.ReadCommit(5);
    EXPECT_EQ(ring.GetWritePos(), nullptr);
    ASSERT_TRUE(ring.Init(4096));
    ASSERT_TRUE(ring.UnInit());
    EXPECT_FALSE(ring.GetCanWriteSize(&n));
}

TEST_F(RingCacheTest, ZeroCommitsChangeNothingAndSetNoEvent) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(8192));
    // The not-full event starts signalled, the data-ready event does not.
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_OBJECT_0);
    BYTE* before = ring.GetWritePos();
    ring.WriteCommit(0);
    ring.ReadCommit(0);
    EXPECT_EQ(ring.GetWritePos(), before);
    EXPECT_EQ(WaitForSingleObject(ring.GetDataReadyEvent(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_TIMEOUT);  // consumed above
    Write(ring, 10);
    EXPECT_EQ(WaitForSingleObject(ring.GetDataReadyEvent(), 0), WAIT_OBJECT_0);
    Read(ring, 10);
    EXPECT_EQ(WaitForSingleObject(ring.GetNotFullEvent(), 0), WAIT_OBJECT_0);
}

TEST_F(RingCacheTest, WriterWrapsEarlyWhenReaderIsPastStart) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    Write(ring, 8000);
    DWORD free = 0;
    // 1,999 bytes left at the end, reader still at the start: no wrap.
    EXPECT_FALSE(ring.GetCanWriteSize(&free));
    EXPECT_EQ(free, 0u);
    EXPECT_EQ(ring.DataEnd(), ring.RingEnd());

    Read(ring, 5000);
    EXPECT_TRUE(ring.GetCanWriteSize(&free));
    EXPECT_EQ(ring.GetWritePos(), ring.RingStart());
    EXPECT_EQ(ring.DataEnd(), ring.RingStart() + 8000);
    EXPECT_EQ(free, 4999u);  // up to the reader, minus the one-byte gap
}

TEST_F(RingCacheTest, ShortTailIsMovedInFrontOfTheRingStart) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    // Fill with a counting pattern so that the joined block can be checked.
    DWORD free = 0;
    ASSERT_TRUE(ring.GetCanWriteSize(&free));
    for (DWORD i = 0; i < 8000; ++i) ring.GetWritePos()[i] = static_cast<BYTE>(i);
    ring.WriteCommit(8000);
    Read(ring, 7900);  // 100 unread bytes before the wrap point
    ASSERT_TRUE(ring.GetCanWriteSize(&free));
    for (DWORD i = 0; i < 500; ++i) ring.GetWritePos()[i] = static_cast<BYTE>(8000 + i);
    ring.WriteCommit(500);

    DWORD readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(&readable));
    EXPECT_EQ(readable, 600u);
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart() - 100);
    EXPECT_EQ(ring.DataStart(), ring.RingStart() - 100);
    for (DWORD i = 0; i < 600; ++i) ASSERT_EQ(ring.GetReadPos()[i], static_cast<BYTE>(7900 + i)) << i;
    ring.ReadCommit(600);
    EXPECT_FALSE(ring.GetCanReadSize(&readable));
}

TEST_F(RingCacheTest, LongTailIsReadInPlaceThenReaderWrapsAtTheMark) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(10000));
    Write(ring, 8000);
    Read(ring, 5000);  // 3,000 unread bytes before the wrap point
    Write(ring, 700);  // wraps
    DWORD readable = 0;
    ASSERT_TRUE(ring.GetCanReadSize(&readable));
    EXPECT_EQ(readable, 3000u);
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart() + 5000);  // nothing moved
    ring.ReadCommit(3000);
    // Exactly at the wrap point: the next read continues at the ring start.
    ASSERT_TRUE(ring.GetCanReadSize(&readable));
    EXPECT_EQ(readable, 700u);
    EXPECT_EQ(ring.GetReadPos(), ring.RingStart());
    EXPECT_EQ(ring.DataStart(), ring.RingStart());
    EXPECT_EQ(ring.DataEnd(), ring.RingEnd());
}

TEST_F(RingCacheTest, WriterNeverReachesTheReader) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(6000));
    Write(ring, 3000);
    Read(ring, 2000);
    DWORD free = 0;
    ASSERT_TRUE(ring.GetCanWriteSize(&free));  // 2,999 left at the end
    Write(ring, 2999);
    // Wrapped; only 1,999 bytes up to the reader (one byte stays between).
    EXPECT_FALSE(ring.GetCanWriteSize(&free));
    EXPECT_EQ(free, 1999u);
    EXPECT_EQ(ring.GetWritePos(), ring.RingStart());
    Read(ring, 1000);
    EXPECT_TRUE(ring.GetCanWriteSize(&free));
    EXPECT_EQ(free, 2999u);
}

// One writer and one reader thread move millions of bytes in random block
// sizes; the reader checks every byte of a running counter.
TEST_F(RingCacheTest, TwoThreadStress) {
    CRingCache ring;
    ASSERT_TRUE(ring.Init(64 * 1024));
    constexpr std::uint64_t kTotal = 24ull * 1024 * 1024;
    std::thread writer([&] {
        std::mt19937 rng(7);
        std::uint64_t sent = 0;
        while (sent < kTotal) {
            DWORD free = 0;
            if (!ring.GetCanWriteSize(&free)) {
                WaitForSingleObject(ring.GetNotFullEvent(), 100);
                continue;
            }
            DWORD n = std::min<DWORD>(free, 1 + rng() % 9000);
            n = static_cast<DWORD>(std::min<std::uint64_t>(n, kTotal - sent));
            BYTE* p = ring.GetWritePos();
            for (DWORD i = 0; i < n; ++i) p[i] = static_cast<BYTE>((sent + i) * 131 >> 3);
            ring.WriteCommit(n);
            sent += n;
        }
    });
    std::mt19937 rng(11);
    std::uint64_t received = 0;
    std::uint64_t errors = 0;
    while (received < kTotal) {
        DWORD readable = 0;
        if (!ring.GetCanReadSize(&readable)) {
            WaitForSingleObject(ring.GetDataReadyEvent(), 100);
            continue;
        }
        DWORD n = std::min<DWORD>(readable, 1 + rng() % 5000);
        const BYTE* p = ring.GetReadPos();
        for (DWORD i = 0; i < n; ++i) {
            if (p[i] != static_cast<BYTE>((received + i) * 131 >> 3)) ++errors;
        }
        ring.ReadCommit(n);
        received += n;
    }
    writer.join();
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(received, kTotal);
}

}  // namespace
