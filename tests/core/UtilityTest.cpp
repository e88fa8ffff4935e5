#include "core/Utility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/modules/BuffManager.h"
#include "platform/Clock.h"
#include "support/TestEnv.h"

namespace {

constexpr DWORD PackDate(int year, int month, int day) {
    return static_cast<DWORD>(year) << 16 | static_cast<DWORD>(month) << 8 | static_cast<DWORD>(day);
}
constexpr DWORD PackTime(int hour, int minute, int second) {
    return static_cast<DWORD>(hour) << 16 | static_cast<DWORD>(minute) << 8 | static_cast<DWORD>(second);
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class UtilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_log = testenv::UseFreshLogDay();
        ASSERT_TRUE(CBuffManager::GetInstance()->Init());
    }
    void TearDown() override { TestClock::Reset(); }
    std::string m_log;
};

TEST_F(UtilityTest, PackedDateAndTimeAsText) {
    char text[32];
    ASSERT_TRUE(TranslateDWORDTimeToSZ(PackDate(2017, 3, 10), PackTime(9, 5, 7), text, sizeof(text)));
    EXPECT_STREQ(text, "2017-03-10 09:05:07");
    ASSERT_TRUE(TranslateDWORDTimeToSZ(PackDate(999, 12, 31), PackTime(23, 59, 59), text, sizeof(text)));
    EXPECT_STREQ(text, " 999-12-31 23:59:59");
    // Cut to size - 2 characters.
    ASSERT_TRUE(TranslateDWORDTimeToSZ(PackDate(2017, 3, 10), PackTime(9, 5, 7), text, 10));
    EXPECT_STREQ(text, "2017-03-");
    ASSERT_TRUE(TranslateDWORDTimeToSZ(PackDate(2017, 3, 10), PackTime(9, 5, 7), text, 1));
    EXPECT_STREQ(text, "");
    text[0] = 'x';
    EXPECT_FALSE(TranslateDWORDTimeToSZ(0, 0, text, 0));
    EXPECT_EQ(text[0], 'x');
    EXPECT_FALSE(TranslateDWORDTimeToSZ(0, 0, nullptr, 32));

    std::string compact;
    EXPECT_TRUE(FormatDateTimeCompact(PackDate(2017, 3, 10), PackTime(9, 5, 7), compact));
    EXPECT_EQ(compact, "20170310090507");
}

TEST_F(UtilityTest, CreateDirectoryRecursive) {
    const std::string base = testenv::InstallDir() + "/mkdirs";
    EXPECT_TRUE(CreateDirectoryRecursive(testenv::InstallDir().c_str()));  // exists already
    ASSERT_TRUE(CreateDirectoryRecursive((base + "/A/B/C").c_str()));
    EXPECT_TRUE(IsDir(base + "/A/B/C"));
    ASSERT_TRUE(CreateDirectoryRecursive((base + "/A/D/").c_str()));
    EXPECT_TRUE(IsDir(base + "/A/D"));
    EXPECT_EQ(testenv::ReadFile(m_log).find("Cannot Create Dir"), std::string::npos);

    // A file in the way: the directories below it cannot be made.
    testenv::WriteFile(base + "/file", "x");
    EXPECT_FALSE(CreateDirectoryRecursive((base + "/file/sub/dir").c_str()));
    std::string text = testenv::ReadFile(m_log);
    EXPECT_NE(text.find("[CreateDirectoryRecursive]Cannot Create Dir = " + base + "/file/sub Err = "),
              std::string::npos)
        << text;
    EXPECT_FALSE(CreateDirectoryRecursive(""));
    EXPECT_FALSE(CreateDirectoryRecursive(nullptr));
}

TEST_F(UtilityTest, TextConversionsUsePoolBuffers) {
    const size_t before = CBuffManager::GetInstance()->RegisteredCount();
    char* out = nullptr;
    char* gbk = Utf8ToGbk("\xE4\xB8\xAD\xE6\x96\x87 ok", &out);  // "中文 ok"
    ASSERT_NE(gbk, nullptr);
    EXPECT_EQ(out, gbk);
    EXPECT_EQ(std::string(gbk), "\xD6\xD0\xCE\xC4 ok");
    EXPECT_EQ(CBuffManager::GetInstance()->RegisteredCount(), before + 1);

    char* back = nullptr;
    ASSERT_NE(GbkToUtf8(gbk, &back), nullptr);
    EXPECT_EQ(std::string(back), "\xE4\xB8\xAD\xE6\x96\x87 ok");
    EXPECT_TRUE(ReleaseByteBuff(gbk));
    EXPECT_TRUE(ReleaseByteBuff(back));

    std::string s = "unchanged";
    EXPECT_TRUE(Utf8ToGbkString("", s));
    EXPECT_EQ(s, "");
    EXPECT_TRUE(Utf8ToGbkString("bad \xFF byte", s));
    EXPECT_EQ(s, "bad ? byte");
    EXPECT_EQ(CBuffManager::GetInstance()->RegisteredCount(), before);

    EXPECT_EQ(Utf8ToGbk(nullptr, &out), nullptr);
    EXPECT_EQ(Utf8ToGbk("x", nullptr), nullptr);
    EXPECT_FALSE(Utf8ToGbkString(nullptr, s));
}

TEST_F(UtilityTest, ConversionsFailWithoutThePool) {
    CBuffManager::GetInstance()->UnInit();
    std::string s;
    EXPECT_FALSE(Utf8ToGbkString("abc", s));
    ASSERT_TRUE(CBuffManager::GetInstance()->Init());
}

}  // namespace
