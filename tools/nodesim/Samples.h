// varnholt-nodesim: built-in directory snapshots.
//
// The samples fit deploy/sql/node.sql and the shipped
// deploy/install/Zelk/Config/Logudt.conf: every row carries every configured
// attribute (ids included), so each row becomes one clean insert.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nodesim {

struct SampleUser {
    const char* name;
    std::uint32_t group;
};

// Administrator snapshot (update type 0): tables Admin and admingroup.
std::string AdminSample();
// User snapshot (update type 1): tables tarngroup, tarnuser, tarnrcgrp and
// tarnrc.
std::string UserSample();
// Device snapshot (update type 2): table devices.
std::string DeviceSample();

// The users and administrators of the samples (names and groups), for logs
// that the service can resolve after a sync.
const std::vector<SampleUser>& SampleUsers();
const std::vector<SampleUser>& SampleAdmins();

// The value of a ";ulong" attribute for an IPv4 address: the signed 32-bit
// number whose bytes in memory are the address in network order.
std::int32_t NetOrderInt(const char* ipv4);
// The value of a ";ushort" attribute for a port.
std::int32_t NetOrderShort(std::uint16_t port);

}  // namespace nodesim
