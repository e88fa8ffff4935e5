// Byte layouts of the local info query: a client on the same machine sends a
// 24-byte InfoQueryHeader (sign "INFOQRY") to 127.0.0.1:ListenPort; the
// service answers a log merge query (type 1) with a 28-byte InfoReplyHeader
// (sign "INFORLY") followed by the 72-byte InfoLogMergeReplyData, and a loss
// accounting query (type 2) with the header followed by
// InfoAccountingReplyHead and its u64 counters, and a nodes query (type 3)
// with the header, InfoNodesReplyHead and one InfoNodeRecord per registered
// node.
//
// Integers are little-endian, u64 values low word first, and the structures
// are packed. The header is shared by the service and varnholt-info, so it
// depends on nothing but the standard library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

static_assert(std::endian::native == std::endian::little,
              "the info query is sent in host order, which must be little-endian");

namespace infoquery {

constexpr std::uint16_t kDefaultListenPort = 9509;
constexpr std::uint32_t kQueryTypeLogMerge = 1;
constexpr std::uint32_t kQueryTypeAccounting = 2;
constexpr std::uint32_t kQueryTypeNodes = 3;
// Node kinds of InfoNodeRecord::accepted, in order.
constexpr const char* kNodeLogKinds[5] = {"user", "system", "alarm", "admin", "audit"};
constexpr std::uint32_t kReplyVersion = 1;
// Signs are eight bytes: the text and its terminating zero.
constexpr char kQuerySign[8] = "INFOQRY";
constexpr char kReplySign[8] = "INFORLY";

// Percentage of the merge buffers in use, used * 100 / total in integer
// division, 0 when nothing is used or there is no buffer. Computed in 64 bits:
// the product overflows 32 bits once more than about 41 MiB are in use,
// which the buffers of a few dozen nodes reach. Saturates at the u32 maximum
// (the use is an estimate and may pass the buffer size).
constexpr std::uint32_t MergeUsagePercent(std::uint64_t usedBytes, std::uint64_t totalBytes) {
    if (usedBytes == 0 || totalBytes == 0) return 0;
    const std::uint64_t percent = usedBytes * 100 / totalBytes;
    return percent > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                              : static_cast<std::uint32_t>(percent);
}

// A byte count for a u32 field: values above 0xFFFFFFFF read 0xFFFFFFFF.
constexpr std::uint32_t ClampToU32(std::uint64_t value) {
    return value > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                            : static_cast<std::uint32_t>(value);
}

}  // namespace infoquery

#pragma pack(push, 1)

// Request. Only the size, the sign and the query type are read.
struct InfoQueryHeader {
    std::uint32_t headerSize;  // 24
    char sign[8];              // "INFOQRY\0"
    std::uint32_t reserved1;
    std::uint32_t queryType;  // 1: log merge information, 2: loss accounting
    std::uint32_t reserved2;
};

struct InfoReplyHeader {
    std::uint32_t headerSize;  // 28
    char sign[8];              // "INFORLY\0"
    std::uint32_t version;     // always 1
    std::uint32_t queryType;   // the query type answered
    std::uint32_t reserved;    // 0
    std::uint32_t dataSize;    // bytes that follow: 72 for query type 1
};

// Reply data of query type 1. The per-kind enable fields read 0 whenever
// merging is off globally, whatever their own keys say.
struct InfoLogMergeReplyData {
    std::uint32_t version;              // always 1
    std::uint32_t globalMergeEnable;    // Global EnableLogMerge as configured
    std::uint64_t allLogs;              // every log dispatched by a record task
    std::uint64_t mergedTotal;          // logs merged or dropped by the mergers, all kinds
    std::uint32_t bufferTotalBytes;     // size of every merge buffer of the started mergers
    std::uint32_t bufferCount;          // merge buffers of the started mergers
    std::uint32_t bufferUsagePercent;   // MergeUsagePercent of their estimated use
    std::uint32_t userMergeEnable;      // UserLog EnableLogMerge
    std::uint64_t userLogsMerged;       // repeated service accesses and web-filtered logs
    std::uint32_t flowMergeEnable;      // FlowLog EnableLogMerge
    std::uint64_t flowLogsMerged;
    std::uint32_t sysMergeEnable;       // SysLog EnableLogMerge
    std::uint64_t sysLogsMerged;
};

// Reply data of query type 2: this head, then counterCount u64 counters in
// the order of loss::Counter (core/LossAccounting.h). Counters added later
// come after the known ones, so a client reads the ones it knows.
struct InfoAccountingReplyHead {
    std::uint32_t version;       // always 1
    std::uint32_t counterCount;  // u64 values that follow
};

// Reply data of query type 3: this head, then nodeCount records of
// recordSize bytes each (a client reads the fields it knows of a longer
// record). Every node of dev_node is listed, connected or not.
struct InfoNodesReplyHead {
    std::uint32_t version;             // always 1
    std::uint32_t nodeCount;
    std::uint32_t recordSize;          // sizeof(InfoNodeRecord) in this version
    std::uint32_t diskFull;            // ISFULL of Zelk.conf
    std::uint64_t importBacklogFiles;  // data files waiting for import
    std::uint64_t importBacklogBytes;
    std::uint64_t importedFiles;       // data files loaded since the start
    std::int64_t now;                  // the service's clock when it answered, Unix seconds
};

struct InfoNodeRecord {
    char name[100];                // node_name, zero-terminated
    std::uint32_t connections;     // connections identified as the node now
    std::uint64_t accepted[5];     // logs accepted, by kind (kNodeLogKinds)
    std::uint64_t receivedBytes;   // bytes of the packets handled
    std::uint64_t refused;         // packets refused before dispatch
    std::int64_t lastPacket;       // Unix seconds, 0 = never
    std::int64_t lastKeepAlive;    // idem
    std::int64_t lastStored;       // a row of its database reached MySQL; idem
    // When the oldest log of its database that is not yet in MySQL came
    // (merge buffer, data file, SQL cache or spool file); Unix seconds, 0 =
    // none. Nodes sharing a database share it.
    std::int64_t oldestPending;
};

#pragma pack(pop)

static_assert(sizeof(InfoQueryHeader) == 24);
static_assert(offsetof(InfoQueryHeader, sign) == 4 && offsetof(InfoQueryHeader, queryType) == 16);
static_assert(sizeof(InfoReplyHeader) == 28);
static_assert(offsetof(InfoReplyHeader, queryType) == 16 && offsetof(InfoReplyHeader, dataSize) == 24);
static_assert(sizeof(InfoLogMergeReplyData) == 72);
static_assert(sizeof(InfoAccountingReplyHead) == 8);
static_assert(sizeof(InfoNodesReplyHead) == 48);
static_assert(sizeof(InfoNodeRecord) == 192);
static_assert(offsetof(InfoNodesReplyHead, now) == 40 && offsetof(InfoNodeRecord, oldestPending) == 184);
static_assert(offsetof(InfoLogMergeReplyData, allLogs) == 8 && offsetof(InfoLogMergeReplyData, bufferTotalBytes) == 24);
static_assert(offsetof(InfoLogMergeReplyData, userMergeEnable) == 36 &&
              offsetof(InfoLogMergeReplyData, userLogsMerged) == 40);
static_assert(offsetof(InfoLogMergeReplyData, flowMergeEnable) == 48 &&
              offsetof(InfoLogMergeReplyData, flowLogsMerged) == 52);
static_assert(offsetof(InfoLogMergeReplyData, sysMergeEnable) == 60 &&
              offsetof(InfoLogMergeReplyData, sysLogsMerged) == 64);
