// The method-3 block codec: hand-written streams for every instruction form
// and every way a stream can be malformed, and round trips through Compress.
#include "audit/Method3Codec.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kEnd = {0x21, 0x00, 0x00};  // far match, distance 0

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Random(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
    return b;
}

// The decoded bytes, or nothing when Decompress refuses the stream.
std::optional<Bytes> Decode(const Bytes& in, std::size_t capacity = 1 << 16) {
    Bytes out(capacity);
    std::size_t produced = 0;
    if (!auditcodec::Decompress(in.data(), in.size(), out.data(), capacity, &produced)) return std::nullopt;
    out.resize(produced);
    return out;
}

Bytes RoundTrip(const Bytes& data) {
    const Bytes packed = auditcodec::Compress(data.data(), data.size());
    Bytes out(data.size());  // exactly the uncompressed length, as a transfer announces it
    std::size_t produced = 0;
    EXPECT_TRUE(auditcodec::Decompress(packed.data(), packed.size(), out.data(), out.size(), &produced));
    EXPECT_EQ(produced, data.size());
    return out;
}

// Appends a copy of n bytes from `back` bytes behind the end.
void Repeat(Bytes& data, std::size_t back, std::size_t n) {
    const Bytes piece(data.end() - back, data.end() - back + n);
    data.insert(data.end(), piece.begin(), piece.end());
}

// A run of random bytes, then a 3-byte repeat, one other byte and an 8-byte
// repeat: where the run allows it, a short match with its literal.
Bytes RunThenShortMatch(std::size_t runLength) {
    Bytes data = Random(runLength, static_cast<std::uint32_t>(runLength));
    Repeat(data, 10, 3);
    data.push_back(static_cast<std::uint8_t>(data[data.size() - 10] ^ 0x55));
    Repeat(data, runLength, 8);
    return data;
}

TEST(Method3Codec, LiteralRunsOfEveryLengthClass) {
    EXPECT_EQ(Decode(Cat({{0x03}, Text("abc"), kEnd})), Text("abc"));
    const Bytes r = Random(40000, 1);
    // t = 0, u = 5: 37 literals.
    EXPECT_EQ(Decode(Cat({{0x00, 0x05}, Bytes(r.begin(), r.begin() + 37), kEnd})), Bytes(r.begin(), r.begin() + 37));
    // u = 248: 280 literals, after which a control byte below 32 is a fresh
    // run, not a short match.
    const Bytes run280(r.begin(), r.begin() + 280);
    EXPECT_EQ(Decode(Cat({{0x00, 248}, run280, {0x02}, Text("xy"), kEnd})), Cat({run280, Text("xy")}));
    // u > 248: 256 << (u - 248) literals, then a fresh control byte.
    for (int u = 249; u <= 255; ++u) {
        const Bytes run(r.begin(), r.begin() + (256 << (u - 248)));
        EXPECT_EQ(Decode(Cat({{0x00, static_cast<std::uint8_t>(u)}, run, {0x01, 'z'}, kEnd})), Cat({run, Text("z")}))
            << "u = " << u;
    }
}

TEST(Method3Codec, ShortMatchCarriesOneLiteralAndChains) {
    // Short match from distance 4, literal X; the next control byte below 32
    // is another short match (distance 2, literal Y), not a literal run.
    const Bytes in = Cat({{0x04}, Text("abcd"), {0x03, 0x00, 'X'}, {0x01, 0x00, 'Y'}, kEnd});
    EXPECT_EQ(Decode(in), Text("abcdabcXcXcY"));
    // The second byte counts 32 distance units: (1 << 5 | 2) + 1 = 35.
    const Bytes r = Random(35, 2);
    EXPECT_EQ(Decode(Cat({{0x00, 0x03}, r, {0x02, 0x01, 'Q'}, kEnd})),
              Cat({r, Bytes(r.begin(), r.begin() + 3), Text("Q")}));
}

TEST(Method3Codec, NearMatches) {
    // Length (0x84 >> 5) + 1 = 5, distance 4 + 1 = 5.
    EXPECT_EQ(Decode(Cat({{0x05}, Text("hello"), {0x84, 0x00}, kEnd})), Text("hellohello"));
    // Length 8, distance (1 << 5 | 7) + 1 = 40; then a literal run follows the match.
    const Bytes r = Random(40, 3);
    EXPECT_EQ(Decode(Cat({{0x00, 0x08}, r, {0xE7, 0x01}, {0x01, '!'}, kEnd})),
              Cat({r, Bytes(r.begin(), r.begin() + 8), Text("!")}));
    // An overlapping copy repeating a pair, directly followed by another match.
    EXPECT_EQ(Decode(Cat({{0x02}, Text("ab"), {0xA1, 0x00}, {0x21, 0x02, 0x00}, kEnd})), Text("abababababab"));
}

TEST(Method3Codec, FarMatchesWithAndWithoutLengthExtension) {
    // Length (0x23 & 31) + 3 = 6, distance 6.
    EXPECT_EQ(Decode(Cat({{0x06}, Text("abcdef"), {0x23, 0x06, 0x00}, kEnd})), Text("abcdefabcdef"));
    // 280 + 32 literals, then length 1 + 31 + 3 = 35 from distance 0x012C = 300.
    const Bytes r = Random(312, 4);
    const Bytes head(r.begin(), r.begin() + 280), rest(r.begin() + 280, r.end());
    EXPECT_EQ(Decode(Cat({{0x00, 248}, head, {0x00, 0x00}, rest, {0x20, 0x01, 0x2C, 0x01}, kEnd})),
              Cat({r, Bytes(r.begin() + 12, r.begin() + 47)}));
    // Each 0 byte adds 255: 255 + 1 + 31 + 3 = 290 copies of 'a' from distance 1.
    EXPECT_EQ(Decode(Cat({{0x01, 'a'}, {0x20, 0x00, 0x01, 0x01, 0x00}, kEnd})), Bytes(291, 'a'));
}

// The end marker alone, also with an extended length field, decodes to
// nothing; a stream cut anywhere before the marker is complete is refused.
TEST(Method3Codec, EndMarkerAloneAndTruncatedStreams) {
    EXPECT_EQ(Decode(kEnd), Bytes{});
    EXPECT_EQ(Decode({0x20, 0x00, 0x07, 0x00, 0x00}), Bytes{});
    EXPECT_EQ(Decode({0x20, 0x00, 0x00}), std::nullopt);            // the length extension still open
    EXPECT_EQ(Decode({}), std::nullopt);
    EXPECT_EQ(Decode({0x05, 'a', 'b'}), std::nullopt);              // in a literal run
    EXPECT_EQ(Decode({0x00}), std::nullopt);                        // before the run's count byte
    EXPECT_EQ(Decode({0x01, 'a', 0x80}), std::nullopt);             // near match without its distance
    EXPECT_EQ(Decode({0x01, 'a', 0x23, 0x01}), std::nullopt);       // far match, half a distance
    EXPECT_EQ(Decode({0x01, 'a', 0x20, 0x00}), std::nullopt);       // in the length extension
    EXPECT_EQ(Decode({0x02, 'a', 'b', 0x00, 0x00}), std::nullopt);  // short match without its literal
    EXPECT_EQ(Decode({0x21, 0x00}), std::nullopt);                  // in the end marker
}

TEST(Method3Codec, RejectsOutputBeyondCapacity) {
    const Bytes literals = Cat({{0x03}, Text("abc"), kEnd});
    EXPECT_EQ(Decode(literals, 3), Text("abc"));
    EXPECT_EQ(Decode(literals, 2), std::nullopt);
    const Bytes match = Cat({{0x01, 'a'}, {0x80, 0x00}, kEnd});  // 1 + 5 bytes
    EXPECT_EQ(Decode(match, 6), Text("aaaaaa"));
    EXPECT_EQ(Decode(match, 5), std::nullopt);
    const Bytes shortMatch = Cat({{0x01, 'a'}, {0x00, 0x00, 'b'}, kEnd});  // 1 + 3 + 1 bytes
    EXPECT_EQ(Decode(shortMatch, 5), Text("aaaab"));
    EXPECT_EQ(Decode(shortMatch, 4), std::nullopt);  // room for the copy, not its literal
}

TEST(Method3Codec, RejectsDistancesBeforeTheOutputStart) {
    EXPECT_EQ(Decode(Cat({{0x02}, Text("ab"), {0x61, 0x00}, kEnd})), Text("ababab"));  // near, distance 2
    EXPECT_EQ(Decode(Cat({{0x02}, Text("ab"), {0x62, 0x00}, kEnd})), std::nullopt);    // near, distance 3
    EXPECT_EQ(Decode(Cat({{0x01, 'a'}, {0x24, 0x02, 0x00}, kEnd})), std::nullopt);     // far, distance 2
    EXPECT_EQ(Decode(Cat({{0x01, 'a'}, {0x01, 0x00, 'x'}, kEnd})), std::nullopt);      // short, distance 2
    EXPECT_EQ(Decode(Cat({{0x80, 0x00}, kEnd})), std::nullopt);                        // match before any output
}

TEST(Method3Codec, RejectsMissingEndMarkerAndTrailingBytes) {
    EXPECT_EQ(Decode({0x03, 'a', 'b', 'c'}), std::nullopt);
    EXPECT_EQ(Decode(Cat({{0x01, 'a'}, {0x80, 0x00}})), std::nullopt);
    EXPECT_EQ(Decode(Cat({{0x01, 'a'}, kEnd, {0x00}})), std::nullopt);
    EXPECT_EQ(Decode(Cat({kEnd, kEnd})), std::nullopt);
}

TEST(Method3Codec, RoundTripsAnyData) {
    for (std::size_t n : {0, 1, 2, 3, 31, 32, 279, 280, 281, 311, 312, 511, 512, 513, 792, 32768, 33047, 70000}) {
        const Bytes data = Random(n, static_cast<std::uint32_t>(n));
        EXPECT_EQ(RoundTrip(data), data) << n << " random bytes";
    }
    // Extended far lengths around multiples of 255, and runs that end in a
    // long piece (after which no short match may follow) or do not.
    for (std::size_t n : {35, 36, 289, 290, 291, 545, 100000}) EXPECT_EQ(RoundTrip(Bytes(n, 0)), Bytes(n, 0)) << n;
    for (std::size_t n : {10, 100, 280, 512, 792, 4376}) {
        const Bytes data = RunThenShortMatch(n);
        EXPECT_EQ(RoundTrip(data), data) << n;
    }
    EXPECT_EQ(auditcodec::Compress(nullptr, 0), kEnd);
}

TEST(Method3Codec, RoundTripsOneMebibyteAndShrinksRepetitiveData) {
    std::string text;
    for (int i = 0; text.size() < (1 << 20); ++i) {
        text += "2024-05-1" + std::to_string(i % 10) + " user" + std::to_string(i % 97) + " opened C:\\docs\\report" +
                std::to_string(i % 13) + ".xlsx\n";
    }
    text.resize(1 << 20);
    const Bytes data = Text(text);
    EXPECT_EQ(RoundTrip(data), data);
    EXPECT_LT(auditcodec::Compress(data.data(), data.size()).size(), data.size() / 4);
    std::string paragraph;
    while (paragraph.size() < (1 << 20)) paragraph += "The quick brown fox jumps over the lazy dog. ";
    EXPECT_LT(auditcodec::Compress(Text(paragraph).data(), paragraph.size()).size(), paragraph.size() / 100);
    const Bytes zeros(1 << 20, 0);
    EXPECT_LT(auditcodec::Compress(zeros.data(), zeros.size()).size(), 8192u);
    const Bytes noise = Random(1 << 20, 7);
    EXPECT_EQ(RoundTrip(noise), noise);
    EXPECT_LT(auditcodec::Compress(noise.data(), noise.size()).size(), noise.size() + noise.size() / 256);
}

// How often Compress used each instruction form, found by walking a stream
// the way Decompress does (only for streams that decode).
struct FormCounts {
    int direct = 0, counted = 0, fixed280 = 0, longRun = 0, shortMatch = 0, near = 0, farDirect = 0, farExtended = 0;
};

FormCounts CountForms(const Bytes& s) {
    FormCounts c;
    bool runExpected = true;
    for (std::size_t i = 0; i < s.size();) {
        const std::uint8_t t = s.at(i++);
        if (t < 32 && runExpected) {
            const std::uint8_t u = t == 0 ? s.at(i++) : 0;
            const std::size_t n = t != 0 ? t : u < 248 ? u + 32u : u == 248 ? 280u : 256u << (u - 248);
            ++(t != 0 ? c.direct : u < 248 ? c.counted : u == 248 ? c.fixed280 : c.longRun);
            runExpected = t == 0 && u >= 248;
            i += n;
        } else if (t < 32) {
            ++c.shortMatch;
            i += 2;
        } else if (t >= 64) {
            ++c.near;
            i += 1;
            runExpected = true;
        } else {
            ++((t & 31) != 0 ? c.farDirect : c.farExtended);
            if ((t & 31) == 0) {
                while (s.at(i) == 0) ++i;  // the length extension's 0 bytes, then its closing byte
                ++i;
            }
            i += 2;
            runExpected = true;
        }
    }
    return c;
}

TEST(Method3Codec, CompressUsesEveryInstructionForm) {
    Bytes data = RunThenShortMatch(5000);  // 4096 + 512 + 280 + 112 literals first
    const Bytes tail = Random(10, 12);
    data.insert(data.end(), tail.begin(), tail.end());
    Repeat(data, 100, 20);   // far match, direct length
    Repeat(data, 600, 500);  // far match, extended length
    const Bytes last = Random(300, 13);
    data.insert(data.end(), last.begin(), last.end());

    const Bytes packed = auditcodec::Compress(data.data(), data.size());
    ASSERT_EQ(Decode(packed), data);
    const FormCounts c = CountForms(packed);
    EXPECT_GT(c.direct, 0);
    EXPECT_GT(c.counted, 0);
    EXPECT_GT(c.fixed280, 0);
    EXPECT_GT(c.longRun, 0);
    EXPECT_GT(c.shortMatch, 0);
    EXPECT_GT(c.near, 0);
    EXPECT_GT(c.farDirect, 1);  // the end marker is one
    EXPECT_GT(c.farExtended, 0);
}

}  // namespace
