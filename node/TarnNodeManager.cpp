#include "node/TarnNodeManager.h"

#include "platform/Process.h"

#include <algorithm>
#include <new>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "maintenance/InfoManager.h"
#include "node/ServiceHost.h"
#include "node/TarnNode.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace {

constexpr char kClassTag[] = "[CTarnNodeManager]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

unsigned long long Address(const void* p) { return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)); }

}  // namespace

CTarnNodeManager* CTarnNodeManager::GetInstance() {
    static CTarnNodeManager* instance = new CTarnNodeManager();  // node threads may outlive main
    return instance;
}

bool CTarnNodeManager::Init() {
    bool ok = InitializeCriticalSectionAndSpinCount(&m_csNodes, kCsSpinCount);
    m_nInitialised.store(ok ? 1 : 0);
    if (!m_Reaper.Start(&CTarnNodeManager::TarnNodeCheckProcess, this)) {
        m_nInitialised.store(0);
        return false;
    }
    return ok;
}

bool CTarnNodeManager::UnInit() {
    m_nInitialised.store(0);
    m_Reaper.Stop(kReaperStopWaitMs);
    DeleteCriticalSection(&m_csNodes);
    return true;
}

CTarnNode* CTarnNodeManager::AllocTarnNode(std::uint32_t address, std::uint16_t port) {
    if (!IsInitialised()) return nullptr;
    {
        CCSLocker lock(&m_csNodes);
        if (!MakeRoomLocked(address)) return nullptr;
    }
    CTarnNode* node = new (std::nothrow) CTarnNode();
    if (node == nullptr) return nullptr;
    node->SetSourceAddress(address, port);
    CCSLocker lock(&m_csNodes);
    m_Nodes.push_back(node);
    return node;
}

bool CTarnNodeManager::MakeRoomLocked(std::uint32_t address) {
    ReapEndedLocked();
    const ZelkAdvConfig& config = CConfigManager::GetInstance()->m_ZelkAdv;
    size_t holding = 0;
    size_t fromAddress = 0;
    CTarnNode* oldestUnidentified = nullptr;
    for (CTarnNode* node : m_Nodes) {
        if (node->IsEvicted()) continue;  // its thread ends within one pass
        ++holding;
        // Identified nodes behind one address (a site's NAT) are not limited.
        if (node->GetSourceAddress() == address && !node->IsIdentified()) ++fromAddress;
        if (!node->IsIdentified() && node->GetThreadHandle() != nullptr &&
            (oldestUnidentified == nullptr ||
             static_cast<std::int32_t>(node->GetStartTick() - oldestUnidentified->GetStartTick()) < 0)) {
            oldestUnidentified = node;
        }
    }
    const std::string peer = IpToText(address);
    if (fromAddress >= static_cast<size_t>(config.MaxConnectionPerAddress.Get())) {
        LogLimited(Recorder(), peer, LOG_LEVEL_WARN, kClassTag,
                   "[AllocTarnNode] Max Connection Per Address. Addr = %s\n", peer.c_str());
        return false;
    }
    if (holding < static_cast<size_t>(config.MaxConnection.Get())) return true;
    if (oldestUnidentified == nullptr) {
        LogLimited(Recorder(), peer, LOG_LEVEL_WARN, kClassTag, "[AllocTarnNode] Max Connection.\n");
        return false;
    }
    // Every slot is taken: the connection that has waited longest without
    // naming a registered node gives its slot up.
    oldestUnidentified->Evict();
    return true;
}

bool CTarnNodeManager::ReleaseTarnNode(CTarnNode* node) {
    if (node == nullptr || !IsInitialised()) return false;
    CCSLocker lock(&m_csNodes);
    auto it = std::find(m_Nodes.begin(), m_Nodes.end(), node);
    if (it != m_Nodes.end()) {
        m_Nodes.erase(it);
    } else {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[ReleaseTarnNode] Specify TarnNode Does Not In The TarnNode Manager\n");
    }
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ReleaseTarnNode] Release TarnNode Object = 0x%08llx\n",
        Address(node));
    delete node;
    return true;
}

void CTarnNodeManager::WaitAllTarnNodeExit(DWORD timeoutMs) {
    if (!IsInitialised()) return;
    CCSLocker lock(&m_csNodes);
    std::vector<HANDLE> threads;
    for (CTarnNode* node : m_Nodes) {
        if (node->GetThreadHandle() != nullptr) threads.push_back(node->GetThreadHandle());
    }
    if (!threads.empty()) {
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), true, timeoutMs);
    }
}

size_t CTarnNodeManager::NodeCount() {
    CCSLocker lock(&m_csNodes);
    return m_Nodes.size();
}

bool CTarnNodeManager::HasRunningConnection(std::uint16_t sourcePort) {
    CCSLocker lock(&m_csNodes);
    for (CTarnNode* node : m_Nodes) {
        if (node->GetSourcePort() == sourcePort && node->GetThreadHandle() != nullptr &&
            WaitForSingleObject(node->GetThreadHandle(), 0) == WAIT_TIMEOUT) {
            return true;
        }
    }
    return false;
}

std::vector<CTarnNode*> CTarnNodeManager::Nodes() {
    CCSLocker lock(&m_csNodes);
    return m_Nodes;
}

std::int32_t CTarnNodeManager::ReapEndedLocked() {
    std::int32_t live = 0;
    for (auto it = m_Nodes.begin(); it != m_Nodes.end();) {
        CTarnNode* node = *it;
        HANDLE thread = node->GetThreadHandle();
        if (thread == nullptr) {
            ++it;
            continue;
        }
        if (WaitForSingleObject(thread, 0) != WAIT_TIMEOUT) {
            Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
                "[TarnNodeCheckProcess] Release A TarnNode. Node = %s ,  Object = 0x%08llx\n",
                node->GetDbName().c_str(), Address(node));
            delete node;
            it = m_Nodes.erase(it);
        } else {
            ++live;
            ++it;
        }
    }
    return live;
}

bool CTarnNodeManager::ReapEndedNodes() {
    if (!IsInitialised()) return false;
    std::int32_t live = 0;
    size_t before = 0;
    size_t after = 0;
    {
        CCSLocker lock(&m_csNodes);
        before = m_Nodes.size();
        live = ReapEndedLocked();
        after = m_Nodes.size();
    }
    // The threads of the connections that ended freed their buffers into
    // the allocator's per-thread heaps, which keep them unless told.
    if (after < before) ReleaseFreeMemory();
    const bool running = live > 0 && CGlobalSharedData::GetInstance()->IsAnyNodeSynced() != 0;
    if (CServiceHost* host = GetServiceHost()) host->ReportNodesConnected(running);
    CInfoManager::GetInstance()->SetLiveConnections(live);
    return true;
}

DWORD CTarnNodeManager::TarnNodeCheckProcess(void* param) {
    auto* manager = static_cast<CTarnNodeManager*>(param);
    if (manager == nullptr || GetExitEvent() == nullptr) return static_cast<DWORD>(-1);
    DWORD rc = manager->m_Reaper.WaitPeriod(manager->m_dwReaperPeriodMs);
    while (rc == WAIT_TIMEOUT && manager->ReapEndedNodes()) rc = manager->m_Reaper.WaitPeriod(manager->m_dwReaperPeriodMs);
    Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[TarnNodeCheckProcess] Exit With Wait Code = %u", rc);
    return 0;
}
