// Plain loopback TCP clients for the tests that act as gateway nodes.
#pragma once

#include <cstdint>
#include <string>

namespace testnet {

// A port that was free a moment ago on 127.0.0.1.
std::uint16_t FreePort();
// Connects to address:port; -1 on failure.
int Connect(std::uint16_t port, const char* address = "127.0.0.1");
// Retries Connect until it succeeds or timeoutMs passed.
int ConnectWithin(std::uint16_t port, unsigned timeoutMs);
bool SendAll(int fd, const std::string& bytes);
// True when the peer closed the connection (or reset it) within timeoutMs;
// bytes that arrive meanwhile are read and dropped.
bool ClosedByPeerWithin(int fd, unsigned timeoutMs);
// Reads exactly n bytes within timeoutMs (fewer when the time runs out).
std::string ReceiveExactly(int fd, size_t n, unsigned timeoutMs);
void Close(int fd);

}  // namespace testnet
