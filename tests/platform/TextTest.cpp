// Conversion between UTF-8 and GBK.
#include "platform/Text.h"
#include "support/Prelude.h"

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
const std::string kEmoji = "\xF0\x9F\x98\x80";

using Cases = std::vector<std::pair<std::string, std::string>>;

// Valid text converts both ways byte for byte, by the given length. Invalid
// UTF-8, characters GBK cannot hold and invalid GBK become '?', one for each
// bad sequence; valid text around them is still converted.
TEST(TextTest, ValidTextConvertsBothWaysAndBadTextBecomesQuestionMarks) {
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
    const Cases cases = {
        {"", ""},
        {ascii, ascii},
        {std::string("a\0b", 3), std::string("a\0b", 3)},  // the length counts, not a zero byte
        {"\xE3\x80\x82", "\xA1\xA3"},  // full-width punctuation
        {"abc" + kZhongWenUtf8 + " 123", "abc" + kZhongWenGbk + " 123"},
    };
    for (const auto& [utf8, gbk] : cases) {
        EXPECT_EQ(ToGbk(utf8), gbk) << testing::PrintToString(utf8.substr(0, 40));
        EXPECT_EQ(ToUtf8(gbk), utf8) << testing::PrintToString(gbk.substr(0, 40));
    }

    const Cases utf8 = {
        // Bytes that start no sequence, a stray continuation byte.
        {"a\xFF" "b", "a?b"}, {"\xFE" + kZhongWenUtf8, "?" + kZhongWenGbk}, {"\x80", "?"},
        // A sequence cut short, at the end and before other text.
        {"ab\xE4\xB8", "ab?"}, {"\xE4\xB8" + kZhongWenUtf8, "?" + kZhongWenGbk},
        // Not in GBK: two emoji give two marks.
        {kZhongWenUtf8 + kEmoji + kEmoji + kZhongWenUtf8, kZhongWenGbk + "??" + kZhongWenGbk},
    };
    for (const auto& [from, to] : utf8) EXPECT_EQ(ToGbk(from), to) << testing::PrintToString(from);
    const Cases gbk = {
        {"a\xFF" "b", "a?b"},
        {"abc\xD6", "abc?"},  // a lead byte without its second byte at the end
        {kZhongWenGbk + "\xFF" + kZhongWenGbk, kZhongWenUtf8 + "?" + kZhongWenUtf8},
    };
    for (const auto& [from, to] : gbk) EXPECT_EQ(ToUtf8(from), to) << testing::PrintToString(from);
    // Overlong forms, surrogates and values above U+10FFFF give only '?'.
    for (const std::string bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                  "\xF8\x88\x80\x80\x80"}) {
        std::string out = ToGbk(bad);
        EXPECT_FALSE(out.empty());
        EXPECT_EQ(out.find_first_not_of('?'), std::string::npos) << testing::PrintToString(bad);
        EXPECT_LE(out.size(), bad.size());
    }
}

}  // namespace
