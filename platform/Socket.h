// BSD sockets behind Winsock-style names.
//
// A SOCKET is a file descriptor; INVALID_SOCKET is -1 and 0 is never treated
// as a valid socket. Socket error codes are errno values (EWOULDBLOCK where
// Winsock would say WSAEWOULDBLOCK); WSAGetLastError returns the calling
// thread's last one. Sends never raise SIGPIPE.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Sync.h"
#include "platform/WinTypes.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Socket types as the program names them.
constexpr int kSocketTypeStream = 1;
constexpr int kSocketTypeDatagram = 2;

// An IPv4 socket of the given type: TCP for stream, UDP for datagram, the
// default protocol otherwise. INVALID_SOCKET with the error set on failure.
SOCKET CreateSocket(int type);
int closesocket(SOCKET s);

// One receive / send; the result of the system call (-1 on error, error set).
int SocketRecv(SOCKET s, char* buffer, int length, int flags);
int SocketSend(SOCKET s, const char* buffer, int length, int flags);

bool SetSocketRecvBufferSize(SOCKET s, int bytes);
bool GetSocketRecvBufferSize(SOCKET s, int* bytes);
// TCP keep-alive on, first probe after idleMs, then every intervalMs.
bool SetSocketKeepAliveTimes(SOCKET s, DWORD idleMs, DWORD intervalMs);

int WSAGetLastError();
void WSASetLastError(int error);

// Network events of a socket, as the service selects and enumerates them.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS {
    long lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};

// A waitable bound to one socket and a selected event mask. It is
// level-triggered: signalled while any selected condition holds. FD_READ
// holds while unread bytes wait; FD_CLOSE only once the peer has closed and
// every byte has been read, so data sent just before a close is never lost;
// FD_WRITE while the socket can take more (only polled while selected);
// FD_ACCEPT while a connection waits.
class CNetworkEvent final : public CKernelObject {
public:
    static CNetworkEvent* Create();
    int PollFd() const override;
    short PollEvents() const override;
    bool TryAcquire() override { return true; }

    void Select(SOCKET s, long mask);
    SOCKET Socket() const { return m_socket; }
    long Mask() const { return m_mask; }

private:
    CNetworkEvent() = default;
    ~CNetworkEvent() override = default;

    std::atomic<SOCKET> m_socket{INVALID_SOCKET};
    std::atomic<long> m_mask{0};
};

HANDLE WSACreateEvent();
// Binds the socket to the event with the mask (0 clears) and makes the socket
// non-blocking.
int WSAEventSelect(SOCKET s, HANDLE event, long mask);
// The selected events that hold now, with their error codes.
int WSAEnumNetworkEvents(SOCKET s, HANDLE event, WSANETWORKEVENTS* events);

// IPv4 addresses and ports are in host byte order.
int SocketBind(SOCKET s, std::uint32_t address, std::uint16_t port);
int SocketListen(SOCKET s, int backlog);
// INVALID_SOCKET on failure; fills the peer's address and port.
SOCKET SocketAccept(SOCKET s, std::uint32_t* address, std::uint16_t* port);
int SocketPeerName(SOCKET s, std::uint32_t* address, std::uint16_t* port);
// True when the connection is dead in both directions (reset by the peer, or
// an error pending), whatever unread bytes wait in it.
bool SocketPeerReset(SOCKET s);
// An accept error after which listening can go on: a network error of the
// connection that was being accepted, an interruption, or a shortage of
// memory or descriptors that may pass.
bool IsTransientAcceptError(int error);
bool IsOutOfDescriptors(int error);

// A descriptor held in reserve: a process that has run out of descriptors
// gives it up to accept and close the connection that waits, instead of
// leaving it queued with the listener woken for it again and again.
class CSpareDescriptor {
public:
    CSpareDescriptor() = default;
    ~CSpareDescriptor() { Release(); }
    CSpareDescriptor(const CSpareDescriptor&) = delete;
    CSpareDescriptor& operator=(const CSpareDescriptor&) = delete;
    bool Reserve();
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
int SocketLocalName(SOCKET s, std::uint32_t* address, std::uint16_t* port);
// Lets a restarted service bind its port while old connections linger in
// TIME_WAIT (it never allows two listeners on one port).
bool SetSocketReuseAddress(SOCKET s);
// Dotted text of a host-order IPv4 address.
std::string IpToText(std::uint32_t address);

// True when host names this machine: "localhost" (any case), a loopback
// address (127.0.0.0/8, ::1), this host's own name, an address of one of its
// interfaces, or a name resolving to such an address. Names other than
// "localhost" and the host's own are resolved, which may block.
bool IsThisHost(const std::string& host);
