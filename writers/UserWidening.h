// User logs of the two older record layouts, widened to the UserV3 layout
// that the writers format: header and common fields copied, log type and
// length set to UserV3's, the 32-bit counters sign-extended (a User record's
// two counts serve as the raw counts too), the message moved to its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/PacketFormat.h"

inline packet::UserRecordV3 WidenToUserV3(const packet::UserRecordV1& p) {
    packet::UserRecordV3 wide{};
    std::memcpy(&wide, &p, offsetof(packet::UserRecordV1, upFlux));  // header and common fields
    wide.header.logType = packet::LOG_USER_V3;
    wide.header.m_DataLen = packet::kUserV3Size;
    wide.upFlux = static_cast<std::int32_t>(packet::ReadU32(&p.upFlux));
    wide.downFlux = static_cast<std::int32_t>(packet::ReadU32(&p.downFlux));
    wide.rawUpFlux = wide.upFlux;
    wide.rawDownFlux = wide.downFlux;
    std::memcpy(wide.message, p.message, sizeof(wide.message));
    return wide;
}

inline packet::UserRecordV3 WidenToUserV3(const packet::UserRecordV2& p) {
    packet::UserRecordV3 wide{};
    std::memcpy(&wide, &p, offsetof(packet::UserRecordV2, upFlux));
    wide.header.logType = packet::LOG_USER_V3;
    wide.header.m_DataLen = packet::kUserV3Size;
    wide.upFlux = static_cast<std::int32_t>(packet::ReadU32(&p.upFlux));
    wide.downFlux = static_cast<std::int32_t>(packet::ReadU32(&p.downFlux));
    wide.rawUpFlux = static_cast<std::int32_t>(packet::ReadU32(&p.rawUpFlux));
    wide.rawDownFlux = static_cast<std::int32_t>(packet::ReadU32(&p.rawDownFlux));
    std::memcpy(wide.message, p.message, sizeof(wide.message));
    return wide;
}
