// varnholt-nodesim: framing and decoding of what the service sends back.
//
// The service answers a test keep-alive with the 14 bytes of the test mark, a
// keep-alive with 46 bytes (its header with m_DataLen 46 and a zero word), a
// successful snapshot with 74 bytes (its header with m_DataLen 74 and the MD5
// text), the begin and end of an audit-file upload with a 75-byte transaction
// reply (log type 13) and a completed upload additionally with a 930-byte
// audit record reply (log type 14). Anything else is shown as a hex dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nodesim {

struct Reply {
    enum Type {
        TestEcho,
        KeepAliveReply,
        InfoSyncReply,
        AuditTransactionReply,
        AuditRecordReply,
        OtherPacket,
        Unknown
    } type = Unknown;
    std::vector<std::uint8_t> bytes;  // as received (still inverted when the flag at 41 is set)
};

// Audit-file replies: sizes and log type codes.
constexpr std::uint32_t kAuditTransactionReplySize = 75;
constexpr std::uint32_t kAuditTransactionReplyType = 13;
constexpr std::uint32_t kAuditRecordReplySize = 930;
constexpr std::uint32_t kAuditRecordReplyType = 14;

// Fields of a transaction reply, inversion undone.
struct AuditTransactionInfo {
    bool inverted = false;
    std::uint32_t request42 = 0;  // request bytes 42..45, echoed
    std::uint32_t request46 = 0;  // request bytes 46..49, echoed
    std::uint32_t result = 0;     // 0 success, 1 failure
    std::uint32_t status = 0;     // see AuditStatusText
    std::uint32_t typeWord = 0;   // always 12
    std::uint32_t fileId = 0;
    std::uint32_t firstMissing = 0;  // status 5 only
    std::uint32_t missingCount = 0;  // status 5 only
    std::uint8_t tail = 0;           // byte 74, zero
};

// Fields of an audit record reply, inversion undone.
struct AuditRecordInfo {
    bool inverted = false;
    std::uint32_t groupId = 0;
    std::string userName;
    std::string clientPath;
    std::uint64_t sourceSize = 0;
    std::string sha1Text;  // 40 upper-case hexadecimal digits
};

// False when r is not a reply of that kind.
bool DecodeAuditTransaction(const Reply& r, AuditTransactionInfo& out);
bool DecodeAuditRecord(const Reply& r, AuditRecordInfo& out);
// Meaning of a transaction reply's status code.
const char* AuditStatusText(std::uint32_t status);

class ReplyParser {
public:
    void Feed(const std::uint8_t* data, size_t size);
    // Takes the next complete reply off the stream. With flush, bytes that do
    // not (yet) form a reply are returned as Unknown instead of being kept.
    bool Next(Reply& out, bool flush);
    bool HasPending() const { return !buf_.empty(); }

private:
    size_t NextSyncPoint(size_t from) const;
    std::vector<std::uint8_t> buf_;
};

// Human-readable description of a reply (one or more lines, no final newline).
std::string Describe(const Reply& r);
// Hex dump, 16 bytes a line, at most max bytes.
std::string HexDump(const std::uint8_t* data, size_t size, size_t max = 512);
// The MD5 text of an info-sync reply (up to the first NUL).
std::string ReplyMd5(const Reply& r);

}  // namespace nodesim
