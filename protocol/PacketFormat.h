// The byte stream of a gateway node: packet header, record layouts, the
// inversion, and the replies.
//
// Every packet is a 42-byte header followed by a record whose layout depends
// on the log type. Offsets below are from the first byte of the packet.
// Integers are little-endian unless marked network order. Text fields are
// fixed-size byte arrays holding a NUL-terminated UTF-8 string (a field of N
// bytes holds at most N - 1 bytes of text). Records are packed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace packet {

constexpr char kMarkV1[] = "logs1111";  // packet kind 1
constexpr char kMarkV2[] = "logs0500";  // packet kind 2
constexpr size_t kMarkSize = 8;
constexpr char kTestMark[] = "ZZORBBIINNTEST";
constexpr size_t kTestMarkSize = 14;

enum LogType : std::uint32_t {
    LOG_KEEPALIVE = 0,
    LOG_USER = 1,
    LOG_AUDIT = 2,
    LOG_ADMIN = 3,
    LOG_ALARM = 4,
    LOG_LOGUDTDB = 5,
    LOG_SYSTEM = 8,
    LOG_USER_V2 = 10,
    LOG_USER_V3 = 11,
    LOG_USER_AUDIT_FILE = 12,
    LOG_TYPE_COUNT = 16,
};

#pragma pack(push, 1)

struct PacketHeader {
    char mark[8];
    std::uint8_t identity[16];
    std::uint32_t logType;
    std::uint32_t m_DataLen;   // whole packet, header included
    std::uint32_t logDateNet;  // network order: year << 16 | month << 8 | day
    std::uint32_t logTimeNet;  // network order: hour << 16 | minute << 8 | second
    std::uint8_t reserved;
    std::uint8_t inverted;     // non-zero: every record byte is XOR 0xFF
};

struct KeepAliveRecord {
    PacketHeader header;
    std::uint32_t deviceAddressNet;
    std::int32_t devType;  // 0..2
    std::int32_t upFlux;
    std::int32_t downFlux;
};

// Fields 42..275, the same in the three user record versions.
struct UserCommon {
    std::uint32_t groupId;
    std::int32_t action;      // 0..6; 2 flow, 3 resource access
    std::int32_t result;      // 0..2
    std::uint32_t clientAddressNet;
    std::int32_t serviceType;  // 0..3
    std::uint32_t serverAddressNet;
    std::uint16_t serverPortNet;
    char userName[100];
    char secondName[100];
    std::int32_t serverAttribute;  // 0..1
    std::int32_t authMethod;       // 0..1023
};

struct UserRecordV1 {
    PacketHeader header;
    UserCommon common;
    std::int32_t upFlux;
    std::int32_t downFlux;
    char message[512];
};

struct UserRecordV2 {
    PacketHeader header;
    UserCommon common;
    std::int32_t upFlux;
    std::int32_t downFlux;
    std::int32_t rawUpFlux;
    std::int32_t rawDownFlux;
    char message[512];
};

struct UserRecordV3 {
    PacketHeader header;
    UserCommon common;
    std::int64_t upFlux;
    std::int64_t downFlux;
    std::int64_t rawUpFlux;
    std::int64_t rawDownFlux;
    char message[512];
    std::uint32_t reserved;
};

struct AuditRecord {
    PacketHeader header;
    std::uint8_t unused1[68];
    std::uint32_t addressNet;
    std::uint8_t unused2[4];
    char message[152];
};

struct AdminRecord {
    PacketHeader header;
    std::uint32_t groupId;
    std::int32_t action;  // 0..6
    std::int32_t entity;  // 0..15
    std::int32_t result;  // 0..2
    std::uint32_t addressNet;
    char adminName[100];
    char message[512];
};

struct AlarmRecord {
    PacketHeader header;
    std::int32_t alarmType;  // 0..12
    char message[5120];
};

struct SystemRecord {
    PacketHeader header;
    std::uint8_t unused[4];
    std::int32_t level;    // 0..4
    std::int32_t process;  // 0..603
    char message[512];
};

struct InfoSyncHeader {
    PacketHeader header;
    std::uint32_t updateType;  // 0 administrators, 1 users, 2 devices
    char md5Text[32];          // hexadecimal, any case, NUL-padded
};

struct KeepAliveReply {
    PacketHeader header;  // the received header with m_DataLen = 46
    std::uint32_t zero;
};

struct InfoSyncReply {
    PacketHeader header;  // the received header with m_DataLen = 74
    char md5Text[32];
};

#pragma pack(pop)

constexpr std::uint32_t kHeaderSize = 42;
constexpr std::uint32_t kKeepAliveSize = 58;
constexpr std::uint32_t kUserSize = 796;
constexpr std::uint32_t kUserV2Size = 804;
constexpr std::uint32_t kUserV3Size = 824;
constexpr std::uint32_t kAuditSize = 270;
constexpr std::uint32_t kAdminSize = 674;
constexpr std::uint32_t kAlarmSize = 5166;
constexpr std::uint32_t kSystemSize = 566;
constexpr std::uint32_t kInfoSyncMinSize = 78;
constexpr std::uint32_t kUserAuditFileMinSize = 719;
constexpr std::uint32_t kKeepAliveReplySize = 46;
constexpr std::uint32_t kInfoSyncReplySize = 74;
// Audit-file transaction fields checked by the record task.
constexpr std::uint32_t kAuditFileOpTypeOffset = 154;
constexpr std::uint32_t kAuditFileExtraSizeOffset = 710;

static_assert(sizeof(PacketHeader) == kHeaderSize);
static_assert(offsetof(PacketHeader, logType) == 24 && offsetof(PacketHeader, m_DataLen) == 28);
static_assert(offsetof(PacketHeader, logDateNet) == 32 && offsetof(PacketHeader, inverted) == 41);
static_assert(sizeof(KeepAliveRecord) == kKeepAliveSize);
static_assert(offsetof(UserRecordV1, common) + offsetof(UserCommon, userName) == 68);
static_assert(offsetof(UserRecordV1, common) + offsetof(UserCommon, serverAttribute) == 268);
static_assert(offsetof(UserRecordV1, common) + offsetof(UserCommon, authMethod) == 272);
static_assert(offsetof(UserRecordV1, message) == 284 && sizeof(UserRecordV1) == kUserSize);
static_assert(offsetof(UserRecordV2, message) == 292 && sizeof(UserRecordV2) == kUserV2Size);
static_assert(offsetof(UserRecordV3, upFlux) == 276 && offsetof(UserRecordV3, message) == 308);
static_assert(sizeof(UserRecordV3) == kUserV3Size);
static_assert(offsetof(AuditRecord, addressNet) == 110 && offsetof(AuditRecord, message) == 118);
static_assert(sizeof(AuditRecord) == kAuditSize);
static_assert(offsetof(AdminRecord, adminName) == 62 && offsetof(AdminRecord, message) == 162);
static_assert(sizeof(AdminRecord) == kAdminSize);
static_assert(offsetof(AlarmRecord, message) == 46 && sizeof(AlarmRecord) == kAlarmSize);
static_assert(offsetof(SystemRecord, level) == 46 && offsetof(SystemRecord, message) == 54);
static_assert(sizeof(SystemRecord) == kSystemSize);
static_assert(offsetof(InfoSyncHeader, md5Text) == 46 && sizeof(InfoSyncHeader) == kInfoSyncMinSize);
static_assert(sizeof(KeepAliveReply) == kKeepAliveReplySize && sizeof(InfoSyncReply) == kInfoSyncReplySize);

// Packet kind of the 8 bytes at p: 1, 2, or 0 when they are no mark.
inline int MarkKind(const void* p) {
    if (std::memcmp(p, kMarkV1, kMarkSize) == 0) return 1;
    if (std::memcmp(p, kMarkV2, kMarkSize) == 0) return 2;
    return 0;
}

// Unaligned little-endian and network-order reads and writes.
inline std::uint32_t ReadU32(const void* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline std::uint32_t ReadU32Net(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
           static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}
inline std::uint16_t ReadU16Net(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}
inline void WriteU32Net(void* p, std::uint32_t v) {
    auto* b = static_cast<std::uint8_t*>(p);
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
}
inline void WriteU16Net(void* p, std::uint16_t v) {
    auto* b = static_cast<std::uint8_t*>(p);
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v);
}

// Network-to-host conversion of a value read as a host integer.
inline std::uint32_t NetToHost32(std::uint32_t v) {
    std::uint8_t b[4];
    std::memcpy(b, &v, 4);
    return ReadU32Net(b);
}
inline std::uint16_t NetToHost16(std::uint16_t v) {
    std::uint8_t b[2];
    std::memcpy(b, &v, 2);
    return ReadU16Net(b);
}

// True when the identity field carries the 14-byte connection-test mark.
inline bool HasTestMark(const void* packet) {
    return std::memcmp(static_cast<const std::uint8_t*>(packet) + 8, kTestMark, kTestMarkSize) == 0;
}

// Undoes (or applies) the sender's inversion of the record bytes.
inline void InvertRecord(void* packet, std::uint32_t length) {
    auto* b = static_cast<std::uint8_t*>(packet) + kHeaderSize;
    for (std::uint32_t i = 0; i + kHeaderSize < length; ++i) b[i] ^= 0xFF;
}

}  // namespace packet
