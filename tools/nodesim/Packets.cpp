// varnholt-nodesim: building the packets a gateway node sends.
#include "tools/nodesim/Packets.h"

#include <arpa/inet.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace nodesim {

namespace {

constexpr std::uint32_t kRawRecordSize = 16;

std::uint32_t NowDate() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return static_cast<std::uint32_t>(tm.tm_year + 1900) << 16 | static_cast<std::uint32_t>(tm.tm_mon + 1) << 8 |
           static_cast<std::uint32_t>(tm.tm_mday);
}

std::uint32_t NowTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return static_cast<std::uint32_t>(tm.tm_hour) << 16 | static_cast<std::uint32_t>(tm.tm_min) << 8 |
           static_cast<std::uint32_t>(tm.tm_sec);
}

// Copies text into a fixed field, keeping room for the terminating NUL.
template <size_t N>
void PutText(char (&field)[N], const std::string& text) {
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

void FillHeader(packet::PacketHeader& h, const Fields& f, std::uint32_t logType, std::uint32_t length) {
    std::memcpy(h.mark, f.markKind == 2 ? packet::kMarkV2 : packet::kMarkV1, packet::kMarkSize);
    std::memcpy(h.identity, f.identity, sizeof h.identity);
    h.logType = logType;
    h.m_DataLen = length;
    packet::WriteU32Net(&h.logDateNet, f.date.value_or(NowDate()));
    packet::WriteU32Net(&h.logTimeNet, f.time.value_or(NowTime()));
    h.reserved = f.reserved;
    h.inverted = 0;
}

template <typename Record>
Bytes ToBytes(const Record& r) {
    Bytes b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

void FillUserCommon(packet::UserCommon& c, const Fields& f) {
    c.groupId = f.group;
    c.action = f.action;
    c.result = f.result;
    c.clientAddressNet = f.clientNet;
    c.serviceType = f.service;
    c.serverAddressNet = f.serverNet;
    packet::WriteU16Net(&c.serverPortNet, f.port);
    PutText(c.userName, f.user);
    PutText(c.secondName, f.name2);
    c.serverAttribute = f.attr;
    c.authMethod = f.auth;
}

std::string Message(const Fields& f, const char* type) {
    return f.message ? *f.message : std::string("nodesim ") + type + " log";
}

std::string LowerForm(const unsigned char* d) {
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", d[i]);
    return std::string(text, 32);
}

std::string NoZeroForm(const unsigned char* d) {
    std::string s;
    char part[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(part, sizeof part, "%x", d[i]);
        s += part;
    }
    return s;
}

bool Digest(const std::string& data, unsigned char out[16]) {
    unsigned int len = 0;
    return EVP_Digest(data.data(), data.size(), out, &len, EVP_md5(), nullptr) == 1 && len == 16;
}

}  // namespace

Fields::Fields() {
    ParseIpv4("192.168.1.1", devIpNet);
    ParseIpv4("10.0.0.5", clientNet);
    ParseIpv4("10.0.0.9", serverNet);
    ParseIpv4("10.0.0.1", addressNet);
}

std::uint32_t NaturalSize(Kind kind) {
    switch (kind) {
        case Kind::KeepAlive:
        case Kind::TestKeepAlive: return packet::kKeepAliveSize;
        case Kind::User: return packet::kUserSize;
        case Kind::UserV2: return packet::kUserV2Size;
        case Kind::UserV3: return packet::kUserV3Size;
        case Kind::Audit: return packet::kAuditSize;
        case Kind::Admin: return packet::kAdminSize;
        case Kind::Alarm: return packet::kAlarmSize;
        case Kind::System: return packet::kSystemSize;
        case Kind::RawCode: return packet::kHeaderSize + kRawRecordSize;
        case Kind::SyncAdmin:
        case Kind::SyncUser:
        case Kind::SyncDevice: return 0;
    }
    return 0;
}

std::string Md5Hex(const std::string& data) {
    unsigned char d[16];
    if (!Digest(data, d)) return std::string(32, '0');
    return LowerForm(d);
}

std::string Md5Text(const std::string& data, Md5Form form, const std::string& literal) {
    unsigned char d[16];
    if (!Digest(data, d)) std::memset(d, 0, sizeof d);
    switch (form) {
        case Md5Form::Lower: return LowerForm(d);
        case Md5Form::Upper: {
            std::string s = LowerForm(d);
            for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return s;
        }
        case Md5Form::NoZero: return NoZeroForm(d);
        case Md5Form::Wrong: {
            std::string s = LowerForm(d);
            s[31] = s[31] == '0' ? '1' : '0';
            return s;
        }
        case Md5Form::Literal: return literal.substr(0, 32);
    }
    return LowerForm(d);
}

Built BuildPacket(Kind kind, const Fields& f, const Overrides& o, const std::string& snapshot) {
    Built out;
    std::uint32_t logType = 0;
    switch (kind) {
        case Kind::KeepAlive:
        case Kind::TestKeepAlive: {
            packet::KeepAliveRecord r{};
            FillHeader(r.header, f, packet::LOG_KEEPALIVE, packet::kKeepAliveSize);
            if (kind == Kind::TestKeepAlive) {
                std::memset(r.header.identity, 0, sizeof r.header.identity);
                std::memcpy(r.header.identity, packet::kTestMark, packet::kTestMarkSize);
            }
            r.deviceAddressNet = f.devIpNet;
            r.devType = f.devType;
            r.upFlux = static_cast<std::int32_t>(f.up);
            r.downFlux = static_cast<std::int32_t>(f.down);
            out.bytes = ToBytes(r);
            logType = packet::LOG_KEEPALIVE;
            break;
        }
        case Kind::User: {
            packet::UserRecordV1 r{};
            FillHeader(r.header, f, packet::LOG_USER, packet::kUserSize);
            FillUserCommon(r.common, f);
            r.upFlux = static_cast<std::int32_t>(f.up);
            r.downFlux = static_cast<std::int32_t>(f.down);
            PutText(r.message, Message(f, "user"));
            out.bytes = ToBytes(r);
            logType = packet::LOG_USER;
            break;
        }
        case Kind::UserV2: {
            packet::UserRecordV2 r{};
            FillHeader(r.header, f, packet::LOG_USER_V2, packet::kUserV2Size);
            FillUserCommon(r.common, f);
            r.upFlux = static_cast<std::int32_t>(f.up);
            r.downFlux = static_cast<std::int32_t>(f.down);
            r.rawUpFlux = static_cast<std::int32_t>(f.rawUp.value_or(f.up));
            r.rawDownFlux = static_cast<std::int32_t>(f.rawDown.value_or(f.down));
            PutText(r.message, Message(f, "userv2"));
            out.bytes = ToBytes(r);
            logType = packet::LOG_USER_V2;
            break;
        }
        case Kind::UserV3: {
            packet::UserRecordV3 r{};
            FillHeader(r.header, f, packet::LOG_USER_V3, packet::kUserV3Size);
            FillUserCommon(r.common, f);
            r.upFlux = f.up;
            r.downFlux = f.down;
            r.rawUpFlux = f.rawUp.value_or(f.up);
            r.rawDownFlux = f.rawDown.value_or(f.down);
            PutText(r.message, Message(f, "userv3"));
            r.reserved = 0;
            out.bytes = ToBytes(r);
            logType = packet::LOG_USER_V3;
            break;
        }
        case Kind::Audit: {
            packet::AuditRecord r{};
            FillHeader(r.header, f, packet::LOG_AUDIT, packet::kAuditSize);
            r.addressNet = f.addressNet;
            PutText(r.message, Message(f, "audit"));
            out.bytes = ToBytes(r);
            logType = packet::LOG_AUDIT;
            break;
        }
        case Kind::Admin: {
            packet::AdminRecord r{};
            FillHeader(r.header, f, packet::LOG_ADMIN, packet::kAdminSize);
            r.groupId = f.adminGroup;
            r.action = f.action;
            r.entity = f.entity;
            r.result = f.result;
            r.addressNet = f.addressNet;
            PutText(r.adminName, f.admin);
            PutText(r.message, Message(f, "admin"));
            out.bytes = ToBytes(r);
            logType = packet::LOG_ADMIN;
            break;
        }
        case Kind::Alarm: {
            static thread_local packet::AlarmRecord r;  // 5 KiB: kept off the stack
            std::memset(&r, 0, sizeof r);
            FillHeader(r.header, f, packet::LOG_ALARM, packet::kAlarmSize);
            r.alarmType = f.alarmType;
            PutText(r.message, Message(f, "alarm"));
            out.bytes = ToBytes(r);
            logType = packet::LOG_ALARM;
            break;
        }
        case Kind::System: {
            packet::SystemRecord r{};
            FillHeader(r.header, f, packet::LOG_SYSTEM, packet::kSystemSize);
            r.level = f.level;
            r.process = f.process;
            PutText(r.message, Message(f, "system"));
            out.bytes = ToBytes(r);
            logType = packet::LOG_SYSTEM;
            break;
        }
        case Kind::SyncAdmin:
        case Kind::SyncUser:
        case Kind::SyncDevice: {
            packet::InfoSyncHeader h{};
            const auto total = static_cast<std::uint32_t>(packet::kInfoSyncMinSize + snapshot.size());
            FillHeader(h.header, f, packet::LOG_LOGUDTDB, total);
            h.updateType = o.updateType.value_or(kind == Kind::SyncAdmin ? 0u : kind == Kind::SyncUser ? 1u : 2u);
            out.md5Sent = Md5Text(snapshot, f.md5Form, f.md5Literal);
            std::memcpy(h.md5Text, out.md5Sent.data(), out.md5Sent.size());
            out.bytes = ToBytes(h);
            out.bytes.insert(out.bytes.end(), snapshot.begin(), snapshot.end());
            logType = packet::LOG_LOGUDTDB;
            break;
        }
        case Kind::RawCode: {
            packet::PacketHeader h{};
            FillHeader(h, f, 9, packet::kHeaderSize + kRawRecordSize);
            out.bytes = ToBytes(h);
            out.bytes.resize(packet::kHeaderSize + kRawRecordSize, 0);
            logType = 9;
            break;
        }
    }

    // One-packet deviations: type code, length field, bytes sent.
    packet::PacketHeader h;
    std::memcpy(&h, out.bytes.data(), sizeof h);
    if (o.code) {
        h.logType = *o.code;
        logType = *o.code;
    }
    std::uint32_t dataLen = static_cast<std::uint32_t>(out.bytes.size());
    if (o.size) dataLen = *o.size;
    if (o.dataLen) dataLen = *o.dataLen;
    h.m_DataLen = dataLen;
    if (f.invert) h.inverted = 1;
    std::memcpy(out.bytes.data(), &h, sizeof h);
    if (o.size) out.bytes.resize(*o.size, 0);
    if (f.invert) {
        for (size_t i = packet::kHeaderSize; i < out.bytes.size(); ++i) out.bytes[i] ^= 0xFF;
    }

    // Which reply a well-formed packet of this kind brings back.
    const auto physical = static_cast<std::uint32_t>(out.bytes.size());
    const bool complete = physical >= packet::kHeaderSize && dataLen >= packet::kHeaderSize && dataLen <= physical;
    switch (kind) {
        case Kind::KeepAlive:
            out.expectedReplies =
                (complete && logType == 0 && dataLen == packet::kKeepAliveSize && f.devType >= 0 && f.devType <= 2) ? 1
                                                                                                                    : 0;
            break;
        case Kind::TestKeepAlive: out.expectedReplies = (complete && logType == 0) ? 1 : 0; break;
        case Kind::SyncAdmin:
        case Kind::SyncUser:
        case Kind::SyncDevice: {
            bool md5ok = f.md5Form != Md5Form::Wrong;
            if (f.md5Form == Md5Form::Literal) {
                std::string lit = out.md5Sent;
                for (char& c : lit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                md5ok = lit == Md5Text(snapshot, Md5Form::Lower, {}) || lit == Md5Text(snapshot, Md5Form::NoZero, {});
            }
            const std::uint32_t updateType = o.updateType.value_or(0);
            out.expectedReplies = (complete && logType == packet::LOG_LOGUDTDB && dataLen == physical &&
                                   dataLen >= packet::kInfoSyncMinSize && updateType < 3 && md5ok)
                                      ? 1
                                      : 0;
            break;
        }
        default: out.expectedReplies = 0; break;
    }

    char text[512];
    std::snprintf(text, sizeof text, "%s, %u bytes (type %u, m_DataLen %u, %s%s)", KindName(kind).c_str(), physical,
                  logType, dataLen, f.markKind == 2 ? packet::kMarkV2 : packet::kMarkV1, f.invert ? ", inverted" : "");
    out.summary = text;
    text[0] = '\0';
    switch (kind) {
        case Kind::KeepAlive:
            std::snprintf(text, sizeof text, "devtype %d, devip %s, up %d, down %d", f.devType,
                          Ipv4Text(f.devIpNet).c_str(), static_cast<std::int32_t>(f.up),
                          static_cast<std::int32_t>(f.down));
            break;
        case Kind::User:
        case Kind::UserV2:
        case Kind::UserV3:
            std::snprintf(text, sizeof text,
                          "user \"%s\", group %d, action %d, result %d, client %s, server %s:%u, up %lld, down %lld",
                          f.user.c_str(), static_cast<std::int32_t>(f.group), f.action, f.result,
                          Ipv4Text(f.clientNet).c_str(), Ipv4Text(f.serverNet).c_str(), f.port,
                          static_cast<long long>(f.up), static_cast<long long>(f.down));
            break;
        case Kind::Audit: std::snprintf(text, sizeof text, "address %s", Ipv4Text(f.addressNet).c_str()); break;
        case Kind::Admin:
            std::snprintf(text, sizeof text, "admin \"%s\", group %d, action %d, entity %d, result %d", f.admin.c_str(),
                          static_cast<std::int32_t>(f.adminGroup), f.action, f.entity, f.result);
            break;
        case Kind::Alarm: std::snprintf(text, sizeof text, "alarm type %d", f.alarmType); break;
        case Kind::System: std::snprintf(text, sizeof text, "level %d, process %d", f.level, f.process); break;
        case Kind::SyncAdmin:
        case Kind::SyncUser:
        case Kind::SyncDevice:
            std::snprintf(text, sizeof text, "update type %u, %zu bytes of XML, md5 \"%s\"",
                          o.updateType.value_or(kind == Kind::SyncAdmin  ? 0u
                                                : kind == Kind::SyncUser ? 1u
                                                                         : 2u),
                          snapshot.size(), out.md5Sent.c_str());
            break;
        case Kind::TestKeepAlive:
        case Kind::RawCode: break;
    }
    if (text[0] != '\0') out.summary += std::string(": ") + text;
    return out;
}

std::optional<Kind> KindFromName(const std::string& name) {
    std::string n;
    for (char c : name) n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (n == "keepalive" || n == "ka") return Kind::KeepAlive;
    if (n == "test" || n == "test-keepalive") return Kind::TestKeepAlive;
    if (n == "user" || n == "userv1") return Kind::User;
    if (n == "userv2") return Kind::UserV2;
    if (n == "userv3") return Kind::UserV3;
    if (n == "audit") return Kind::Audit;
    if (n == "admin") return Kind::Admin;
    if (n == "alarm") return Kind::Alarm;
    if (n == "system") return Kind::System;
    if (n == "sync-admin") return Kind::SyncAdmin;
    if (n == "sync-user") return Kind::SyncUser;
    if (n == "sync-device") return Kind::SyncDevice;
    if (n == "raw") return Kind::RawCode;
    return std::nullopt;
}

std::string KindName(Kind kind) {
    switch (kind) {
        case Kind::KeepAlive: return "keepalive";
        case Kind::TestKeepAlive: return "test";
        case Kind::User: return "user";
        case Kind::UserV2: return "userv2";
        case Kind::UserV3: return "userv3";
        case Kind::Audit: return "audit";
        case Kind::Admin: return "admin";
        case Kind::Alarm: return "alarm";
        case Kind::System: return "system";
        case Kind::SyncAdmin: return "sync-admin";
        case Kind::SyncUser: return "sync-user";
        case Kind::SyncDevice: return "sync-device";
        case Kind::RawCode: return "raw";
    }
    return "?";
}

bool ParseIdentity(const std::string& text, std::uint8_t out[16]) {
    if (text.size() != 32) return false;
    for (int i = 0; i < 16; ++i) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[2 * i + k];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

std::string IdentityHex(const std::uint8_t id[16]) {
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    return std::string(text, 32);
}

bool ParseIpv4(const std::string& text, std::uint32_t& net) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    std::memcpy(&net, &a, 4);
    return true;
}

std::string Ipv4Text(std::uint32_t net) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    std::memcpy(&a, &net, 4);
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace nodesim
