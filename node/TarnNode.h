// One accepted gateway node connection and the thread that serves it.
//
// The node thread owns the socket: it receives bytes into the receive ring,
// sends what the record task put into the send ring, and handles the thread
// messages the record task posts to it. Once the node is known (its first
// checked log or its info sync) it records the node in dev_info. When the
// connection ends the thread takes its tasks down, records the disconnection
// and ends; the node registry's reaper then deletes the object.
//
// Threads: everything but the accessors runs on the node thread. The
// registry's reaper reads the thread handle and the database name (under the
// name lock).
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "node/RingCache.h"
#include "platform/Socket.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

class CTask;

// Messages posted to a node thread. The two pointers of the sync and update
// messages are pool buffers (database name, 16-byte identity) that the node
// thread gives back.
constexpr UINT WM_TARNNODE_DATA_SYNC_SUCC = WM_USER + 100;
constexpr UINT WM_TARNNODE_DATA_CAN_SEND = WM_USER + 201;
constexpr UINT WM_TARNNODE_INFO_UPDATE = WM_USER + 202;

class CTarnNode {
public:
    static constexpr DWORD kNetworkWaitMs = 100;
    static constexpr DWORD kRingFullWaitMs = 2000;
    static constexpr DWORD kTaskStopWaitMs = 30000;
    // Tests shorten how long the node waits for its tasks to stop.
    static void SetTaskStopWait(DWORD waitMs) { s_dwTaskStopWaitMs.store(waitMs); }
    static constexpr unsigned kDevInfoReadTimeoutSec = 3000;

    CTarnNode();
    virtual ~CTarnNode();
    CTarnNode(const CTarnNode&) = delete;
    CTarnNode& operator=(const CTarnNode&) = delete;

    void SetSocket(SOCKET s);
    bool Start();
    static DWORD Run(void* node);

    // The peer's IPv4 address (host order) as accepted; the registry limits
    // connections per address and the limit lines name it.
    void SetSourceAddress(std::uint32_t address, std::uint16_t port);
    std::uint32_t GetSourceAddress() const { return m_dwSourceAddress; }
    std::uint16_t GetSourcePort() const { return m_wSourcePort; }
    // True once a packet that passed its checks named a registered node.
    bool IsIdentified() const { return m_pIdentified->load(); }
    // Asks the node thread to close the connection within one pass; the
    // registry gives the slot of a connection that never identified itself
    // to a new one this way.
    void Evict() { m_bEvicted.store(true); }
    bool IsEvicted() const { return m_bEvicted.load(); }
    // Tick of Start: the age of the connection for the identify deadline.
    DWORD GetStartTick() const { return m_dwStartTick; }

    HANDLE GetThreadHandle() const { return m_hThread.load(std::memory_order_acquire); }
    DWORD GetThreadId() const { return m_dwThreadId.load(); }
    std::string GetDbName() const;
    CRingCache* GetRecvRing() { return m_pRecvRing.get(); }
    CRingCache* GetSendRing() { return m_pSendRing.get(); }
    bool IsRunning() const { return m_nRunning.load() == 1; }

private:
    bool InitRingCaches();
    bool ProcessThreadMessage();
    bool ProcessNetworkEvent();
    void OnFD_Read();
    void OnFD_Write();
    // Selects FD_WRITE only while a send was partial: a writable socket
    // would otherwise signal the network event on every pass.
    void WatchWrite(bool watch);
    void OnFD_Close();
    void OnMsg_TarnNodeDataSyncSucc(char* name, BYTE* identity);
    void OnMsg_TarnNodeInfoUpdate(char* name, BYTE* identity);
    void SetIdentity(const char* name, const BYTE* identity);
    void UpdateDevConnectInfo(int state);
    // The node's four maintenance tasks, started once per connection after
    // the first successful sync (each a no-op when its task exists): the
    // import, the cleaning, the report tables and the table repair.
    void Start_LoadDataTask();
    void Start_DataBaseCleanTask();
    void Start_ReportTableGenTask();
    void Start_TableRepairTask();
    template <class Task>
    void StartMaintenanceTask(int slot, const char* allocFailed, const char* startFailed);
    bool GetTableLogCount(MYSQL* connection, const char* table, std::int64_t* count);
    void SignalAllTaskStop();
    void StopAllTask();
    void ReleaseAllTask();
    // Receives into the receive ring once; false when the receive gave 0 or
    // failed (error left in *error).
    bool ReceiveOnce(DWORD free, int* error);
    // Gives back the pool buffers of messages nobody will handle any more.
    void DropPendingMessages();
    bool RecordTaskEnded() const;
    // False when the connection broke one of its limits (and says which,
    // once per source and minute): no registered identity within
    // IdentifyTimeout, silence beyond IdleTimeout once identified (checked
    // only while the receive ring has room, so a node held back by its own
    // backlog is not idle), replies not read for SendStallTimeout, a reset
    // by the peer seen while the ring was full, or eviction.
    bool WithinLimits(bool ringFull);
    void NoteSendProgress(bool pending, bool progressed);

    std::atomic<std::int32_t> m_nRunning{0};
    // Set by Start on the listen thread while the node is already in the
    // registry, whose reaper and queries read it under the registry's lock
    // only: published with release, read with acquire.
    std::atomic<HANDLE> m_hThread{nullptr};
    std::atomic<DWORD> m_dwThreadId{0};
    SOCKET m_Socket = INVALID_SOCKET;
    HANDLE m_hNetEvent = nullptr;
    // The record task holds the rings too: they live until both the node
    // thread and the task are done with them.
    std::shared_ptr<CRingCache> m_pRecvRing = std::make_shared<CRingCache>();
    std::shared_ptr<CRingCache> m_pSendRing = std::make_shared<CRingCache>();
    bool m_bWatchWrite = false;
    // Shared with the record task, which sets it (the task may outlive the node).
    std::shared_ptr<std::atomic<bool>> m_pIdentified = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> m_bEvicted{false};
    std::uint32_t m_dwSourceAddress = 0;
    std::uint16_t m_wSourcePort = 0;
    DWORD m_dwStartTick = 0;
    DWORD m_dwLastRecvTick = 0;
    // Since when replies wait in the send ring without any being sent.
    bool m_bSendStalled = false;
    DWORD m_dwSendStallSince = 0;
    std::uint32_t m_dwPeerAddress = 0;
    int m_nConnState = 0;
    mutable std::mutex m_NameMutex;
    std::string m_strDbName;
    BYTE m_Identity[16] = {};
    // The record task and the four maintenance tasks (in Start_ order).
    CTask* m_pRecordTask = nullptr;
    CTask* m_pMaintenanceTasks[4] = {};

    static std::atomic<DWORD> s_dwTaskStopWaitMs;
};
