#include "core/modules/BuffManager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "support/TestEnv.h"

namespace {

class BuffManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    }
    void TearDown() override { TestClock::Reset(); }
    std::string m_log;
};

TEST_F(BuffManagerTest, BuffersAreZeroFilledAndRegistered) {
    CBuffManager* pool = CBuffManager::GetInstance();
    const size_t before = pool->RegisteredCount();
    EXPECT_EQ(AllocBuff(0), nullptr);
    EXPECT_EQ(pool->RegisteredCount(), before);

    BYTE* buffer = AllocBuff(8192);
    ASSERT_NE(buffer, nullptr);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(pool->RegisteredCount(), before + 1);
    EXPECT_TRUE(ReleaseByteBuff(buffer));
    EXPECT_EQ(pool->RegisteredCount(), before);
    EXPECT_FALSE(ReleaseByteBuff(nullptr));
}

TEST_F(BuffManagerTest, DoubleReleaseWarnsAndFreesNothing) {
    BYTE* buffer = AllocBuff(64);
    ASSERT_NE(buffer, nullptr);
    ASSERT_TRUE(ReleaseByteBuff(buffer));
    EXPECT_FALSE(ReleaseByteBuff(buffer));  // under the sanitizers a second free would abort here
    int onStack = 0;
    EXPECT_FALSE(ReleaseByteBuff(&onStack));
    char expected[64];
    std::snprintf(expected, sizeof(expected), "[ReleaseByteBuff] 0x%llx Not In BuffManager\n",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(buffer)));
    std::string text = testenv::ReadFile(m_log);
    EXPECT_NE(text.find(std::string("[WARN][TID=")), std::string::npos);
    EXPECT_NE(text.find(std::string("[CBuffManager]") + expected), std::string::npos) << text;
}

TEST_F(BuffManagerTest, NothingAfterUnInit) {
    BYTE* kept = AllocBuff(16);
    ASSERT_NE(kept, nullptr);
    CBuffManager::GetInstance()->UnInit();
    EXPECT_EQ(AllocBuff(16), nullptr);
    EXPECT_FALSE(ReleaseByteBuff(kept));
    ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    EXPECT_TRUE(ReleaseByteBuff(kept));  // still registered: freed once the pool is back
}

TEST_F(BuffManagerTest, ThreadsAllocateAndReleaseEachOthersBuffers) {
    CBuffManager* pool = CBuffManager::GetInstance();
    const size_t before = pool->RegisteredCount();
    constexpr int kPerThread = 2000;
    std::vector<std::vector<BYTE*>> made(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                BYTE* b = AllocBuff(static_cast<DWORD>(1 + (i % 512)));
                if (b != nullptr) b[0] = static_cast<BYTE>(t);
                made[t].push_back(b);
            }
        });
    }
    for (auto& th : threads) th.join();
    threads.clear();
    for (int t = 0; t < 4; ++t) {
        // Each thread releases the buffers another one allocated.
        threads.emplace_back([&, t] {
            for (BYTE* b : made[(t + 1) % 4]) EXPECT_TRUE(ReleaseByteBuff(b));
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(pool->RegisteredCount(), before);
}

}  // namespace
