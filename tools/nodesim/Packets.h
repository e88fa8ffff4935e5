// varnholt-nodesim: building the packets a gateway node sends.
//
// The layouts come from protocol/PacketFormat.h; this file only fills them
// from the simulator's settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/PacketFormat.h"

namespace nodesim {

using Bytes = std::vector<std::uint8_t>;

// What a packet is made of.
enum class Kind {
    KeepAlive,
    TestKeepAlive,
    User,
    UserV2,
    UserV3,
    Audit,
    Admin,
    Alarm,
    System,
    SyncAdmin,
    SyncUser,
    SyncDevice,
    RawCode,  // header + zero record under an arbitrary log type code
};

// How the MD5 of a snapshot is written into the packet.
enum class Md5Form { Lower, Upper, NoZero, Wrong, Literal };

// Field values of the packets. Set from the command line; they stay in force
// for every later packet until they are changed again.
struct Fields {
    int markKind = 1;  // 1 "logs1111", 2 "logs0500"
    std::uint8_t identity[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    std::optional<std::uint32_t> date;  // year << 16 | month << 8 | day; unset: today
    std::optional<std::uint32_t> time;  // hour << 16 | minute << 8 | second; unset: now
    std::uint8_t reserved = 0;
    bool invert = false;

    // keep-alive
    std::int32_t devType = 0;
    std::uint32_t devIpNet = 0;  // set in the constructor
    // flux (keep-alive and user logs)
    std::int64_t up = 1000;
    std::int64_t down = 2000;
    std::optional<std::int64_t> rawUp;
    std::optional<std::int64_t> rawDown;

    // user logs
    std::uint32_t group = 10;
    std::int32_t action = 0;
    std::int32_t result = 0;
    std::uint32_t clientNet = 0;
    std::int32_t service = 1;
    std::uint32_t serverNet = 0;
    std::uint16_t port = 80;
    std::string user = "alice";
    std::string name2;
    std::int32_t attr = 0;
    std::int32_t auth = 0;

    // administrator and audit logs
    std::uint32_t adminGroup = 1;
    std::string admin = "admin";
    std::int32_t entity = 0;
    std::uint32_t addressNet = 0;

    // alarm and system logs
    std::int32_t alarmType = 0;
    std::int32_t level = 0;
    std::int32_t process = 0;

    std::optional<std::string> message;  // unset: "nodesim <type> log"

    // snapshots
    Md5Form md5Form = Md5Form::Lower;
    std::string md5Literal;
    std::string adminXmlFile;  // empty: built-in sample
    std::string userXmlFile;
    std::string deviceXmlFile;

    Fields();
};

// Deviations that apply to one packet only.
struct Overrides {
    std::optional<std::uint32_t> dataLen;     // value of m_DataLen
    std::optional<std::uint32_t> size;        // bytes actually sent
    std::optional<std::uint32_t> code;        // log type code
    std::optional<std::uint32_t> updateType;  // info-sync update type
};

// A built packet and what it is expected to bring back.
struct Built {
    Bytes bytes;
    std::string summary;
    int expectedReplies = 0;
    std::string md5Sent;  // snapshots: the text in the packet
};

// Builds one packet. Snapshot content is passed in (already read from its
// file or taken from the samples).
Built BuildPacket(Kind kind, const Fields& f, const Overrides& o, const std::string& snapshot = {});

// Natural packet size of a kind (m_DataLen without overrides); snapshots: 0.
std::uint32_t NaturalSize(Kind kind);

// Parsing helpers shared by the command line.
std::optional<Kind> KindFromName(const std::string& name);
std::string KindName(Kind kind);
bool ParseIdentity(const std::string& text, std::uint8_t out[16]);
std::string IdentityHex(const std::uint8_t id[16]);
bool ParseIpv4(const std::string& text, std::uint32_t& net);
std::string Ipv4Text(std::uint32_t net);

// MD5 of bytes as lower-case hexadecimal (32 characters).
std::string Md5Hex(const std::string& data);
// The text written into a snapshot packet for a given form.
std::string Md5Text(const std::string& data, Md5Form form, const std::string& literal);

}  // namespace nodesim
