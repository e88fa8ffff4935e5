#include "node/TarnNodeManager.h"

#include <algorithm>
#include <new>

#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "db/InfoManager.h"
#include "node/TarnNode.h"
#include "platform/Thread.h"
#include "service/ServiceModule.h"

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

CTarnNode* CTarnNodeManager::AllocTarnNode() {
    if (!IsInitialised()) return nullptr;
    {
        CCSLocker lock(&m_csNodes);
        const auto limit = static_cast<size_t>(CConfigManager::GetInstance()->m_ZelkAdv.MaxConnection.Get());
        if (m_Nodes.size() >= limit) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[AllocTarnNode] Max Connection.\n");
            return nullptr;
        }
    }
    CTarnNode* node = new (std::nothrow) CTarnNode();
    if (node == nullptr) return nullptr;
    CCSLocker lock(&m_csNodes);
    m_Nodes.push_back(node);
    return node;
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

std::vector<CTarnNode*> CTarnNodeManager::Nodes() {
    CCSLocker lock(&m_csNodes);
    return m_Nodes;
}

bool CTarnNodeManager::ReapEndedNodes() {
    if (!IsInitialised()) return false;
    std::int32_t live = 0;
    bool anyAlive = false;
    {
        CCSLocker lock(&m_csNodes);
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
                anyAlive = true;
                ++it;
            }
        }
    }
    const bool running = anyAlive && CGlobalSharedData::GetInstance()->IsAnyNodeSynced() != 0;
    CServiceModule::GetInstance()->SetServiceStatus(running ? SERVICE_RUNNING : SERVICE_PAUSED);
    CInfoManager::GetInstance()->SetLiveConnections(live);
    return true;
}

DWORD CTarnNodeManager::TarnNodeCheckProcess(void* param) {
    auto* manager = static_cast<CTarnNodeManager*>(param);
    if (manager == nullptr || CGlobalSharedData::GetInstance()->GetExitEvent() == nullptr) return static_cast<DWORD>(-1);
    DWORD rc = manager->m_Reaper.WaitPeriod(manager->m_dwReaperPeriodMs);
    while (rc == WAIT_TIMEOUT && manager->ReapEndedNodes()) rc = manager->m_Reaper.WaitPeriod(manager->m_dwReaperPeriodMs);
    Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[TarnNodeCheckProcess] Exit With Wait Code = %u", rc);
    return 0;
}
