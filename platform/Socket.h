// BSD sockets behind Winsock-style names.
//
// A SOCKET is a file descriptor; INVALID_SOCKET is -1 and 0 is never treated
// as a valid socket. Socket error codes are errno values (EWOULDBLOCK where
// Winsock would say WSAEWOULDBLOCK); WSAGetLastError returns the calling
// thread's last one. Sends never raise SIGPIPE.
#pragma once

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
