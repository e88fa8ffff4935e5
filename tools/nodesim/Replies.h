// varnholt-nodesim: framing and decoding of what the service sends back.
//
// The service answers a test keep-alive with the 14 bytes of the test mark, a
// keep-alive with 46 bytes (its header with m_DataLen 46 and a zero word) and
// a successful snapshot with 74 bytes (its header with m_DataLen 74 and the
// MD5 text). Anything else is shown as a hex dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nodesim {

struct Reply {
    enum Type { TestEcho, KeepAliveReply, InfoSyncReply, OtherPacket, Unknown } type = Unknown;
    std::vector<std::uint8_t> bytes;
};

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
