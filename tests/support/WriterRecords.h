// Builders of the logs the writers store, for the tests: user logs of every
// version and system logs, with the fields their rows show filled in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/Packets.h"

namespace testpkt {

// A user log (UserRecordV1, V2 or V3) of identity: group 10, result 1, client
// 192.168.0.7, service type 1, server 10.0.0.9:port, authentication method
// 17; name and message are cut to their fields.
template <class Record>
Record User(const std::uint8_t identity[16], std::uint32_t type, int action, const std::string& name,
            const std::string& message, std::uint16_t port = 443) {
    Record r{};
    FillHeader(&r.header, identity, type, sizeof(Record));
    packet::UserCommon& u = r.common;
    u.groupId = 10;
    u.action = action;
    u.result = 1;
    packet::WriteU32Net(&u.clientAddressNet, 0xC0A80007u);
    u.serviceType = 1;
    packet::WriteU32Net(&u.serverAddressNet, 0x0A000009u);
    packet::WriteU16Net(&u.serverPortNet, port);
    std::memcpy(u.userName, name.data(), std::min(name.size(), sizeof(u.userName) - 1));
    u.authMethod = 17;
    std::memcpy(r.message, message.data(), std::min(message.size(), sizeof(r.message) - 1));
    return r;
}

// A system log of identity; the message is cut to its field.
inline packet::SystemRecord System(const std::uint8_t identity[16], int level, int process,
                                  const std::string& message) {
    packet::SystemRecord r{};
    FillHeader(&r.header, identity, packet::LOG_SYSTEM, packet::kSystemSize);
    r.level = level;
    r.process = process;
    std::memcpy(r.message, message.data(), std::min(message.size(), sizeof(r.message) - 1));
    return r;
}

}  // namespace testpkt
