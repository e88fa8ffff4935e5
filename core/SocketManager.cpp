#include "core/SocketManager.h"

#include <algorithm>

#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"

namespace {

bool IsUsable(SOCKET s) { return s != 0 && s != INVALID_SOCKET; }

}  // namespace

CSocketManager* CSocketManager::GetInstance() {
    static CSocketManager* instance = new CSocketManager();  // lives until the process ends
    return instance;
}

bool CSocketManager::Init() {
    bool ok = InitializeCriticalSectionAndSpinCount(&m_csSockets, kCsSpinCount);
    if (ok) m_nInitialised.store(1);
    return ok;
}

bool CSocketManager::UnInit() {
    m_nInitialised.store(0);
    std::vector<SOCKET> left;
    {
        CCSLocker lock(&m_csSockets);
        left.swap(m_Sockets);
    }
    for (SOCKET s : left) closesocket(s);
    DeleteCriticalSection(&m_csSockets);
    return true;
}

SOCKET CSocketManager::AllocSocket(int type) {
    if (!IsInitialised()) return INVALID_SOCKET;
    SOCKET s = CreateSocket(type);
    if (s == INVALID_SOCKET) {
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_ERROR, "[CSocketManager]", "[AllocSocket] Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
        return INVALID_SOCKET;
    }
    CCSLocker lock(&m_csSockets);
    m_Sockets.push_back(s);
    return s;
}

bool CSocketManager::AddSocket(SOCKET s) {
    if (!IsUsable(s) || !IsInitialised()) return false;
    CCSLocker lock(&m_csSockets);
    m_Sockets.push_back(s);
    return true;
}

bool CSocketManager::ReleaseSocket(SOCKET s, bool close) {
    if (!IsUsable(s) || !IsInitialised()) return false;
    bool found = false;
    {
        CCSLocker lock(&m_csSockets);
        auto it = std::find(m_Sockets.begin(), m_Sockets.end(), s);
        if (it != m_Sockets.end()) {
            m_Sockets.erase(it);
            found = true;
        }
    }
    if (!found) {
        Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, "[CSocketManager]",
            "[ReleaseSocket] The Specify Socket Not In Manager\n");
    }
    if (close) closesocket(s);
    return true;
}

size_t CSocketManager::SocketCount() {
    CCSLocker lock(&m_csSockets);
    return m_Sockets.size();
}

int SafeRecv(SOCKET s, char* buffer, int length) {
    if (!IsUsable(s) || buffer == nullptr || length == 0) return 0;
    return SocketRecv(s, buffer, length, 0);
}

int SafeSend(SOCKET s, const char* buffer, int length) {
    if (!IsUsable(s) || buffer == nullptr || length == 0) return 0;
    return SocketSend(s, buffer, length, 0);
}

bool SetSocketRecvBuff(SOCKET s, int bytes) { return s != INVALID_SOCKET && SetSocketRecvBufferSize(s, bytes); }

bool SetSocketKeepAlive(SOCKET s, DWORD timeMs, DWORD intervalMs) {
    return s != INVALID_SOCKET && SetSocketKeepAliveTimes(s, timeMs, intervalMs);
}
