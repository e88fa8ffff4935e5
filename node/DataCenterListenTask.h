// The task that accepts gateway node connections.
//
// At its start it deletes stale info-sync files, loads the known nodes from
// dev_node and, as the service, makes sure the watchdog runs. It then listens
// on Port of Zelk.conf on all interfaces and hands every accepted socket to a
// new node connection. When it ends, for whatever reason after the node list
// was loaded, it posts WM_QUIT to the service's host thread: the service does
// not run without its listener. While MySQL does not answer, the node list is
// tried again every kNodeListRetryMs, so a service started before its
// database (or during an outage) starts listening once the database answers.
// The service reports itself ready once the port listens; a listener that
// ends for any other reason than a stop makes the service exit non-zero.
// Accept errors that concern only the connection being accepted, or a
// passing shortage, never end the listener.
#pragma once

#include <atomic>

#include "core/Task.h"
#include "platform/Socket.h"

class CDataCenterListenTask : public CTask {
public:
    static constexpr DWORD kWaitMs = 1000;
    static constexpr int kRecvBufferBytes = 2097152;
    static constexpr DWORD kKeepAliveTimeMs = 60000;
    static constexpr DWORD kKeepAliveIntervalMs = 2000;
    static constexpr char kWatchdogServiceName[] = "zelkdog.service";
    static constexpr DWORD kNodeListRetryMs = 10000;
    // Pause after an accept failed for want of memory or descriptors, so
    // that the waiting connection does not wake the listener in a loop.
    static constexpr DWORD kAcceptBackoffMs = 100;
    // Tests shorten the pause between attempts to load the node list.
    static void SetNodeListRetry(DWORD waitMs) { s_dwNodeListRetryMs.store(waitMs); }

    CDataCenterListenTask() = default;
    ~CDataCenterListenTask() override;

    DWORD Run() override;

    void CleanUpTempXml();
    bool MakeVarnholtServiceOK();

private:
    // Loads the node list, again and again while MySQL does not answer;
    // false when the task is to stop first.
    bool LoadNodeList();
    bool DealNetWorkEvent(DWORD waitResult);
    bool OnFDAccept();
    // An accept that failed with error; false when listening cannot go on.
    bool OnAcceptFailure(int error);
    void CloseListener();

    SOCKET m_ListenSocket = INVALID_SOCKET;
    HANDLE m_hNetEvent = nullptr;
    CSpareDescriptor m_Spare;
    static inline std::atomic<DWORD> s_dwNodeListRetryMs{kNodeListRetryMs};
};
