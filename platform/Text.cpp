#include "platform/Text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One converter per thread and direction, opened on first use.
class CConverter {
public:
    CConverter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~CConverter() {
        if (Valid()) iconv_close(m_cd);
    }
    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

CConverter& ToGbk() {
    thread_local CConverter converter("GBK", "UTF-32LE");
    return converter;
}

CConverter& FromGbk() {
    thread_local CConverter converter("UTF-8", "GBK");
    return converter;
}

// Decodes UTF-8 into code points; each invalid or incomplete sequence gives one
// replacement character.
void DecodeUtf8(const unsigned char* s, std::size_t n, std::vector<char32_t>* out) {
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            out->push_back(c);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
            min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
            min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            out->push_back(kReplacement);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int k = 0;
        for (; k < extra && j < n && (s[j] & 0xC0) == 0x80; ++k, ++j) cp = (cp << 6) | (s[j] & 0x3F);
        if (k < extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out->push_back(kReplacement);
            i = (k == 0) ? i + 1 : j;
            continue;
        }
        out->push_back(cp);
        i = j;
    }
}

}  // namespace

bool ConvertUtf8ToGbk(const char* text, std::size_t length, std::string* out) {
    CConverter& conv = ToGbk();
    if (!conv.Valid() || out == nullptr) return false;
    out->clear();
    if (text == nullptr || length == 0) return true;
    // ASCII is the same in GBK: most log texts need no conversion at all.
    if (std::all_of(text, text + length, [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; })) {
        out->assign(text, length);
        return true;
    }

    std::vector<char32_t> codePoints;
    codePoints.reserve(length);
    DecodeUtf8(reinterpret_cast<const unsigned char*>(text), length, &codePoints);

    std::vector<std::uint8_t> input(codePoints.size() * 4);
    for (std::size_t i = 0; i < codePoints.size(); ++i) {
        char32_t cp = codePoints[i];
        input[i * 4 + 0] = static_cast<std::uint8_t>(cp);
        input[i * 4 + 1] = static_cast<std::uint8_t>(cp >> 8);
        input[i * 4 + 2] = static_cast<std::uint8_t>(cp >> 16);
        input[i * 4 + 3] = static_cast<std::uint8_t>(cp >> 24);
    }
    iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    std::string result(codePoints.size() * 2 + 4, '\0');
    std::size_t produced = 0;
    while (inLeft > 0) {
        char* outPtr = result.data() + produced;
        std::size_t outLeft = result.size() - produced;
        std::size_t rc = iconv(conv.Get(), &in, &inLeft, &outPtr, &outLeft);
        produced = static_cast<std::size_t>(outPtr - result.data());
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            result.resize(result.size() * 2);
        } else {
            // A character GBK cannot hold: the default character, then go on.
            if (result.size() - produced < 1) result.resize(result.size() * 2);
            result[produced++] = '?';
            in += 4;
            inLeft -= 4;
        }
    }
    result.resize(produced);
    *out = std::move(result);
    return true;
}

bool ConvertGbkToUtf8(const char* text, std::size_t length, std::string* out) {
    CConverter& conv = FromGbk();
    if (!conv.Valid() || out == nullptr) return false;
    out->clear();
    if (text == nullptr || length == 0) return true;

    iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text);
    std::size_t inLeft = length;
    std::string result(length * 2 + 4, '\0');
    std::size_t produced = 0;
    while (inLeft > 0) {
        char* outPtr = result.data() + produced;
        std::size_t outLeft = result.size() - produced;
        std::size_t rc = iconv(conv.Get(), &in, &inLeft, &outPtr, &outLeft);
        produced = static_cast<std::size_t>(outPtr - result.data());
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            result.resize(result.size() * 2);
        } else {
            // Invalid or truncated GBK byte.
            if (result.size() - produced < 1) result.resize(result.size() * 2);
            result[produced++] = '?';
            ++in;
            --inLeft;
        }
    }
    result.resize(produced);
    *out = std::move(result);
    return true;
}
