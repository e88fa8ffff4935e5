// The info manager: the start time and live-connection count the local
// info query reports (its log counters are core/InfoCounters.h), and the
// disk-space monitor of the MySQL data directory.
//
// Init starts the info thread: every second it runs the timed functions of
// Exec_RealTimeInfo_Func; the one row, "DiskSpace", checks every 60 s (by the
// tick count) whether the disk of datadir has no more than MinFreeSpace MiB
// free, and records a change of that state as ISFULL in the configuration
// object and in Zelk.conf. When datadir is empty or the MySQL server
// (DBServer) is not on this host, the disk seen here is not MySQL's, and the
// check is skipped (one INFO line when that starts). The thread ends on the
// exit event or on UnInit. The manager is never destroyed, so the thread may
// use it until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/StoppableThread.h"
#include "platform/WinTypes.h"

class CInfoManager {
public:
    // Wait of the info thread between two calls of Exec_RealTimeInfo_Func.
    static constexpr DWORD kInfoStepMs = 1000;
    static constexpr DWORD kDiskSpaceIntervalMs = 60000;
    // How long UnInit waits for the info thread.
    static constexpr DWORD kInfoStopWaitMs = 5000;

    static CInfoManager* GetInstance();
    virtual ~CInfoManager() = default;

    // Records the start time and starts the info thread. False when the
    // thread cannot be started.
    bool Init();
    // Stops the info thread (waiting up to kInfoStopWaitMs). Always true.
    bool UnInit();
    bool IsInitialised() const { return m_nInitialised.load() == 1; }
    // Local time of Init as "YYYY-MM-DD hh:mm:ss".
    std::string GetStartTime() const;

    // Runs every timed function whose interval has passed since it last ran.
    // Info thread only.
    void Exec_RealTimeInfo_Func();
    // Checks the free space of the disk of datadir and records a change of
    // the disk-full state. Returns 1.
    int RealTimeInfo_DiskSpace();

    // Gateway node connections whose thread still runs (set by the node
    // registry's reaper every 5 s).
    void SetLiveConnections(std::int32_t count) { m_nLiveConnections.exchange(count); }
    std::int32_t GetLiveConnections() const { return m_nLiveConnections.load(); }

    // Tests shorten the wait of the info thread before Init.
    void SetInfoStep(DWORD stepMs) { m_dwInfoStepMs.store(stepMs); }

    // The disk counts as full at or below minFreeMiB MiB free.
    static bool IsDiskFull(std::uint64_t freeBytes, std::int32_t minFreeMiB);
    // True for an empty host (the client library then uses the local
    // socket) and for a host that names this machine (IsThisHost).
    static bool IsLocalHost(const std::string& host);
    // True when datadir is set and the MySQL server runs on this host, so
    // that datadir names a directory that can be measured here.
    static bool IsMySqlDataDirLocal();

private:
    struct RealTimeInfoFunc {
        const char* name;
        int (CInfoManager::*func)();
        DWORD intervalMs;
        DWORD lastRunTick;
    };

    CInfoManager() = default;

    static DWORD InfoThread(void* manager);

    std::atomic<std::int32_t> m_nLiveConnections{0};
    std::string m_strStartTime;
    std::atomic<std::int32_t> m_nInitialised{0};
    mutable std::mutex m_StateLock;  // start time text
    std::mutex m_DiskCheckLock;      // one disk check at a time
    bool m_bDiskCheckSkipped = false;
    RealTimeInfoFunc m_Funcs[1] = {
        {"DiskSpace", &CInfoManager::RealTimeInfo_DiskSpace, kDiskSpaceIntervalMs, 0},
    };
    CStoppableThread m_InfoThread;
    std::atomic<DWORD> m_dwInfoStepMs{kInfoStepMs};
};
