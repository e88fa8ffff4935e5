// The registered buffer pool, and the utilities built on it: pooled text
// conversions and packed date text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>

#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "support/TestEnv.h"

namespace {

// A packed date (year, month, day) or time (hour, minute, second) word.
constexpr DWORD Pack(DWORD high, DWORD middle, DWORD low) { return high << 16 | middle << 8 | low; }

class BuffManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    }
    void TearDown() override { TestClock::Reset(); }
    std::string m_log;
};
using UtilityTest = BuffManagerTest;

// Buffers come zero-filled and registered; the release of an address the pool
// does not hold (a second release, a stack address) returns false with a
// warning instead of freeing it.
TEST_F(BuffManagerTest, UnknownAddressesAreReportedNotFreed) {
    CBuffManager* pool = CBuffManager::GetInstance();
    const size_t before = pool->RegisteredCount();
    EXPECT_EQ(AllocBuff(0), nullptr);
    BYTE* buffer = AllocBuff(8192);
    ASSERT_NE(buffer, nullptr);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(pool->RegisteredCount(), before + 1);
    EXPECT_TRUE(ReleaseByteBuff(buffer));
    EXPECT_EQ(pool->RegisteredCount(), before);

    EXPECT_FALSE(ReleaseByteBuff(buffer));  // under the sanitizers a second free would abort here
    int onStack = 0;
    EXPECT_FALSE(ReleaseByteBuff(&onStack));
    char expected[128];
    std::snprintf(expected, sizeof(expected),
                  "[WARN][TID=%04u][CBuffManager][ReleaseByteBuff] 0x%llx Not In BuffManager\n", GetCurrentThreadId(),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(buffer)));
    EXPECT_NE(testenv::ReadFile(m_log).find(expected), std::string::npos) << testenv::ReadFile(m_log);
}

// A record's packed date and time as text: the year padded to four places,
// the text cut to the buffer (size - 2 characters), nothing written to none.
TEST_F(UtilityTest, PackedDateAndTimeAsText) {
    char text[32];
    for (const auto& [date, size, expected] :
         {std::tuple{Pack(2017, 3, 10), 32u, "2017-03-10 09:05:07"}, {Pack(999, 3, 10), 32u, " 999-03-10 09:05:07"},
          {Pack(2017, 3, 10), 10u, "2017-03-"}, {Pack(2017, 3, 10), 1u, ""}}) {
        ASSERT_TRUE(TranslateDWORDTimeToSZ(date, Pack(9, 5, 7), text, size));
        EXPECT_STREQ(text, expected);
    }
    text[0] = 'x';
    EXPECT_FALSE(TranslateDWORDTimeToSZ(0, 0, text, 0));
    EXPECT_EQ(text[0], 'x');
    std::string compact;
    EXPECT_TRUE(FormatDateTimeCompact(Pack(2017, 3, 10), Pack(9, 5, 7), compact));
    EXPECT_EQ(compact, "20170310090507");
}

// The conversions hand out pool buffers (released by the caller) or release
// them themselves; without the pool there is nothing to convert into.
TEST_F(UtilityTest, TextConversionsUsePoolBuffers) {
    const size_t before = CBuffManager::GetInstance()->RegisteredCount();
    char* out = nullptr;
    char* gbk = Utf8ToGbk("\xE4\xB8\xAD\xE6\x96\x87 ok", &out);  // "中文 ok"
    EXPECT_EQ(out, gbk);
    EXPECT_EQ(std::string(gbk), "\xD6\xD0\xCE\xC4 ok");
    EXPECT_EQ(CBuffManager::GetInstance()->RegisteredCount(), before + 1);
    EXPECT_TRUE(ReleaseByteBuff(gbk));

    std::string s = "unchanged";
    EXPECT_TRUE(Utf8ToGbkString("bad \xFF byte", s));
    EXPECT_EQ(s, "bad ? byte");
    EXPECT_EQ(CBuffManager::GetInstance()->RegisteredCount(), before);
    CBuffManager::GetInstance()->UnInit();
    EXPECT_FALSE(Utf8ToGbkString("abc", s));
    ASSERT_TRUE(CBuffManager::GetInstance()->Init());
}

}  // namespace
