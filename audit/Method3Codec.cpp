#include "audit/Method3Codec.h"

#include <cstring>
#include <limits>

namespace auditcodec {
namespace {

// Control byte classes.
constexpr std::uint8_t kLiteralControlLimit = 32;  // below: literal run or short match
constexpr std::uint8_t kFarMatchControl = 32;      // 32..63: far match
constexpr std::uint8_t kNearMatchControl = 64;     // 64..255: near match
constexpr std::uint8_t kLowBitsMask = 31;
constexpr unsigned kLowBits = 5;

// Literal runs.
constexpr std::size_t kDirectRunMax = 31;
constexpr std::size_t kCountedRunBias = 32;  // t = 0, u < 248: u + 32 literals
constexpr std::uint8_t kFixedRunCode = 248;  // t = 0, u = 248: 280 literals
constexpr std::size_t kFixedRunLength = 280;
constexpr std::size_t kLongRunUnit = 256;  // t = 0, u > 248: 256 << (u - 248) literals
constexpr std::uint8_t kLongRunMaxCode = 255;

// Matches.
constexpr std::size_t kShortMatchLength = 3;
constexpr std::size_t kNearMaxLength = 8;
constexpr std::size_t kNearMaxDistance = std::size_t{1} << 13;  // 13 distance bits, plus one
constexpr std::size_t kFarLengthBias = 3;
constexpr std::size_t kFarMinLength = 4;
constexpr std::size_t kFarDirectMaxLength = 34;
constexpr std::size_t kFarExtensionStep = 255;  // per 0 byte of the length extension
constexpr std::size_t kFarExtensionBias = 31;   // the closing non-zero byte b adds b + 31
constexpr std::size_t kFarMaxDistance = 65535;
// Extended lengths stop growing here: such a length can only fail the
// capacity check (or belong to an end marker, where it is ignored), and the
// sum must not wrap on hostile input.
constexpr std::size_t kLengthSaturation = std::numeric_limits<std::size_t>::max() / 2;

// Walks one stream. Every read from the input and every write to the output
// is checked against its end before it happens.
class StreamDecoder {
public:
    StreamDecoder(const std::uint8_t* in, std::size_t inLength, std::uint8_t* out, std::size_t capacity)
        : in_(in), inLength_(inLength), out_(out), capacity_(capacity) {}

    bool Run();
    std::size_t Produced() const { return outPos_; }

private:
    bool ReadByte(std::uint8_t* byte);
    bool CopyLiterals(std::size_t count);
    bool CopyMatch(std::size_t distance, std::size_t length);
    bool LiteralRun(std::uint8_t t, bool* runExpected);
    bool ShortMatch(std::uint8_t t);
    bool NearMatch(std::uint8_t t);
    bool FarMatch(std::uint8_t t, bool* endMarker);

    const std::uint8_t* in_;
    std::size_t inLength_;
    std::size_t inPos_ = 0;
    std::uint8_t* out_;
    std::size_t capacity_;
    std::size_t outPos_ = 0;
};

bool StreamDecoder::Run() {
    // Whether a control byte below 32 starts a literal run. It does at the
    // start, after a near or far match and after a long run (u >= 248). After
    // a run of the t >= 1 or u < 248 kind, and after a short match with its
    // trailing literal, it is a short match instead: short matches chain until
    // a control byte of 32 or more arrives, so two literal runs, or a short
    // match and a literal run, are never adjacent.
    bool runExpected = true;
    for (;;) {
        std::uint8_t t = 0;
        if (!ReadByte(&t)) return false;  // the input ended without the end marker
        if (t < kLiteralControlLimit) {
            if (!(runExpected ? LiteralRun(t, &runExpected) : ShortMatch(t))) return false;
            continue;
        }
        if (t >= kNearMatchControl) {
            if (!NearMatch(t)) return false;
        } else {
            bool endMarker = false;
            if (!FarMatch(t, &endMarker)) return false;
            if (endMarker) return inPos_ == inLength_;
        }
        runExpected = true;
    }
}

bool StreamDecoder::ReadByte(std::uint8_t* byte) {
    if (inPos_ >= inLength_) return false;
    *byte = in_[inPos_++];
    return true;
}

bool StreamDecoder::CopyLiterals(std::size_t count) {
    if (count > inLength_ - inPos_ || count > capacity_ - outPos_) return false;
    std::memcpy(out_ + outPos_, in_ + inPos_, count);
    inPos_ += count;
    outPos_ += count;
    return true;
}

bool StreamDecoder::CopyMatch(std::size_t distance, std::size_t length) {
    if (distance == 0 || distance > outPos_ || length > capacity_ - outPos_) return false;
    std::uint8_t* dst = out_ + outPos_;
    const std::uint8_t* src = dst - distance;
    if (distance >= length) {
        std::memcpy(dst, src, length);
    } else {
        // Overlapping: each byte may be one this copy has just written, which
        // repeats the last `distance` bytes.
        for (std::size_t i = 0; i < length; ++i) dst[i] = src[i];
    }
    outPos_ += length;
    return true;
}

bool StreamDecoder::LiteralRun(std::uint8_t t, bool* runExpected) {
    std::size_t count = t;
    bool longRun = false;
    if (t == 0) {
        std::uint8_t u = 0;
        if (!ReadByte(&u)) return false;
        if (u < kFixedRunCode) {
            count = u + kCountedRunBias;
        } else {
            count = u == kFixedRunCode ? kFixedRunLength : kLongRunUnit << (u - kFixedRunCode);
            longRun = true;
        }
    }
    *runExpected = longRun;
    return CopyLiterals(count);
}

bool StreamDecoder::ShortMatch(std::uint8_t t) {
    std::uint8_t high = 0;
    if (!ReadByte(&high)) return false;
    const std::size_t distance = ((std::size_t{high} << kLowBits) | t) + 1;
    return CopyMatch(distance, kShortMatchLength) && CopyLiterals(1);
}

bool StreamDecoder::NearMatch(std::uint8_t t) {
    std::uint8_t high = 0;
    if (!ReadByte(&high)) return false;
    const std::size_t distance = ((std::size_t{high} << kLowBits) | (t & kLowBitsMask)) + 1;
    return CopyMatch(distance, static_cast<std::size_t>(t >> kLowBits) + 1);
}

bool StreamDecoder::FarMatch(std::uint8_t t, bool* endMarker) {
    std::size_t length = t & kLowBitsMask;
    if (length == 0) {
        std::uint8_t b = 0;
        for (;;) {
            if (!ReadByte(&b)) return false;
            if (b != 0) break;
            if (length < kLengthSaturation) length += kFarExtensionStep;
        }
        length += b + kFarExtensionBias;
    }
    length += kFarLengthBias;
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    if (!ReadByte(&low) || !ReadByte(&high)) return false;
    const std::size_t distance = low | (std::size_t{high} << 8);
    if (distance == 0) {
        // The end marker; its length field carries no meaning.
        *endMarker = true;
        return true;
    }
    return CopyMatch(distance, length);
}

// One step of a parse: a number of literal bytes, then a match. The last
// token has length 0 and stands for the end marker.
struct Token {
    std::size_t literals;
    std::size_t length;
    std::size_t distance;
};

constexpr unsigned kHashBits = 15;
constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

std::uint32_t HashPrefix(const std::uint8_t* p) {
    const std::uint32_t v = p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

// Far matches are at least 4 bytes long, so a 3-byte match is usable only
// within the reach of the near and short forms.
bool Encodable(std::size_t length, std::size_t distance) {
    return length >= kFarMinLength || (length == kShortMatchLength && distance <= kNearMaxDistance);
}

// Greedy parse with one remembered position per hash of a 3-byte prefix.
// Distances are at least 1, so no match can look like the end marker.
std::vector<Token> Parse(const std::uint8_t* data, std::size_t length) {
    std::vector<Token> tokens;
    std::vector<std::size_t> table(std::size_t{1} << kHashBits, kNoPosition);
    std::size_t runStart = 0;
    std::size_t pos = 0;
    while (length - pos >= kMinMatch) {
        const std::uint32_t hash = HashPrefix(data + pos);
        const std::size_t candidate = table[hash];
        table[hash] = pos;
        if (candidate != kNoPosition && pos - candidate <= kFarMaxDistance) {
            std::size_t matched = 0;
            while (pos + matched < length && data[candidate + matched] == data[pos + matched]) ++matched;
            if (Encodable(matched, pos - candidate)) {
                tokens.push_back({pos - runStart, matched, pos - candidate});
                // Index the positions inside the match as well, so that later
                // data can refer to them.
                for (std::size_t p = pos + 1; p < pos + matched && length - p >= kMinMatch; ++p) {
                    table[HashPrefix(data + p)] = p;
                }
                pos += matched;
                runStart = pos;
                continue;
            }
        }
        ++pos;
    }
    tokens.push_back({length - runStart, 0, 0});
    return tokens;
}

// Writes instructions in data order and tracks, like the decoder, whether a
// control byte below 32 would start a literal run or a short match.
class StreamEncoder {
public:
    explicit StreamEncoder(const std::uint8_t* data) : data_(data) {}

    void LiteralRun(std::size_t count);
    bool ShortMatchAllowed() const { return !runExpected_; }
    void ShortMatchWithLiteral(std::size_t distance);
    void Match(std::size_t length, std::size_t distance);
    void EndMarker();
    std::vector<std::uint8_t> Take() { return std::move(out_); }

private:
    void Put(std::size_t byte) { out_.push_back(static_cast<std::uint8_t>(byte)); }
    void PutLiterals(std::size_t count);

    const std::uint8_t* data_;
    std::size_t pos_ = 0;
    bool runExpected_ = true;
    std::vector<std::uint8_t> out_;
};

void StreamEncoder::PutLiterals(std::size_t count) {
    out_.insert(out_.end(), data_ + pos_, data_ + pos_ + count);
    pos_ += count;
}

// Only called where a control byte below 32 starts a run: at the start or
// after a near or far match. Runs of 280 and more go out in long pieces (the
// largest 256 << k that fits, else 280); the rest, if any, as one t >= 1 or
// u < 248 run.
void StreamEncoder::LiteralRun(std::size_t count) {
    while (count >= kFixedRunLength) {
        std::uint8_t code = kFixedRunCode;
        std::size_t piece = kFixedRunLength;
        for (std::uint8_t c = kLongRunMaxCode; c > kFixedRunCode; --c) {
            if ((kLongRunUnit << (c - kFixedRunCode)) <= count) {
                code = c;
                piece = kLongRunUnit << (c - kFixedRunCode);
                break;
            }
        }
        Put(0);
        Put(code);
        PutLiterals(piece);
        count -= piece;
        runExpected_ = true;
    }
    if (count == 0) return;
    if (count <= kDirectRunMax) {
        Put(count);
    } else {
        Put(0);
        Put(count - kCountedRunBias);
    }
    PutLiterals(count);
    runExpected_ = false;
}

void StreamEncoder::ShortMatchWithLiteral(std::size_t distance) {
    const std::size_t d = distance - 1;
    Put(d & kLowBitsMask);
    Put(d >> kLowBits);
    pos_ += kShortMatchLength;
    PutLiterals(1);
}

void StreamEncoder::Match(std::size_t length, std::size_t distance) {
    if (length <= kNearMaxLength && distance <= kNearMaxDistance) {
        const std::size_t d = distance - 1;
        Put(((length - 1) << kLowBits) | (d & kLowBitsMask));
        Put(d >> kLowBits);
    } else {
        if (length <= kFarDirectMaxLength) {
            Put(kFarMatchControl | (length - kFarLengthBias));
        } else {
            Put(kFarMatchControl);
            std::size_t rest = length - kFarDirectMaxLength;  // at least 1
            for (; rest > kFarExtensionStep; rest -= kFarExtensionStep) Put(0);
            Put(rest);
        }
        Put(distance & 0xFF);
        Put(distance >> 8);
    }
    pos_ += length;
    runExpected_ = true;
}

void StreamEncoder::EndMarker() {
    // A far match of length 4 and distance 0; any length field would do.
    Put(kFarMatchControl | 1);
    Put(0);
    Put(0);
}

}  // namespace

bool Decompress(const std::uint8_t* in, std::size_t inLength, std::uint8_t* out, std::size_t capacity,
                std::size_t* produced) {
    StreamDecoder decoder(in, inLength, out, capacity);
    const bool ok = decoder.Run();
    if (produced != nullptr) *produced = decoder.Produced();
    return ok;
}

// A short match costs two bytes and carries one literal; it is chosen for a
// 3-byte match that directly follows a t >= 1 or u < 248 run (or another
// short match) when the next token has exactly one literal, whose byte then
// rides along. Since only short matches, near or far matches or the end
// marker may follow a short match, a token with more literals after it gets a
// near match instead, so that its literals can form a run.
std::vector<std::uint8_t> Compress(const std::uint8_t* data, std::size_t length) {
    const std::vector<Token> tokens = Parse(data, length);
    StreamEncoder encoder(data);
    bool literalTaken = false;  // the previous short match emitted this token's literal
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (!literalTaken) encoder.LiteralRun(token.literals);
        literalTaken = false;
        if (token.length == 0) break;
        if (token.length == kShortMatchLength && encoder.ShortMatchAllowed() && i + 1 < tokens.size() &&
            tokens[i + 1].literals == 1) {
            encoder.ShortMatchWithLiteral(token.distance);
            literalTaken = true;
        } else {
            encoder.Match(token.length, token.distance);
        }
    }
    encoder.EndMarker();
    return encoder.Take();
}

}  // namespace auditcodec
