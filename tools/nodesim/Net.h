// varnholt-nodesim: the TCP side (plain POSIX sockets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nodesim {

// Connects to host:port within timeoutMs. Returns the socket, or -1 with a
// message in err.
int Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& err);

// Sends all bytes; with chunk > 0 in pieces of at most chunk bytes, sleeping
// delayMs between them. False with a message in err on failure.
bool SendAll(int fd, const std::uint8_t* data, size_t size, size_t chunk, int delayMs, std::string& err);

// Waits up to timeoutMs for the socket to become readable and reads what is
// there. Returns bytes read, 0 on timeout, -1 when the peer closed, -2 on error.
long RecvSome(int fd, std::uint8_t* buf, size_t size, int timeoutMs, std::string& err);

void SleepMs(int ms);

}  // namespace nodesim
