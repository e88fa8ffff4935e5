// Registry of the program's sockets, and guarded socket calls.
//
// Every socket the program creates (listening sockets, accepted node
// connections, the info query server) is created or added here and released
// here. The list lock is held only for the list operation, never across a
// system call.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/Socket.h"
#include "platform/Sync.h"

class CSocketManager {
public:
    static CSocketManager* GetInstance();

    bool Init();
    // Sockets still registered are closed: every owner has released its
    // sockets by the time the managers shut down.
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    SOCKET AllocSocket(int type);
    bool AddSocket(SOCKET s);
    bool ReleaseSocket(SOCKET s, bool close);
    size_t SocketCount();

private:
    CSocketManager() = default;

    std::vector<SOCKET> m_Sockets;
    CRITICAL_SECTION m_csSockets;
    std::atomic<std::int32_t> m_nInitialised{0};
};

// 0 without a system call when the socket is 0 or invalid, the buffer null or
// the length 0; otherwise the result of one receive (send) without flags.
int SafeRecv(SOCKET s, char* buffer, int length);
int SafeSend(SOCKET s, const char* buffer, int length);
bool SetSocketRecvBuff(SOCKET s, int bytes);
bool SetSocketKeepAlive(SOCKET s, DWORD timeMs, DWORD intervalMs);
