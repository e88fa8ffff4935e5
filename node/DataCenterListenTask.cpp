#include "node/DataCenterListenTask.h"

#include <cerrno>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/RunMode.h"
#include "core/ServiceStarter.h"
#include "core/SocketManager.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "node/ServiceHost.h"
#include "node/TarnNode.h"
#include "node/TarnNodeManager.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Thread.h"

namespace {

constexpr char kClassTag[] = "[CDataCenterListenTask]";
constexpr int kListenBacklog = 0x7FFFFFFF;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

}  // namespace

CDataCenterListenTask::~CDataCenterListenTask() { CloseListener(); }

void CDataCenterListenTask::CloseListener() {
    if (m_ListenSocket != INVALID_SOCKET) CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, true);
    m_ListenSocket = INVALID_SOCKET;
    if (m_hNetEvent != nullptr) CloseHandle(m_hNetEvent);
    m_hNetEvent = nullptr;
}

DWORD CDataCenterListenTask::Run() {
    CSQLConnManager::ThreadInit();
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Start Running...\n");
    CleanUpTempXml();
    if (!LoadNodeList()) {
        CSQLConnManager::ThreadEnd();
        return static_cast<DWORD>(-1);
    }
    if (IsRunningAsService() && !MakeVarnholtServiceOK()) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot MakeVarnholtServiceOK\n");
    }

    HANDLE exitEvent = GetExitEvent();
    // Set when the loop ended on a stop request; any other end is a failure
    // that the service's exit code reports (systemd then restarts it).
    bool stopped = false;
    const auto port = static_cast<std::uint16_t>(CConfigManager::GetInstance()->m_Zelk.Port.Get());
    if (exitEvent == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Global Exit Event Invalid\n");
    } else if (const auto configured = CConfigManager::GetInstance()->m_Zelk.Port.Get();
               configured <= 0 || configured > 65535) {
        // Cut to 16 bits, a port above 65535 would bind some other port.
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] DataCenter Listen Port Invalid\n");
    } else if ((m_ListenSocket = CSocketManager::GetInstance()->AllocSocket(kSocketTypeStream)) == INVALID_SOCKET) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot Alloc Socket Err= %u \n",
            static_cast<unsigned>(WSAGetLastError()));
    } else if ((m_hNetEvent = WSACreateEvent()) == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot Create Network Event Err = %u\n", GetLastError());
    } else if (SetSocketReuseAddress(m_ListenSocket), SocketBind(m_ListenSocket, 0, port) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Bind Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
    } else if (WSAEventSelect(m_ListenSocket, m_hNetEvent, FD_ACCEPT | FD_CLOSE) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] WSAEventSelect Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
    } else if (SocketListen(m_ListenSocket, kListenBacklog) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] listen Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
    } else {
        if (!m_Spare.Reserve()) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Run] Cannot Reserve A Spare Descriptor Err = %u\n",
                static_cast<unsigned>(errno));
        }
        // The port listens: only now is the service ready for systemd.
        if (CServiceHost* host = GetServiceHost()) host->ReportListening();
        for (;;) {
            UpdateActivityTime();
            // A stop request without the exit event (the task stopped on its
            // own) still ends the loop within one wait; the exit event that
            // normally follows a stop request is reported as such.
            DWORD rc = WaitForSingleObject(exitEvent, IsRunning() ? 0 : kWaitMs);
            if (rc != WAIT_TIMEOUT) {
                Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Wait Exit Event = %u\n", rc);
                stopped = rc == WAIT_OBJECT_0;
                break;
            }
            if (!IsRunning()) {
                stopped = true;
                break;
            }
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[Run] DataCenter Is Listening......\n");
            rc = WaitForSingleObject(m_hNetEvent, kWaitMs);
            if (rc == WAIT_FAILED) {
                Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] WSAWaitForMultipleEvents Fail Err = %u\n",
                    GetLastError());
                break;
            }
            // A failed event ends the loop; a stop request made meanwhile
            // is never overwritten.
            if (!DealNetWorkEvent(rc)) {
                m_nRunning.store(0);
                break;
            }
        }
        WSAEventSelect(m_ListenSocket, m_hNetEvent, 0);
    }

    CloseListener();
    m_Spare.Release();
    CSQLConnManager::ThreadEnd();
    if (!stopped) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] The Listener Failed , The Service Stops\n");
    }
    if (CServiceHost* host = GetServiceHost()) host->ListenerEnded(!stopped);
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Exit Normally\n");
    return 0;
}

bool CDataCenterListenTask::LoadNodeList() {
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    for (int attempt = 1;; ++attempt) {
        if (data->GetDabaBaseNodeInfo() != 0) {
            if (attempt > 1) {
                Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Get DB Node Info Succeed After %d Attempts\n",
                    attempt);
            }
            return true;
        }
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Get DB Node Info Fail\n");
        // Without its node list the service cannot take a node; it keeps
        // trying rather than stay up without listening.
        UpdateActivityTime();
        if (!IsRunning() || WaitForExitEvent(s_dwNodeListRetryMs.load()) != WAIT_TIMEOUT) return false;
        if (!IsRunning()) return false;
    }
}

bool CDataCenterListenTask::DealNetWorkEvent(DWORD waitResult) {
    if (waitResult == WAIT_TIMEOUT || waitResult == WAIT_FAILED) return true;
    if (m_ListenSocket == INVALID_SOCKET || m_hNetEvent == nullptr) return false;
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(m_ListenSocket, m_hNetEvent, &events) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[DealNetWorkEvent] WSAEnumNetworkEvents Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
        return false;
    }
    if ((events.lNetworkEvents & FD_ACCEPT) == 0) return true;
    if (events.iErrorCode[FD_ACCEPT_BIT] != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[DealNetWorkEvent] FD_ACCEPT Fail Err = %u\n",
            static_cast<unsigned>(events.iErrorCode[FD_ACCEPT_BIT]));
        return false;
    }
    return OnFDAccept();
}

bool CDataCenterListenTask::OnFDAccept() {
    if (m_ListenSocket == INVALID_SOCKET) return false;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    SOCKET s = SocketAccept(m_ListenSocket, &address, &port);
    if (s == INVALID_SOCKET) return OnAcceptFailure(WSAGetLastError());
    // One line per source and minute: a peer that connects in a loop does
    // not flood the log.
    const std::string peer = IpToText(address);
    LogLimited(Recorder(), peer, LOG_LEVEL_INFO, kClassTag,
               "[OnFDAccept] accept New Connection Socket = %d Addr = %s:%d\n", s, peer.c_str(), port);

    CTarnNode* node = CTarnNodeManager::GetInstance()->AllocTarnNode(address, port);
    if (node == nullptr) {
        closesocket(s);
        return true;
    }
    CSocketManager::GetInstance()->AddSocket(s);
    SetSocketRecvBuff(s, kRecvBufferBytes);
    SetSocketKeepAlive(s, kKeepAliveTimeMs, kKeepAliveIntervalMs);
    node->SetSocket(s);
    if (!node->Start()) CTarnNodeManager::GetInstance()->ReleaseTarnNode(node);
    return true;
}

bool CDataCenterListenTask::OnAcceptFailure(int error) {
    if (error == EWOULDBLOCK || error == EINTR) return true;
    if (!IsTransientAcceptError(error)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnFDAccept] accept Fail Err = %u\n",
            static_cast<unsigned>(error));
        return false;
    }
    LogLimited(Recorder(), "accept", LOG_LEVEL_ERROR, kClassTag, "[OnFDAccept] accept Fail Err = %u , Go On Listening\n",
               static_cast<unsigned>(error));
    if (IsOutOfDescriptors(error) && m_Spare.IsHeld()) {
        // Out of descriptors: the spare one makes room to take the waiting
        // connection off the queue and close it.
        m_Spare.Release();
        SOCKET s = SocketAccept(m_ListenSocket, nullptr, nullptr);
        if (s != INVALID_SOCKET) closesocket(s);
        m_Spare.Reserve();
        return true;
    }
    if (error == ENOBUFS || error == ENOMEM || IsOutOfDescriptors(error)) {
        WaitForExitEvent(kAcceptBackoffMs);
    }
    return true;
}

void CDataCenterListenTask::CleanUpTempXml() {
    const std::string dir = CGlobalSharedData::GetInstance()->GetTempDir();
    std::vector<DirEntry> entries;
    if (!ListDirectory(dir, "*.xml", &entries)) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[CleanUpTempXml] Cannot Search Path = %s , Err = %u\n",
                (dir + "/*.xml").c_str(), GetLastError());
        }
        return;
    }
    for (const DirEntry& e : entries) {
        if (e.isDirectory) continue;
        const std::string path = dir + "/" + e.name;
        if (DeleteFileA(path.c_str())) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[CleanUpTempXml] Delete FileName = %s Succeed.\n",
                ShortIdentity(path).c_str());
        } else {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[CleanUpTempXml] Delete FileName = %s Fail , Err = %u.\n",
                ShortIdentity(path).c_str(), GetLastError());
        }
    }
}

bool CDataCenterListenTask::MakeVarnholtServiceOK() {
    return EnsureServiceRunning(
        kWatchdogServiceName,
        {kClassTag, "MakeVarnholtServiceOK", "[MakeVarnholtServiceOK] Start ZelkDog Service Succeed.\n"}, true);
}
