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

    // A new registered node connection for a peer at address (host order),
    // or null when the address holds MaxConnectionPerAddress connections that
    // have not identified themselves yet,
    // or MaxConnection is reached and no connection that has not identified
    // itself can give up its slot. Connections whose thread has ended are
    // deleted first, so a slot is free as soon as its connection ends. A
    // refusal is logged once per source and minute.
    CTarnNode* AllocTarnNode(std::uint32_t address = 0, std::uint16_t port = 0);
    bool ReleaseTarnNode(CTarnNode* node);
    void WaitAllTarnNodeExit(DWORD timeoutMs);

    size_t NodeCount();
    // True while a connection from the peer's port is registered and its
    // thread runs.
    bool HasRunningConnection(std::uint16_t sourcePort);
    // The registered nodes; valid only while the caller knows none is reaped.
    std::vector<CTarnNode*> Nodes();
    // Tests shorten the reaper period before Init.
    void SetReaperPeriod(DWORD periodMs) { m_dwReaperPeriodMs = periodMs; }

private:
    CTarnNodeManager() = default;

    static DWORD TarnNodeCheckProcess(void* manager);
    // One reaper pass; false when the registry was shut down.
    bool ReapEndedNodes();
    // Deletes the nodes whose thread has ended; returns the number of the
    // others whose thread runs (the list lock held by the caller).
    std::int32_t ReapEndedLocked();
    // Whether a new connection from address may have a slot; may evict the
    // oldest connection that has not identified itself (list lock held).
    bool MakeRoomLocked(std::uint32_t address);

    CStoppableThread m_Reaper;
    std::vector<CTarnNode*> m_Nodes;
    CRITICAL_SECTION m_csNodes;
    std::atomic<std::int32_t> m_nInitialised{0};
    std::atomic<DWORD> m_dwReaperPeriodMs{kReaperPeriodMs};
};
