// Conversion between UTF-8 and GBK.
#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

namespace {

std::string ToGbk(const std::string& utf8) {
    std::string out = "stale";
    EXPECT_TRUE(ConvertUtf8ToGbk(utf8.data(), utf8.size(), &out));
    return out;
}

std::string ToUtf8(const std::string& gbk) {
    std::string out = "stale";
    EXPECT_TRUE(ConvertGbkToUtf8(gbk.data(), gbk.size(), &out));
    return out;
}

const std::string kZhongWenUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文
const std::string kZhongWenGbk = "\xD6\xD0\xCE\xC4";

TEST(TextTest, ChineseConvertsBothWays) {
    EXPECT_EQ(ToGbk(kZhongWenUtf8), kZhongWenGbk);
    EXPECT_EQ(ToUtf8(kZhongWenGbk), kZhongWenUtf8);

    // Full-width punctuation: 。 is A1 A3.
    EXPECT_EQ(ToGbk("\xE3\x80\x82"), "\xA1\xA3");
    EXPECT_EQ(ToUtf8("\xA1\xA3"), "\xE3\x80\x82");
}

TEST(TextTest, AsciiIsUnchanged) {
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
    EXPECT_EQ(ToGbk(ascii), ascii);
    EXPECT_EQ(ToUtf8(ascii), ascii);
}

TEST(TextTest, MixedTextKeepsItsOrder) {
    EXPECT_EQ(ToGbk("abc" + kZhongWenUtf8 + " 123"), "abc" + kZhongWenGbk + " 123");
    EXPECT_EQ(ToUtf8("abc" + kZhongWenGbk + " 123"), "abc" + kZhongWenUtf8 + " 123");
}

TEST(TextTest, LengthIsHonouredIncludingZeroBytes) {
    const std::string withZero("a\0b", 3);
    EXPECT_EQ(ToGbk(withZero), withZero);
    EXPECT_EQ(ToUtf8(withZero), withZero);

    // Only the given length is converted.
    std::string out;
    ASSERT_TRUE(ConvertUtf8ToGbk("abcdef", 3, &out));
    EXPECT_EQ(out, "abc");
    ASSERT_TRUE(ConvertGbkToUtf8("\xD6\xD0\xCE\xC4", 2, &out));
    EXPECT_EQ(out, "\xE4\xB8\xAD");
}

TEST(TextTest, LongTextRoundTrips) {
    std::string utf8;
    std::string gbk;
    for (int i = 0; i < 5000; ++i) {
        utf8 += kZhongWenUtf8 + "x";
        gbk += kZhongWenGbk + "x";
    }
    EXPECT_EQ(ToGbk(utf8), gbk);
    EXPECT_EQ(ToUtf8(gbk), utf8);
}

TEST(TextTest, EmptyInputGivesEmptyOutput) {
    std::string out = "stale";
    EXPECT_TRUE(ConvertUtf8ToGbk("", 0, &out));
    EXPECT_EQ(out, "");
    out = "stale";
    EXPECT_TRUE(ConvertGbkToUtf8("", 0, &out));
    EXPECT_EQ(out, "");
    out = "stale";
    EXPECT_TRUE(ConvertUtf8ToGbk(nullptr, 0, &out));
    EXPECT_EQ(out, "");
    out = "stale";
    EXPECT_TRUE(ConvertGbkToUtf8(nullptr, 0, &out));
    EXPECT_EQ(out, "");

    EXPECT_FALSE(ConvertUtf8ToGbk("a", 1, nullptr));
    EXPECT_FALSE(ConvertGbkToUtf8("a", 1, nullptr));
}

TEST(TextTest, InvalidUtf8BecomesQuestionMarks) {
    EXPECT_EQ(ToGbk("\xFF"), "?");
    EXPECT_EQ(ToGbk("a\xFF" "b"), "a?b");
    EXPECT_EQ(ToGbk("\x80"), "?");  // stray continuation byte
    // A sequence cut short, at the end and before other text.
    EXPECT_EQ(ToGbk("\xE4\xB8"), "?");
    EXPECT_EQ(ToGbk("ab\xE4\xB8"), "ab?");
    EXPECT_EQ(ToGbk("\xE4\xB8Z"), "?Z");
    EXPECT_EQ(ToGbk("\xE4\xB8" + kZhongWenUtf8), "?" + kZhongWenGbk);
    // Valid text after an invalid byte is still converted.
    EXPECT_EQ(ToGbk("\xFE" + kZhongWenUtf8), "?" + kZhongWenGbk);
}

TEST(TextTest, MalformedUtf8FormsGiveOnlyQuestionMarks) {
    const std::string cases[] = {
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong, three bytes
        "\xED\xA0\x80",      // UTF-16 surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF8\x88\x80\x80\x80",
    };
    for (const std::string& bad : cases) {
        std::string out = ToGbk(bad);
        EXPECT_FALSE(out.empty());
        EXPECT_EQ(out.find_first_not_of('?'), std::string::npos) << "got bytes other than '?'";
        EXPECT_LE(out.size(), bad.size());
    }
}

TEST(TextTest, CharactersGbkCannotHoldBecomeQuestionMarks) {
    EXPECT_EQ(ToGbk("\xF0\x9F\x98\x80"), "?");  // an emoji
    EXPECT_EQ(ToGbk("a\xF0\x9F\x98\x80" "b"), "a?b");
    EXPECT_EQ(ToGbk(kZhongWenUtf8 + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80" + kZhongWenUtf8),
              kZhongWenGbk + "??" + kZhongWenGbk);
    EXPECT_EQ(ToGbk("\xE0\xB8\x81"), "?");  // Thai letter
}

TEST(TextTest, InvalidGbkBecomesQuestionMarks) {
    EXPECT_EQ(ToUtf8("\xFF"), "?");
    EXPECT_EQ(ToUtf8("a\xFF" "b"), "a?b");
    // A lead byte without its second byte at the end.
    EXPECT_EQ(ToUtf8("abc\xD6"), "abc?");
    // Valid characters around an invalid byte survive.
    EXPECT_EQ(ToUtf8(kZhongWenGbk + "\xFF" + kZhongWenGbk), kZhongWenUtf8 + "?" + kZhongWenUtf8);
}

}  // namespace
