// Builders of gateway packets for the tests.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/PacketFormat.h"

namespace testpkt {

inline void FillHeader(packet::PacketHeader* h, const std::uint8_t identity[16], std::uint32_t type,
                       std::uint32_t length, int kind = 1) {
    std::memcpy(h->mark, kind == 1 ? packet::kMarkV1 : packet::kMarkV2, 8);
    std::memcpy(h->identity, identity, 16);
    h->logType = type;
    h->m_DataLen = length;
    packet::WriteU32Net(&h->logDateNet, 2031u << 16 | 3u << 8 | 9u);
    packet::WriteU32Net(&h->logTimeNet, 14u << 16 | 5u << 8 | 1u);
}

template <class Record>
std::string Bytes(const Record& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof(r));
}

inline std::string Invert(std::string p) {
    p[41] = 1;
    packet::InvertRecord(p.data(), static_cast<std::uint32_t>(p.size()));
    return p;
}

inline std::string KeepAlive(const std::uint8_t identity[16], int devType = 1, int kind = 1) {
    packet::KeepAliveRecord r{};
    FillHeader(&r.header, identity, packet::LOG_KEEPALIVE, packet::kKeepAliveSize, kind);
    r.devType = devType;
    r.upFlux = 10;
    r.downFlux = 20;
    return Bytes(r);
}

inline std::string TestKeepAlive() {
    packet::PacketHeader h{};
    std::uint8_t none[16] = {};
    FillHeader(&h, none, packet::LOG_KEEPALIVE, packet::kHeaderSize);
    std::memcpy(reinterpret_cast<char*>(&h) + 8, packet::kTestMark, packet::kTestMarkSize);
    return Bytes(h);
}

inline std::string UserV1(const std::uint8_t identity[16], int action, const std::string& user,
                          const std::string& message, int kind = 1) {
    packet::UserRecordV1 r{};
    FillHeader(&r.header, identity, packet::LOG_USER, packet::kUserSize, kind);
    r.common.groupId = 10;
    r.common.action = action;
    r.common.serviceType = 1;
    std::snprintf(r.common.userName, sizeof(r.common.userName), "%s", user.c_str());
    r.upFlux = 5;
    r.downFlux = 6;
    std::snprintf(r.message, sizeof(r.message), "%s", message.c_str());
    return Bytes(r);
}

inline std::string Md5Hex(const std::string& content, bool upper = false, bool noLeadingZeros = false) {
    unsigned char digest[16];
    unsigned int len = 0;
    EVP_Digest(content.data(), content.size(), digest, &len, EVP_md5(), nullptr);
    std::string out;
    char part[4];
    for (unsigned char b : digest) {
        std::snprintf(part, sizeof(part), noLeadingZeros ? (upper ? "%X" : "%x") : (upper ? "%02X" : "%02x"), b);
        out += part;
    }
    return out;
}

// count alarms of type 1 whose messages are "<prefix> 00", "<prefix> 01", ...
inline std::string Alarms(const std::uint8_t identity[16], const std::string& prefix, int count) {
    std::string stream;
    for (int i = 0; i < count; ++i) {
        packet::AlarmRecord a{};
        FillHeader(&a.header, identity, packet::LOG_ALARM, packet::kAlarmSize);
        a.alarmType = 1;
        std::snprintf(a.message, sizeof(a.message), "%s %02d", prefix.c_str(), i);
        stream += Bytes(a);
    }
    return stream;
}

inline std::string InfoSync(const std::uint8_t identity[16], std::uint32_t updateType, const std::string& content,
                            const std::string& md5Text) {
    packet::InfoSyncHeader h{};
    FillHeader(&h.header, identity, packet::LOG_LOGUDTDB,
               static_cast<std::uint32_t>(packet::kInfoSyncMinSize + content.size()));
    h.updateType = updateType;
    std::memcpy(h.md5Text, md5Text.data(), md5Text.size() < 32 ? md5Text.size() : 32);
    return Bytes(h) + content;
}

}  // namespace testpkt
