// Registry of the gateway node connections.
//
// Creates a node connection for every accepted socket while MaxConnection
// allows, and runs a reaper that every 5 s deletes the connections whose
// thread has ended, publishes the number of live connections and reports the
// service as running (a synchronised node is connected) or paused.
//
// Threads: the listener allocates and releases, the reaper walks and deletes,
// the main thread waits for all node threads at shutdown; the list lock
// serialises them.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/StoppableThread.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CTarnNode;

class CTarnNodeManager {
public:
    static constexpr DWORD kReaperPeriodMs = 5000;
    static constexpr DWORD kReaperStopWaitMs = 5000;

    static CTarnNodeManager* GetInstance();
    virtual ~CTarnNodeManager() = default;

    bool Init();
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }

    // A new registered node connection, or null when MaxConnection is reached.
    CTarnNode* AllocTarnNode();
    bool ReleaseTarnNode(CTarnNode* node);
    void WaitAllTarnNodeExit(DWORD timeoutMs);

    size_t NodeCount();
    // The registered nodes; valid only while the caller knows none is reaped.
    std::vector<CTarnNode*> Nodes();
    // Tests shorten the reaper period before Init.
    void SetReaperPeriod(DWORD periodMs) { m_dwReaperPeriodMs = periodMs; }

private:
    CTarnNodeManager() = default;

    static DWORD TarnNodeCheckProcess(void* manager);
    // One reaper pass; false when the registry was shut down.
    bool ReapEndedNodes();

    CStoppableThread m_Reaper;
    std::vector<CTarnNode*> m_Nodes;
    CRITICAL_SECTION m_csNodes;
    std::atomic<std::int32_t> m_nInitialised{0};
    std::atomic<DWORD> m_dwReaperPeriodMs{kReaperPeriodMs};
};
