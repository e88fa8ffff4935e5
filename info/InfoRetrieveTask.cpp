#include "info/InfoRetrieveTask.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/SocketManager.h"
#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "core/modules/CSLocker.h"
#include "datafile/DataFileManager.h"
#include "db/GlobalSharedData.h"
#include "info/InfoQuery.h"
#include "info/MetricsServer.h"
#include "info/MetricsText.h"
#include "core/InfoCounters.h"
#include "platform/Clock.h"
#include "writers/FinalLogWriter.h"
#include "writers/LogMerger.h"
#include "writers/SqlSpool.h"

namespace {

constexpr char kClassTag[] = "[CInfoRetrieveTask]";
constexpr std::uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1, host order
// The system caps the backlog at its own maximum.
constexpr int kListenBacklog = 0x7FFFFFFF;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// Merging of one kind counts as on only while merging is on globally.
std::uint32_t KindEnable(std::int32_t globalEnable, std::int32_t kindEnable) {
    return globalEnable != 0 ? static_cast<std::uint32_t>(kindEnable) : 0;
}

}  // namespace

InfoLogMergeReplyData MergeFigures() {
    const ZelkAdvConfig& config = CConfigManager::GetInstance()->m_ZelkAdv;
    const std::int32_t globalEnable = config.GlobalEnableLogMerge.Get();
    DWORD buffers = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t usedBytes = 0;
    CLogMergeManager::GetInstance()->GetStatistics(&buffers, &totalBytes, &usedBytes);

    InfoLogMergeReplyData data{};
    data.version = infoquery::kReplyVersion;
    data.globalMergeEnable = static_cast<std::uint32_t>(globalEnable);
    data.allLogs = GetInfoCounter(INFO_COUNTER_ALL);
    data.mergedTotal = GetInfoCounter(INFO_COUNTER_MERGED_TOTAL);
    data.bufferTotalBytes = infoquery::ClampToU32(totalBytes);
    data.bufferCount = buffers;
    data.bufferUsagePercent = infoquery::MergeUsagePercent(usedBytes, totalBytes);
    data.userMergeEnable = KindEnable(globalEnable, config.UserLogEnableLogMerge.Get());
    data.userLogsMerged = GetInfoCounter(INFO_COUNTER_MERGE_1);
    data.flowMergeEnable = KindEnable(globalEnable, config.FlowLogEnableLogMerge.Get());
    data.flowLogsMerged = GetInfoCounter(INFO_COUNTER_MERGE_2);
    data.sysMergeEnable = KindEnable(globalEnable, config.SysLogEnableLogMerge.Get());
    data.sysLogsMerged = GetInfoCounter(INFO_COUNTER_MERGE_3);

    return data;
}

void NodeFigures(InfoNodesReplyHead* head, std::vector<InfoNodeRecord>* nodes) {
    *head = InfoNodesReplyHead{};
    head->version = infoquery::kReplyVersion;
    head->recordSize = sizeof(InfoNodeRecord);
    head->diskFull = CConfigManager::GetInstance()->m_Zelk.ISFULL.Get() != 0 ? 1 : 0;
    size_t files = 0;
    std::uint64_t bytes = 0;
    CDataFileManager::GetInstance()->ImportBacklog(&files, &bytes);
    head->importBacklogFiles = files;
    head->importBacklogBytes = bytes;
    head->importedFiles = CDataFileManager::GetInstance()->ImportedFiles();
    // Places in the order logs pass them, each read after the one before
    // it: a log handed on between two readings is seen in both rather than
    // in neither (every place notes the new holder before it forgets its
    // own). Read before the node list's lock, which the data file manager
    // takes inside its own.
    OldestPendingMap oldest;
    CLogMergeManager::GetInstance()->OldestPending(&oldest);
    CFinalLogWriter::OldestPending(&oldest);
    CDataFileManager::GetInstance()->OldestPending(&oldest);
    CSqlSpool::GetInstance()->OldestPending(&oldest);
    const auto now = static_cast<std::int64_t>(GetSystemTimeSeconds());
    head->now = now;
    nodes->clear();
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    CCSLocker lock(data->NodeListLock());
    for (const auto& node : data->NodeListLocked()) {
        InfoNodeRecord r{};
        // Node names are stored in GBK; the record carries UTF-8.
        char* utf8 = nullptr;
        const char* name = GbkToUtf8(node->strNodeName.c_str(), &utf8);
        std::snprintf(r.name, sizeof(r.name), "%s", name != nullptr ? name : node->strNodeName.c_str());
        if (utf8 != nullptr) ReleaseByteBuff(reinterpret_cast<BYTE*>(utf8));
        const NodeActivity& a = node->activity;
        r.connections = static_cast<std::uint32_t>(std::max(0, node->nAttachedTasks.load()));
        for (size_t k = 0; k < NodeActivity::KIND_COUNT; ++k) r.accepted[k] = a.accepted[k].load();
        r.receivedBytes = a.receivedBytes.load();
        r.refused = a.refused.load();
        r.lastPacket = a.lastPacket.load();
        r.lastKeepAlive = a.lastKeepAlive.load();
        r.lastStored = a.lastStored.load();
        const auto pending = oldest.find(node->strDbName);
        r.oldestPending = pending != oldest.end() ? std::min(pending->second, now) : 0;
        nodes->push_back(r);
    }
    head->nodeCount = static_cast<std::uint32_t>(nodes->size());
}

MetricsSnapshot CollectMetrics() {
    MetricsSnapshot snapshot;
    snapshot.merge = MergeFigures();
    snapshot.counters.assign(loss::COUNTER_COUNT, 0);
    loss::Snapshot(snapshot.counters.data());
    NodeFigures(&snapshot.service, &snapshot.nodes);
    snapshot.haveNodes = true;
    return snapshot;
}

std::string RenderMetrics() { return RenderPrometheus(CollectMetrics()); }

bool StartMetricsEndpoint(CMetricsServer* server) {
    const ZelkAdvConfig& config = CConfigManager::GetInstance()->m_ZelkAdv;
    const std::string address = config.MetricsAddress.Get();
    const int port = config.MetricsPort.Get();
    if (port == 0) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[StartMetricsEndpoint] Scrape Endpoint Off (Metrics Port = 0)\n");
        return true;
    }
    if (!server->Start(address, static_cast<std::uint16_t>(port), &RenderMetrics)) return false;
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[StartMetricsEndpoint] Serving GET /metrics On %s:%d\n",
        address.c_str(), port);
    return true;
}

CInfoRetrieveTask::~CInfoRetrieveTask() {
    CloseListener();
    if (m_hClientEvent != nullptr) CloseHandle(m_hClientEvent);
    m_hClientEvent = nullptr;
}

void CInfoRetrieveTask::CloseListener() {
    if (m_ListenSocket != INVALID_SOCKET) CSocketManager::GetInstance()->ReleaseSocket(m_ListenSocket, true);
    m_ListenSocket = INVALID_SOCKET;
    if (m_hListenEvent != nullptr) CloseHandle(m_hListenEvent);
    m_hListenEvent = nullptr;
}

DWORD CInfoRetrieveTask::Run() {
    const std::int32_t port = CConfigManager::GetInstance()->m_ZelkAdv.ListenPort.Get();
    // 0 until ZelkAdv.conf has been loaded; the loader keeps it in 1..65535.
    if (port <= 0 || port > 65535) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Run] Invalid Listen Port = %d\n", port);
        return static_cast<DWORD>(-1);
    }
    if (!OpenListener(static_cast<std::uint16_t>(port))) return static_cast<DWORD>(-1);

    while (IsRunning()) {
        UpdateActivityTime();
        if (WaitExit(0)) break;
        const WaitResult rc = WaitReadable(m_hListenEvent, static_cast<DWORD>(kWaitSeconds * 1000));
        if (rc == WaitResult::Failed) {
            // Only a broken wait gets here; looping on it would spin.
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Cannot select Err = %u\n", GetLastError());
            break;
        }
        if (rc == WaitResult::Readable && DoAcceptService(m_ListenSocket) == 0) break;
    }

    CloseListener();
    return 0;
}

bool CInfoRetrieveTask::OpenListener(std::uint16_t port) {
    m_ListenSocket = CSocketManager::GetInstance()->AllocSocket(kSocketTypeStream);
    if (m_ListenSocket == INVALID_SOCKET) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Run] Cannot Alloc Socket.\n");
        return false;
    }
    // Selecting no event yet only makes the socket non-blocking; FD_ACCEPT is
    // selected once it listens. A socket that does not listen is never
    // waited on: on Linux it would read as hung up at once.
    m_hListenEvent = WSACreateEvent();
    if (WSAEventSelect(m_ListenSocket, m_hListenEvent, 0) != 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Run] Cannot Use Non-Block Mode Err = %u.\n",
            static_cast<unsigned>(WSAGetLastError()));
    }
    // A restarted service binds its port while old connections linger in
    // TIME_WAIT.
    SetSocketReuseAddress(m_ListenSocket);
    if (SocketBind(m_ListenSocket, kLoopbackAddress, port) != 0) {
        // Not listening after a failed bind: Linux would bind an unbound
        // socket to a random port on every interface.
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Bind Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
    } else if (SocketListen(m_ListenSocket, kListenBacklog) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] listen Fail Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
    } else if (m_hListenEvent != nullptr) {
        WSAEventSelect(m_ListenSocket, m_hListenEvent, FD_ACCEPT);
    }
    return true;
}

bool CInfoRetrieveTask::WaitExit(DWORD timeoutMs) {
    if (WaitForExitEvent(timeoutMs) != WAIT_OBJECT_0) return false;
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[WaitExit] Wait Exit Event.\n");
    return true;
}

CInfoRetrieveTask::WaitResult CInfoRetrieveTask::WaitReadable(HANDLE netEvent, DWORD timeoutMs) {
    if (netEvent == nullptr) return WaitResult::Failed;
    // The exit event comes first: a wait-any reports the lowest index, so
    // shutdown wins over a waiting client.
    HANDLE waits[2] = {};
    DWORD count = 0;
    if (HANDLE exitEvent = GetExitEvent(); exitEvent != nullptr) {
        waits[count++] = exitEvent;
    }
    const DWORD netIndex = count;
    waits[count++] = netEvent;
    for (DWORD waited = 0;;) {
        if (!IsRunning()) return WaitResult::Interrupted;
        const DWORD slice = std::min(kStopCheckMs, timeoutMs - waited);
        const DWORD rc = WaitForMultipleObjects(count, waits, false, slice);
        if (rc == WAIT_OBJECT_0 + netIndex) return WaitResult::Readable;
        if (rc < WAIT_OBJECT_0 + netIndex) return WaitResult::Interrupted;
        if (rc != WAIT_TIMEOUT) return WaitResult::Failed;
        waited += slice;
        if (waited >= timeoutMs) return WaitResult::TimedOut;
    }
}

int CInfoRetrieveTask::DoAcceptService(SOCKET listenSocket) {
    SOCKET s = SocketAccept(listenSocket, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        // A client that went away between readiness and accept is no reason
        // to stop serving the others.
        if (error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR) return 1;
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[DoAcceptService] Accept Socket Fail Err = %u\n",
            static_cast<unsigned>(error));
        return 0;
    }
    CSocketManager::GetInstance()->AddSocket(s);
    const int result = ServeConnection(s);
    CSocketManager::GetInstance()->ReleaseSocket(s, true);
    return result;
}

int CInfoRetrieveTask::ServeConnection(SOCKET s) {
    char buffer[kRecvBufferBytes];
    while (IsRunning()) {
        UpdateActivityTime();
        if (WaitExit(0)) break;
        std::memset(buffer, 0, sizeof(buffer));
        bool closed = false;
        const int received = RecvData(s, buffer, sizeof(buffer), kWaitSeconds, 0, &closed);
        if (closed || received < 0) break;
        // Also after a time-out: nothing received is no request.
        DispatchRequest(s, buffer, received);
    }
    // The event must not stay bound to a descriptor that is about to close.
    if (m_hClientEvent != nullptr) WSAEventSelect(s, m_hClientEvent, 0);
    return 1;
}

int CInfoRetrieveTask::RecvData(SOCKET s, char* buffer, int length, long seconds, long microseconds, bool* closed) {
    if (s == INVALID_SOCKET || s == 0 || buffer == nullptr || length <= 0) return 0;
    if (m_hClientEvent == nullptr) m_hClientEvent = WSACreateEvent();
    if (WSAEventSelect(s, m_hClientEvent, FD_READ | FD_CLOSE) != 0) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[RecvData] Cannot select Err = %u\n",
            static_cast<unsigned>(WSAGetLastError()));
        return 0;
    }
    const DWORD timeoutMs = static_cast<DWORD>(std::max(0L, seconds) * 1000 + std::max(0L, microseconds) / 1000);
    switch (WaitReadable(m_hClientEvent, timeoutMs)) {
        case WaitResult::TimedOut:
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[RecvData] Select TimeOut.\n");
            return 0;
        case WaitResult::Failed:
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[RecvData] Cannot select Err = %u\n", GetLastError());
            return 0;
        case WaitResult::Interrupted:  // the caller sees the stop or the exit event
            return 0;
        case WaitResult::Readable:
            break;
    }

    const int received = SafeRecv(s, buffer, length);
    if (received < 0) {
        const int error = WSAGetLastError();
        if (error == EWOULDBLOCK || error == EINTR) return 0;  // readiness gone meanwhile
        if (closed != nullptr) *closed = true;
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[RecvData] Cannot recv Data Err = %u\n",
            static_cast<unsigned>(error));
        return -1;
    }
    if (received == 0) {
        if (closed != nullptr) *closed = true;
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[RecvData] Socket Close.\n");
        return 0;
    }
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[RecvData] Socket Recv Size = %d.\n", received);
    return received;
}

int CInfoRetrieveTask::DispatchRequest(SOCKET s, const char* data, int length) {
    if (data == nullptr || length < static_cast<int>(sizeof(InfoQueryHeader))) return 1;
    InfoQueryHeader header;
    std::memcpy(&header, data, sizeof(header));

    if (header.headerSize != sizeof(InfoQueryHeader)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DispatchRequest] Query Header Size = %u Not %u\n",
            static_cast<unsigned>(header.headerSize), static_cast<unsigned>(sizeof(InfoQueryHeader)));
        return 1;
    }
    if (std::memcmp(header.sign, infoquery::kQuerySign, sizeof(header.sign)) != 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DispatchRequest] Query Header Sign Not INFOQRY\n");
        return 1;
    }
    // The type is judged as a signed number: negative types are ignored
    // without a line.
    const auto type = static_cast<std::int32_t>(header.queryType);
    if (type == static_cast<std::int32_t>(infoquery::kQueryTypeLogMerge)) {
        DoLogMergeInfoRequest(s, data, length);
    } else if (type == static_cast<std::int32_t>(infoquery::kQueryTypeAccounting)) {
        DoAccountingRequest(s);
    } else if (type == static_cast<std::int32_t>(infoquery::kQueryTypeNodes)) {
        DoNodesRequest(s);
    } else if (type >= 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DispatchRequest] Query Type = %u Not Support.\n",
            static_cast<unsigned>(header.queryType));
    }
    return 1;
}

int CInfoRetrieveTask::DoLogMergeInfoRequest(SOCKET s, const char* request, int length) {
    InfoReplyHeader header{};
    header.headerSize = sizeof(InfoReplyHeader);
    std::memcpy(header.sign, infoquery::kReplySign, sizeof(header.sign));
    header.version = infoquery::kReplyVersion;
    header.queryType = infoquery::kQueryTypeLogMerge;
    header.reserved = 0;
    header.dataSize = sizeof(InfoLogMergeReplyData);

    const InfoLogMergeReplyData data = MergeFigures();

    // Both parts are sent whatever became of the first.
    int sent = SafeSend(s, reinterpret_cast<const char*>(&header), sizeof(header));
    if (sent < static_cast<int>(sizeof(header))) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[DoLogMergeInfoRequest] Send struct InfoReplyHeader Ret = %d , Err = %u\n", sent,
            static_cast<unsigned>(WSAGetLastError()));
    }
    sent = SafeSend(s, reinterpret_cast<const char*>(&data), sizeof(data));
    if (sent < static_cast<int>(sizeof(data))) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[DoLogMergeInfoRequest] Send struct InfoLogMergeReplyData Ret = %d , Err = %u\n", sent,
            static_cast<unsigned>(WSAGetLastError()));
    }
    return 1;
}

// The wire order is documented in docs/info.md: counters are only appended.
static_assert(loss::COUNTER_COUNT == 28, "a new accounting counter goes at the end, and into docs/info.md");

int CInfoRetrieveTask::DoAccountingRequest(SOCKET s) {
    constexpr size_t kDataSize = sizeof(InfoAccountingReplyHead) + loss::COUNTER_COUNT * sizeof(std::uint64_t);
    char reply[sizeof(InfoReplyHeader) + kDataSize];
    InfoReplyHeader header{};
    header.headerSize = sizeof(InfoReplyHeader);
    std::memcpy(header.sign, infoquery::kReplySign, sizeof(header.sign));
    header.version = infoquery::kReplyVersion;
    header.queryType = infoquery::kQueryTypeAccounting;
    header.dataSize = static_cast<std::uint32_t>(kDataSize);
    const InfoAccountingReplyHead head{infoquery::kReplyVersion, loss::COUNTER_COUNT};
    std::uint64_t counters[loss::COUNTER_COUNT];
    loss::Snapshot(counters);
    std::memcpy(reply, &header, sizeof(header));
    std::memcpy(reply + sizeof(header), &head, sizeof(head));
    std::memcpy(reply + sizeof(header) + sizeof(head), counters, sizeof(counters));
    const int sent = SafeSend(s, reply, static_cast<int>(sizeof(reply)));
    if (sent < static_cast<int>(sizeof(reply))) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DoAccountingRequest] Send Reply Ret = %d , Err = %u\n", sent,
            static_cast<unsigned>(WSAGetLastError()));
    }
    return 1;
}

int CInfoRetrieveTask::DoNodesRequest(SOCKET s) {
    InfoNodesReplyHead head;
    std::vector<InfoNodeRecord> nodes;
    NodeFigures(&head, &nodes);
    InfoReplyHeader header{};
    header.headerSize = sizeof(InfoReplyHeader);
    std::memcpy(header.sign, infoquery::kReplySign, sizeof(header.sign));
    header.version = infoquery::kReplyVersion;
    header.queryType = infoquery::kQueryTypeNodes;
    header.dataSize = static_cast<std::uint32_t>(sizeof(head) + nodes.size() * sizeof(InfoNodeRecord));
    std::string reply(reinterpret_cast<const char*>(&header), sizeof(header));
    reply.append(reinterpret_cast<const char*>(&head), sizeof(head));
    reply.append(reinterpret_cast<const char*>(nodes.data()), nodes.size() * sizeof(InfoNodeRecord));
    const int sent = SafeSend(s, reply.data(), static_cast<int>(reply.size()));
    if (sent < static_cast<int>(reply.size())) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DoNodesRequest] Send Reply Ret = %d , Err = %u\n", sent,
            static_cast<unsigned>(WSAGetLastError()));
    }
    return 1;
}
