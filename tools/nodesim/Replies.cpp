// varnholt-nodesim: framing and decoding of what the service sends back.
#include "tools/nodesim/Replies.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "protocol/PacketFormat.h"
#include "tools/nodesim/Packets.h"

namespace nodesim {

namespace {

// Largest packet-shaped reply we wait for; a larger length is not a reply.
constexpr std::uint32_t kMaxReplyPacket = 16u << 20;

bool PrefixOf(const std::vector<std::uint8_t>& buf, size_t at, const char* pattern, size_t len) {
    const size_t n = std::min(buf.size() - at, len);
    return std::memcmp(buf.data() + at, pattern, n) == 0;
}

bool MarkPrefix(const std::vector<std::uint8_t>& buf, size_t at) {
    return PrefixOf(buf, at, packet::kMarkV1, packet::kMarkSize) ||
           PrefixOf(buf, at, packet::kMarkV2, packet::kMarkSize);
}

std::string HeaderText(const std::uint8_t* p) {
    packet::PacketHeader h;
    std::memcpy(&h, p, sizeof h);
    std::string node;
    if (packet::HasTestMark(p)) {
        node = "\"ZZORBBIINNTEST\"";
    } else {
        node = IdentityHex(h.identity);
    }
    const std::uint32_t date = packet::ReadU32Net(&h.logDateNet);
    const std::uint32_t time = packet::ReadU32Net(&h.logTimeNet);
    char text[320];
    std::snprintf(text, sizeof text,
                  "mark %.8s, node %s, log type %u, m_DataLen %u, date %04u-%02u-%02u, time %02u:%02u:%02u, "
                  "reserved %u, inverted %u",
                  h.mark, node.c_str(), h.logType, h.m_DataLen, date >> 16, (date >> 8) & 0xFF, date & 0xFF, time >> 16,
                  (time >> 8) & 0xFF, time & 0xFF, h.reserved, h.inverted);
    return text;
}

// A copy of a reply packet with the sender's inversion of bytes 42.. undone.
std::vector<std::uint8_t> Uninverted(const Reply& r) {
    std::vector<std::uint8_t> b = r.bytes;
    if (b.size() > packet::kHeaderSize && b[offsetof(packet::PacketHeader, inverted)] != 0) {
        packet::InvertRecord(b.data(), static_cast<std::uint32_t>(b.size()));
    }
    return b;
}

// Text of a fixed field: up to its first NUL, at most size bytes.
std::string FieldText(const std::uint8_t* p, size_t size) {
    const char* c = reinterpret_cast<const char*>(p);
    return std::string(c, strnlen(c, size));
}

std::string DescribeAuditTransaction(const Reply& r) {
    AuditTransactionInfo t;
    if (!DecodeAuditTransaction(r, t)) return {};
    char text[512];
    int n = std::snprintf(text, sizeof text,
                          "\n    result %u (%s), status %u (%s), file ID %u, request words %u %u, word 58 = %u",
                          t.result, t.result == 0 ? "success" : t.result == 1 ? "failure" : "?", t.status,
                          AuditStatusText(t.status), t.fileId, t.request42, t.request46, t.typeWord);
    if (t.status == 5 || t.firstMissing != 0 || t.missingCount != 0) {
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n),
                           ", first missing block %u, missing blocks %u", t.firstMissing, t.missingCount);
    }
    if (t.tail != 0) std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ", byte 74 = %u", t.tail);
    return "audit transaction reply (75 bytes): " + HeaderText(r.bytes.data()) +
           (t.inverted ? " (inversion undone)" : "") + text;
}

std::string DescribeAuditRecord(const Reply& r) {
    AuditRecordInfo a;
    if (!DecodeAuditRecord(r, a)) return {};
    char text[128];
    std::snprintf(text, sizeof text, "\", group %d, source size %llu", static_cast<std::int32_t>(a.groupId),
                  static_cast<unsigned long long>(a.sourceSize));
    return "audit record reply (930 bytes): " + HeaderText(r.bytes.data()) + (a.inverted ? " (inversion undone)" : "") +
           "\n    user \"" + a.userName + text + "\n    path \"" + a.clientPath + "\"\n    sha1 \"" + a.sha1Text + "\"";
}

}  // namespace

void ReplyParser::Feed(const std::uint8_t* data, size_t size) { buf_.insert(buf_.end(), data, data + size); }

size_t ReplyParser::NextSyncPoint(size_t from) const {
    for (size_t i = from; i < buf_.size(); ++i) {
        if (MarkPrefix(buf_, i) || PrefixOf(buf_, i, packet::kTestMark, packet::kTestMarkSize)) return i;
    }
    return buf_.size();
}

bool ReplyParser::Next(Reply& out, bool flush) {
    if (buf_.empty()) return false;
    auto take = [&](Reply::Type type, size_t n) {
        out.type = type;
        out.bytes.assign(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
        return true;
    };
    if (PrefixOf(buf_, 0, packet::kTestMark, packet::kTestMarkSize)) {
        if (buf_.size() >= packet::kTestMarkSize) return take(Reply::TestEcho, packet::kTestMarkSize);
        return flush ? take(Reply::Unknown, buf_.size()) : false;
    }
    if (MarkPrefix(buf_, 0)) {
        if (buf_.size() < packet::kHeaderSize) return flush ? take(Reply::Unknown, buf_.size()) : false;
        const std::uint32_t len = packet::ReadU32(buf_.data() + 28);
        if (len >= packet::kHeaderSize && len <= kMaxReplyPacket) {
            if (buf_.size() < len) return flush ? take(Reply::Unknown, buf_.size()) : false;
            if (len == packet::kKeepAliveReplySize) return take(Reply::KeepAliveReply, len);
            if (len == packet::kInfoSyncReplySize) return take(Reply::InfoSyncReply, len);
            const std::uint32_t type = packet::ReadU32(buf_.data() + offsetof(packet::PacketHeader, logType));
            if (len == kAuditTransactionReplySize && type == kAuditTransactionReplyType) {
                return take(Reply::AuditTransactionReply, len);
            }
            if (len == kAuditRecordReplySize && type == kAuditRecordReplyType) return take(Reply::AuditRecordReply, len);
            return take(Reply::OtherPacket, len);
        }
        return take(Reply::Unknown, NextSyncPoint(1));
    }
    return take(Reply::Unknown, NextSyncPoint(1));
}

std::string HexDump(const std::uint8_t* data, size_t size, size_t max) {
    std::string s;
    const size_t shown = std::min(size, max);
    char line[128];
    for (size_t off = 0; off < shown; off += 16) {
        int n = std::snprintf(line, sizeof line, "    %04zx  ", off);
        std::string l(line, static_cast<size_t>(n));
        std::string chars;
        for (size_t i = 0; i < 16; ++i) {
            if (off + i < shown) {
                std::snprintf(line, sizeof line, "%02x ", data[off + i]);
                l += line;
                const std::uint8_t c = data[off + i];
                chars += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
            } else {
                l += "   ";
            }
        }
        if (!s.empty()) s += '\n';
        s += l + " |" + chars + "|";
    }
    if (shown < size) {
        std::snprintf(line, sizeof line, "\n    ... %zu more bytes", size - shown);
        s += line;
    }
    return s;
}

std::string ReplyMd5(const Reply& r) {
    if (r.bytes.size() < packet::kInfoSyncReplySize) return {};
    const char* p = reinterpret_cast<const char*>(r.bytes.data()) + packet::kHeaderSize;
    return std::string(p, strnlen(p, 32));
}

bool DecodeAuditTransaction(const Reply& r, AuditTransactionInfo& out) {
    if (r.type != Reply::AuditTransactionReply || r.bytes.size() != kAuditTransactionReplySize) return false;
    const std::vector<std::uint8_t> b = Uninverted(r);
    out.inverted = b[offsetof(packet::PacketHeader, inverted)] != 0;
    out.request42 = packet::ReadU32(b.data() + 42);
    out.request46 = packet::ReadU32(b.data() + 46);
    out.result = packet::ReadU32(b.data() + 50);
    out.status = packet::ReadU32(b.data() + 54);
    out.typeWord = packet::ReadU32(b.data() + 58);
    out.fileId = packet::ReadU32Net(b.data() + 62);
    out.firstMissing = packet::ReadU32(b.data() + 66);
    out.missingCount = packet::ReadU32(b.data() + 70);
    out.tail = b[74];
    return true;
}

bool DecodeAuditRecord(const Reply& r, AuditRecordInfo& out) {
    if (r.type != Reply::AuditRecordReply || r.bytes.size() != kAuditRecordReplySize) return false;
    const std::vector<std::uint8_t> b = Uninverted(r);
    out.inverted = b[offsetof(packet::PacketHeader, inverted)] != 0;
    out.groupId = packet::ReadU32Net(b.data() + 42);
    out.userName = FieldText(b.data() + 46, 100);
    out.clientPath = FieldText(b.data() + 146, 520);
    // Source size: low 32 bits, then high 32 bits, little-endian.
    out.sourceSize = static_cast<std::uint64_t>(packet::ReadU32(b.data() + 670)) << 32 | packet::ReadU32(b.data() + 666);
    out.sha1Text = FieldText(b.data() + 674, 256);
    return true;
}

const char* AuditStatusText(std::uint32_t status) {
    switch (status) {
        case 0: return "success";
        case 2: return "file incomplete, missing range not in blocks";
        case 3: return "no disk space or sizing the stored file failed";
        case 4: return "writing the database row failed";
        case 5: return "file incomplete, missing blocks given";
        case 6: return "failure";
        case 7: return "no audit file record could be created";
    }
    return "unknown status";
}

std::string Describe(const Reply& r) {
    char text[128];
    switch (r.type) {
        case Reply::TestEcho: return "test echo \"ZZORBBIINNTEST\" (14 bytes)";
        case Reply::KeepAliveReply: {
            const std::uint32_t tail = packet::ReadU32(r.bytes.data() + packet::kHeaderSize);
            std::snprintf(text, sizeof text, ", tail word %u", tail);
            return "keep-alive reply (46 bytes): " + HeaderText(r.bytes.data()) + text;
        }
        case Reply::InfoSyncReply:
            return "info-sync reply (74 bytes): " + HeaderText(r.bytes.data()) + ", md5 \"" + ReplyMd5(r) + "\"";
        case Reply::AuditTransactionReply: return DescribeAuditTransaction(r);
        case Reply::AuditRecordReply: return DescribeAuditRecord(r);
        case Reply::OtherPacket:
            std::snprintf(text, sizeof text, "packet (%zu bytes): ", r.bytes.size());
            return text + HeaderText(r.bytes.data()) + "\n" +
                   HexDump(r.bytes.data() + packet::kHeaderSize, r.bytes.size() - packet::kHeaderSize);
        case Reply::Unknown:
            std::snprintf(text, sizeof text, "%zu unframed bytes:\n", r.bytes.size());
            return text + HexDump(r.bytes.data(), r.bytes.size());
    }
    return {};
}

}  // namespace nodesim
