#include "node/TarnNode.h"

#include <cinttypes>
#include <new>
#include <cstdio>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/SocketManager.h"
#include "core/Task.h"
#include "core/TypeName.h"
#include "core/modules/BuffManager.h"
#include "core/modules/CSLocker.h"
#include "datafile/LoadDataTask.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "maintenance/DataBaseCleanTask.h"
#include "maintenance/ReportTableGenTask.h"
#include "maintenance/TableRepairTask.h"
#include "node/NodeLogRecordTask.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

constexpr char kClassTag[] = "[CTarnNode]";
constexpr DWORD kDefaultRingUnits = 10;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

unsigned long long Address(const void* p) { return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)); }

}  // namespace

std::atomic<DWORD> CTarnNode::s_dwTaskStopWaitMs{CTarnNode::kTaskStopWaitMs};

CTarnNode::CTarnNode() = default;

CTarnNode::~CTarnNode() {
    StopAllTask();
    ReleaseAllTask();
    if (HANDLE thread = m_hThread.exchange(nullptr); thread != nullptr) CloseHandle(thread);
    if (m_Socket != INVALID_SOCKET) CSocketManager::GetInstance()->ReleaseSocket(m_Socket, true);
    m_Socket = INVALID_SOCKET;
    if (m_hNetEvent != nullptr) CloseHandle(m_hNetEvent);
    m_hNetEvent = nullptr;
}

void CTarnNode::SetSocket(SOCKET s) {
    if (s != INVALID_SOCKET) m_Socket = s;
}

void CTarnNode::SetSourceAddress(std::uint32_t address, std::uint16_t port) {
    m_dwSourceAddress = address;
    m_wSourcePort = port;
}

std::string CTarnNode::GetDbName() const {
    std::lock_guard<std::mutex> lock(m_NameMutex);
    return m_strDbName;
}

bool CTarnNode::Start() {
    if (m_hNetEvent == nullptr) m_hNetEvent = WSACreateEvent();
    if (m_hNetEvent == nullptr) return false;
    // FD_WRITE joins only while a send is partial (OnFD_Write).
    WSAEventSelect(m_Socket, m_hNetEvent, FD_READ | FD_CLOSE);
    m_bWatchWrite = false;
    m_dwStartTick = GetTickCount();
    m_dwLastRecvTick = m_dwStartTick;
    m_nRunning.store(1);
    if (m_hThread.load() != nullptr) return true;
    DWORD threadId = 0;
    HANDLE thread = CreateThread(&CTarnNode::Run, this, &threadId);
    if (thread == nullptr) return false;
    m_dwThreadId.store(threadId);
    // Publishing the handle is the last touch of the node here: the reaper
    // frees a node whose thread has ended as soon as it sees the handle.
    m_hThread.store(thread, std::memory_order_release);
    return true;
}

bool CTarnNode::InitRingCaches() {
    CConfigManager* config = CConfigManager::GetInstance();
    DWORD recvMiB = static_cast<DWORD>(config->m_ZelkAdv.TarnNodeRecvBuffSize.Get());
    DWORD sendKiB = static_cast<DWORD>(config->m_ZelkAdv.TarnNodeSendBuffSize.Get());
    if (recvMiB == 0) recvMiB = kDefaultRingUnits;
    if (sendKiB == 0) sendKiB = kDefaultRingUnits;
    const bool recv = m_pRecvRing->Init(recvMiB * 1024 * 1024);
    const bool send = m_pSendRing->Init(sendKiB * 1024);
    return recv && send;
}

DWORD CTarnNode::Run(void* param) {
    auto* node = static_cast<CTarnNode*>(param);
    if (node == nullptr) return static_cast<DWORD>(-1);
    MSG msg{};
    PeekMessage(&msg, PM_NOREMOVE);  // the queue exists from now on

    if (!node->InitRingCaches()) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] InitRingCaches Fail\n");
        return static_cast<DWORD>(-1);
    }
    auto* recordTask = new (std::nothrow) CNodeLogRecordTask();
    if (recordTask == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Create CNodeLogRecordTask Fail\n");
        return static_cast<DWORD>(-1);
    }
    recordTask->SetNodeThreadId(GetCurrentThreadId());
    recordTask->SetRings(node->m_pRecvRing, node->m_pSendRing);
    recordTask->SetIdentifiedFlag(node->m_pIdentified);
    if (!CTaskManager::GetInstance()->AddTask(recordTask)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Start CNodeLogRecordTask Fail\n");
        CTaskManager::GetInstance()->DeleteWhenEnded(recordTask);
        return static_cast<DWORD>(-1);
    }
    node->m_pRecordTask = recordTask;

    HANDLE exitEvent = GetExitEvent();
    if (exitEvent == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Get Exit Event Fail\n");
        return static_cast<DWORD>(-1);
    }
    CSQLConnManager::ThreadInit();
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] TID = %u Start Working...\n", GetCurrentThreadId());

    DWORD rc = WAIT_TIMEOUT;
    while (node->m_nRunning.load() == 1) {
        rc = MsgWaitForMultipleObjects(1, &exitEvent, 0);
        if (rc == WAIT_OBJECT_0 || rc == WAIT_FAILED) break;
        if (rc == WAIT_OBJECT_0 + 1 && !node->ProcessThreadMessage()) break;
        if (!node->ProcessThreadMessage()) break;
        // The wait also ends when a message arrives, so that replies the
        // record task queued are sent at once rather than after the wait.
        rc = MsgWaitForMultipleObjects(1, &node->m_hNetEvent, kNetworkWaitMs);
        if (rc == WAIT_FAILED) break;
        if (rc == WAIT_OBJECT_0 && !node->ProcessNetworkEvent()) break;
        if (!node->WithinLimits(false)) break;
    }

    // A connection this side ends (a limit, a stop) is closed now, before
    // the tasks drain what the rings hold: the peer sees it at once rather
    // than when the node is deleted, and nothing more is read from it.
    if (node->m_Socket != INVALID_SOCKET) {
        if (node->m_dwPeerAddress == 0) node->m_dwPeerAddress = node->m_dwSourceAddress;
        CSocketManager::GetInstance()->ReleaseSocket(node->m_Socket, true);
        node->m_Socket = INVALID_SOCKET;
    }
    node->SignalAllTaskStop();
    node->StopAllTask();
    // A record task still running keeps its references to the rings, which
    // are then freed with the task; otherwise their memory goes now.
    const bool taskEnded = node->m_pRecordTask == nullptr || !node->m_pRecordTask->IsAlive();
    node->ReleaseAllTask();
    if (taskEnded) {
        node->m_pRecvRing->UnInit();
        node->m_pSendRing->UnInit();
    }
    node->UpdateDevConnectInfo(0);
    node->DropPendingMessages();
    CloseHandle(node->m_hNetEvent);
    node->m_hNetEvent = nullptr;
    CSQLConnManager::ThreadEnd();
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Exit With WaitRet = %u , Object Pointer = 0x%08llx\n", rc,
        Address(node));
    return 0;
}

bool CTarnNode::ProcessThreadMessage() {
    MSG msg{};
    if (!PeekMessage(&msg, PM_REMOVE)) return true;
    switch (msg.message) {
        case WM_QUIT: return false;
        case WM_TARNNODE_DATA_SYNC_SUCC:
            OnMsg_TarnNodeDataSyncSucc(reinterpret_cast<char*>(msg.wParam), reinterpret_cast<BYTE*>(msg.lParam));
            break;
        case WM_TARNNODE_DATA_CAN_SEND: OnFD_Write(); break;
        case WM_TARNNODE_INFO_UPDATE:
            OnMsg_TarnNodeInfoUpdate(reinterpret_cast<char*>(msg.wParam), reinterpret_cast<BYTE*>(msg.lParam));
            break;
        default: break;
    }
    return true;
}

void CTarnNode::DropPendingMessages() {
    MSG msg{};
    while (PeekMessage(&msg, PM_REMOVE)) {
        if (msg.message == WM_TARNNODE_DATA_SYNC_SUCC || msg.message == WM_TARNNODE_INFO_UPDATE) {
            if (msg.wParam != 0) ReleaseByteBuff(reinterpret_cast<void*>(msg.wParam));
            if (msg.lParam != 0) ReleaseByteBuff(reinterpret_cast<void*>(msg.lParam));
        }
    }
}

bool CTarnNode::ProcessNetworkEvent() {
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(m_Socket, m_hNetEvent, &events) != 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessNetworkEvent] WSAEnumNetworkEvents Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
        return false;
    }
    const std::string name = GetDbName();
    if ((events.lNetworkEvents & FD_READ) != 0) {
        if (events.iErrorCode[FD_READ_BIT] != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessNetworkEvent] FD_READ Fail Err = %u , node = %s\n",
                static_cast<unsigned>(events.iErrorCode[FD_READ_BIT]), name.c_str());
        } else {
            OnFD_Read();
        }
    }
    if ((events.lNetworkEvents & FD_WRITE) != 0) {
        if (events.iErrorCode[FD_WRITE_BIT] != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessNetworkEvent] FD_WRITE Fail Err = %u , node = %s\n",
                static_cast<unsigned>(events.iErrorCode[FD_WRITE_BIT]), name.c_str());
        } else {
            OnFD_Write();
        }
    }
    if ((events.lNetworkEvents & FD_CLOSE) != 0) {
        if (events.iErrorCode[FD_CLOSE_BIT] != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessNetworkEvent] FD_CLOSE Fail Err = %u , node = %s\n",
                static_cast<unsigned>(events.iErrorCode[FD_CLOSE_BIT]), name.c_str());
        }
        OnFD_Close();
        return false;
    }
    return true;
}

bool CTarnNode::ReceiveOnce(DWORD free, int* error) {
    int n = SafeRecv(m_Socket, reinterpret_cast<char*>(m_pRecvRing->GetWritePos()), static_cast<int>(free));
    if (n <= 0) {
        *error = n == 0 ? 0 : WSAGetLastError();
        return false;
    }
    m_pRecvRing->WriteCommit(static_cast<DWORD>(n));
    m_dwLastRecvTick = GetTickCount();
    Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[OnFD_Read] socket %d recv %d byte(s) data\n", m_Socket, n);
    return true;
}

bool CTarnNode::RecordTaskEnded() const { return m_pRecordTask != nullptr && !m_pRecordTask->IsAlive(); }

void CTarnNode::OnFD_Read() {
    DWORD free = 0;
    int error = 0;
    // The record task's reads so far: the not-full event is armed against it.
    std::uint64_t seen = m_pRecvRing->ReadCount();
    while (m_pRecvRing->GetCanWriteSize(&free)) {
        if (m_nRunning.load() != 1) return;
        if (!ReceiveOnce(free, &error)) {
            if (error == 0 || error == EWOULDBLOCK) return;
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnFD_Read] socket %d , recv Fail Err = %u\n", m_Socket,
                static_cast<unsigned>(error));
            return;
        }
        seen = m_pRecvRing->ReadCount();
    }

    // The ring is full: wait for the record task to make room, still serving
    // thread messages and the exit event. Room made since the last look
    // counts as the not-full event at once.
    HANDLE waits[2] = {m_pRecvRing->GetNotFullEvent(), GetExitEvent()};
    for (;;) {
        DWORD rc = m_pRecvRing->ArmNotFull(seen) ? MsgWaitForMultipleObjects(2, waits, kRingFullWaitMs)
                                                 : WAIT_OBJECT_0;
        if (rc == WAIT_FAILED) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnFD_Read] Wait Event Fail Err = %u\n", GetLastError());
            return;
        }
        if (rc == WAIT_TIMEOUT) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[OnFD_Read] Wait For RingBuff Not Full TimeOut! Maybe Your System Is Busy.\n");
            if (RecordTaskEnded()) {
                m_nRunning.store(0);
                Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnFD_Read] CNodeLogRecordTask Exit In This CTarnNode!\n");
            }
            // The record task may be waiting for room in the send ring: replies
            // the peer can take now go out, which is what frees the task.
            OnFD_Write();
        } else if (rc == WAIT_OBJECT_0 + 1) {
            return;
        } else if (rc == WAIT_OBJECT_0 + 2) {
            if (!ProcessThreadMessage()) {
                m_nRunning.store(0);
                return;
            }
        } else {
            seen = m_pRecvRing->ReadCount();
            if (m_pRecvRing->GetCanWriteSize(&free) && !ReceiveOnce(free, &error)) break;
        }
        if (m_nRunning.load() != 1) return;
        // Nobody reads the socket while the ring is full, so a peer that left
        // or stopped reading its replies is noticed here.
        if (!WithinLimits(true)) {
            m_nRunning.store(0);
            return;
        }
    }
    m_dwLastRecvTick = GetTickCount();
    if (error == EWOULDBLOCK) return;
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnFD_Read] socket %d , recv Fail Err = %u\n", m_Socket,
        static_cast<unsigned>(error));
}

void CTarnNode::OnFD_Write() {
    // Sends until the ring is empty or the socket is full, so bytes that sit
    // after the ring's wrap point go out now rather than with the next reply.
    DWORD readable = 0;
    while (m_pSendRing->GetCanReadSize(&readable)) {
        int sent = SafeSend(m_Socket, reinterpret_cast<const char*>(m_pSendRing->GetReadPos()),
                            static_cast<int>(readable));
        if (sent < 0) {
            const int error = WSAGetLastError();
            if (error != EWOULDBLOCK) {
                Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnFD_Write] send Fail Err = %u\n",
                    static_cast<unsigned>(error));
                return;
            }
            sent = 0;  // the socket is full: wait for FD_WRITE
        }
        m_pSendRing->ReadCommit(static_cast<DWORD>(sent));
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[OnFD_Write] socket %d send %d byte(s) data\n", m_Socket, sent);
        if (static_cast<DWORD>(sent) != readable) {
            NoteSendProgress(true, sent > 0);
            WatchWrite(true);
            return;
        }
    }
    NoteSendProgress(false, true);
    WatchWrite(false);
}

void CTarnNode::NoteSendProgress(bool pending, bool progressed) {
    if (!pending) {
        m_bSendStalled = false;
    } else if (progressed || !m_bSendStalled) {
        m_bSendStalled = true;
        m_dwSendStallSince = GetTickCount();
    }
}

bool CTarnNode::WithinLimits(bool ringFull) {
    const ZelkAdvConfig& config = CConfigManager::GetInstance()->m_ZelkAdv;
    const DWORD now = GetTickCount();
    const bool identified = m_pIdentified->load();
    const auto limitMs = [](const ConfigInt& seconds) { return static_cast<DWORD>(seconds.Get()) * 1000u; };
    const char* reason = nullptr;
    if (m_bEvicted.load()) {
        reason = "It Gave Its Slot To A New Connection";
    } else if (!identified && now - m_dwStartTick >= limitMs(config.IdentifyTimeout)) {
        reason = "No Packet Of A Registered Node Within IdentifyTimeout";
    } else if (!ringFull && identified && now - m_dwLastRecvTick >= limitMs(config.IdleTimeout)) {
        reason = "Nothing Received Within IdleTimeout";
    } else if (m_bSendStalled && now - m_dwSendStallSince >= limitMs(config.SendStallTimeout)) {
        reason = "No Reply Read Within SendStallTimeout";
    } else if (ringFull && m_Socket != INVALID_SOCKET && SocketPeerReset(m_Socket)) {
        reason = "Reset By The Peer";
    }
    if (reason == nullptr) return true;
    const std::string peer = IpToText(m_dwSourceAddress);
    LogLimited(Recorder(), peer, LOG_LEVEL_WARN, kClassTag, "[WithinLimits] Connection From %s:%u Closed: %s. Node = %s\n",
               peer.c_str(), static_cast<unsigned>(m_wSourcePort), reason, GetDbName().c_str());
    return false;
}

void CTarnNode::WatchWrite(bool watch) {
    if (watch == m_bWatchWrite || m_Socket == INVALID_SOCKET) return;
    m_bWatchWrite = watch;
    WSAEventSelect(m_Socket, m_hNetEvent, watch ? FD_READ | FD_WRITE | FD_CLOSE : FD_READ | FD_CLOSE);
}

void CTarnNode::OnFD_Close() {
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "Socket %d Recv OnFD_Close!\n", m_Socket);
    CSocketManager::GetInstance()->ReleaseSocket(m_Socket, true);
    m_Socket = INVALID_SOCKET;
}

void CTarnNode::SetIdentity(const char* name, const BYTE* identity) {
    std::lock_guard<std::mutex> lock(m_NameMutex);
    m_strDbName = name;
    std::memcpy(m_Identity, identity, sizeof(m_Identity));
}

void CTarnNode::OnMsg_TarnNodeDataSyncSucc(char* name, BYTE* identity) {
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnMsg_TarnNodeDataSyncSucc] Receive Sync Succeed Message!\n");
    if (name != nullptr && identity != nullptr) SetIdentity(name, identity);
    UpdateDevConnectInfo(1);
    Start_LoadDataTask();
    Start_DataBaseCleanTask();
    Start_ReportTableGenTask();
    Start_TableRepairTask();
    if (name != nullptr) ReleaseByteBuff(name);
    if (identity != nullptr) ReleaseByteBuff(identity);
}

template <class Task>
void CTarnNode::StartMaintenanceTask(int slot, const char* allocFailed, const char* startFailed) {
    if (m_pMaintenanceTasks[slot] != nullptr) return;
    auto* task = new (std::nothrow) Task();
    if (task == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "%s", allocFailed);
        return;
    }
    task->SetDBName(GetDbName());
    m_pMaintenanceTasks[slot] = task;
    if (!CTaskManager::GetInstance()->AddTask(task)) Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "%s", startFailed);
}

void CTarnNode::Start_LoadDataTask() {
    StartMaintenanceTask<CLoadDataTask>(0, "[Start_LoadDataTask] Cannot Alloc Memory For LoadDataTask.\n",
                                        "[Start_LoadDataTask] Cannot Start LoadDataTask.\n");
}

void CTarnNode::Start_DataBaseCleanTask() {
    StartMaintenanceTask<CDataBaseCleanTask>(1, "[Start_DataBaseCleanTask] Cannot Alloc Memory For DataBaseCleanTask.\n",
                                             "[Start_DataBaseCleanTask] Cannot Start DataBaseCleanTask.\n");
}

void CTarnNode::Start_ReportTableGenTask() {
    StartMaintenanceTask<CReportTableGenTask>(
        2, "[Start_ReportTableGenTask] Cannot Alloc Memory For ReportTableGenTask.\n",
        "[Start_ReportTableGenTask] Cannot Start ReportTableGenTask.\n");
}

void CTarnNode::Start_TableRepairTask() {
    StartMaintenanceTask<CTableRepairTask>(3, "[Start_TableRepairTask] Cannot Alloc Memory For TableRepairTask.\n",
                                           "[Start_TableRepairTask] Cannot Start TableRepairTask.\n");
}

void CTarnNode::OnMsg_TarnNodeInfoUpdate(char* name, BYTE* identity) {
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
        "[OnMsg_TarnNodeInfoUpdate] Receive TarnNode Information Update Message!\n");
    if (name != nullptr && identity != nullptr) {
        SetIdentity(name, identity);
        UpdateDevConnectInfo(1);
    }
    if (name != nullptr) ReleaseByteBuff(name);
    if (identity != nullptr) ReleaseByteBuff(identity);
}

void CTarnNode::UpdateDevConnectInfo(int state) {
    if (state == m_nConnState) return;
    m_nConnState = state;
    const std::string name = GetDbName();
    if (name.empty()) return;
    // The disconnection is recorded once no record task of this node is
    // attached any more (another connection of the same node may still be).
    if (state == 0 && CGlobalSharedData::GetInstance()->GetNodeAttachedTasks(m_Identity) != 0) return;
    if (m_dwPeerAddress == 0) {
        if (SocketPeerName(m_Socket, &m_dwPeerAddress, nullptr) != 0) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[UpdateDevConnectInfo] Cannot Get Peer Info Err = %u\n",
                static_cast<unsigned>(WSAGetLastError()));
            return;
        }
    }
    SYSTEMTIME st;
    GetLocalTime(&st);
    char when[64];
    std::snprintf(when, sizeof(when), "%4d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);

    CSQLConnManager* sql = CSQLConnManager::GetInstance();
    MYSQL* connection = sql->AllocSqlConn(name.c_str(), CLIENT_MULTI_STATEMENTS, CSQLConnManager::Wait::kNoWait);
    if (connection == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[UpdateDevConnectInfo] Cannot Alloc SQL Connection.\n");
        return;
    }
    unsigned timeout = kDevInfoReadTimeoutSec;
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &timeout);

    std::int64_t total = 0;
    for (const char* table : {"usrsvrlog", "usrflowlog", "usrbasiclog", "alarm_log", "adt_log"}) {
        std::int64_t count = 0;
        GetTableLogCount(connection, table, &count);
        total += count;
    }
    char statement[256];
    std::snprintf(statement, sizeof(statement),
                  "insert into dev_info(`dev_ip`,`TotalLog`,`lastupdateTime`,`ConnStat`)  values (%u,%" PRId64
                  ",'%s',%d)",
                  m_dwPeerAddress, total, when, state);
    if (mysql_query(connection, statement) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
            "[UpdateDevConnectInfo] Cannot Update Device Info SqlErrno = %u , SqlErrStr = %s\n",
            mysql_errno(connection), mysql_error(connection));
    } else if (MYSQL_RES* result = mysql_store_result(connection)) {
        mysql_free_result(result);
    }
    sql->ReleaseSqlConn(connection);
}

bool CTarnNode::GetTableLogCount(MYSQL* connection, const char* table, std::int64_t* count) {
    *count = 0;
    const std::string statement = std::string("select count(*) from ") + table;
    if (mysql_query(connection, statement.c_str()) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[GetTableLogCount] Cannot Get Log Count Of Table = %s\n", table);
        return false;
    }
    MYSQL_RES* result = mysql_store_result(connection);
    if (result == nullptr) return false;
    bool ok = false;
    if (MYSQL_ROW row = mysql_fetch_row(result); row != nullptr && row[0] != nullptr) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[GetTableLogCount] Succeed Get %s.%s Log Count = %s\n",
            GetDbName().c_str(), table, row[0]);
        *count = std::strtoll(row[0], nullptr, 10);
        ok = true;
    }
    mysql_free_result(result);
    return ok;
}

void CTarnNode::SignalAllTaskStop() {
    if (m_pRecordTask != nullptr) {
        m_pRecordTask->Stop();
        // Wakes the record task from its wait for data, so that it sees the
        // stop request at once instead of after its 5-second wait.
        if (m_pRecvRing->GetDataReadyEvent() != nullptr) SetEvent(m_pRecvRing->GetDataReadyEvent());
        // ... and from its wait for room in a send ring nobody drains now.
        if (m_pSendRing->GetNotFullEvent() != nullptr) SetEvent(m_pSendRing->GetNotFullEvent());
    }
    for (CTask* task : m_pMaintenanceTasks) {
        if (task != nullptr) task->Stop();
    }
}

void CTarnNode::StopAllTask() {
    std::vector<CTask*> tasks;
    if (m_pRecordTask != nullptr) tasks.push_back(m_pRecordTask);
    if (m_pRecordTask != nullptr && m_pRecvRing->GetDataReadyEvent() != nullptr) {
        SetEvent(m_pRecvRing->GetDataReadyEvent());
    }
    for (CTask* task : m_pMaintenanceTasks) {
        if (task != nullptr) tasks.push_back(task);
    }
    if (tasks.empty()) return;
    for (CTask* task : tasks) task->Stop();
    DWORD rc = CTaskManager::GetInstance()->WaitForMultiTask(tasks.data(), static_cast<DWORD>(tasks.size()), true,
                                                              s_dwTaskStopWaitMs.load());
    Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[StopAllTask] Wait All Task Ret = %u.\n", rc);
    const std::string name = GetDbName();
    for (CTask* task : tasks) {
        if (!task->IsAlive()) continue;
        CCSLocker lock(TypeNameLock());
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[StopAllTask] Task Still Running! Node = %s , Task Name = %s ,  Pointer = 0x%08llx\n", name.c_str(),
            RuntimeClassName(typeid(*task)).c_str(), Address(task));
    }
}

void CTarnNode::ReleaseAllTask() {
    // A task whose thread still runs is never freed here: the task manager's
    // reaper deletes it once its thread has ended.
    if (m_pRecordTask != nullptr) CTaskManager::GetInstance()->DeleteWhenEnded(m_pRecordTask);
    m_pRecordTask = nullptr;
    for (CTask*& task : m_pMaintenanceTasks) {
        if (task != nullptr) CTaskManager::GetInstance()->DeleteWhenEnded(task);
        task = nullptr;
    }
}
