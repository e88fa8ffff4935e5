// varnholt-nodesim: the flood (benchmark) mode.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/nodesim/Packets.h"

namespace nodesim {

struct FloodConfig {
    std::string host;
    std::uint16_t port = 0;
    int connectTimeoutMs = 5000;
    int waitMs = 60000;
    std::vector<std::array<std::uint8_t, 16>> nodes;
    std::uint64_t total = 0;                     // logs over all connections
    std::vector<std::pair<Kind, unsigned>> mix;  // kind and weight
    int connections = 1;
    bool presyncAdmin = false;
    bool presyncUser = false;
    std::string adminSnapshot;
    std::string userSnapshot;
    bool drain = true;  // end every connection with a keep-alive and wait for its reply
    size_t batchBytes = 65536;
    bool vary = false;
    // Logs per second over all connections, each sending its share every
    // 20 ms (0: as fast as the socket takes them).
    std::uint64_t rate = 0;
    bool quiet = false;
    Fields base;
};

// Parses "user=5,userv3=3,admin" (weight 1 when left out). Empty on error,
// with a message in err.
std::vector<std::pair<Kind, unsigned>> ParseMix(const std::string& text, std::string& err);

// Runs the flood and prints the report. Returns the exit code.
int RunFlood(const FloodConfig& cfg);

}  // namespace nodesim
