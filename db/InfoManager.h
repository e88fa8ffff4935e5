// Process-wide counters read by the local info query and the node registry,
// and the disk-space monitor of the MySQL data directory.
//
// The counters are plain atomics: any thread updates them with interlocked
// operations, readers take single values; they count whether or not Init has
// run.
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

// The log counters kept by the info manager.
enum InfoCounter {
    INFO_COUNTER_ALL = 0,       // every dispatched log
    INFO_COUNTER_UNSUPPORTED,   // every log of a type that is not handled
    INFO_COUNTER_KEEPALIVE,
    INFO_COUNTER_USER,          // User logs other than flow, and audit-file logs
    INFO_COUNTER_FLOW,          // User logs with action 2
    INFO_COUNTER_AUDIT,
    INFO_COUNTER_INFO_SYNC,
    INFO_COUNTER_ADMIN,
    INFO_COUNTER_ALARM,
    INFO_COUNTER_SYSTEM,
    INFO_COUNTER_MERGED_TOTAL,
    INFO_COUNTER_MERGE_1,
    INFO_COUNTER_MERGE_2,
    INFO_COUNTER_MERGE_3,
    INFO_COUNTER_COUNT
};

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

    void Count(InfoCounter counter) { m_Counters[counter].fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t GetCounter(InfoCounter counter) const { return m_Counters[counter].load(std::memory_order_relaxed); }

    // 1 when the file system of path keeps more than MinFreeSpace MiB free
    // after bytes more are written there, else 0 (also when it cannot be
    // measured).
    int HasDiskRoomFor(const std::string& path, std::uint64_t bytes) const;

    // Gateway node connections whose thread still runs (set by the node
    // registry's reaper every 5 s).
    void SetLiveConnections(std::int32_t count) { m_nLiveConnections.exchange(count); }
    std::int32_t GetLiveConnections() const { return m_nLiveConnections.load(); }

    // Tests shorten the wait of the info thread before Init.
    void SetInfoStep(DWORD stepMs) { m_dwInfoStepMs.store(stepMs); }

    // The disk counts as full at or below minFreeMiB MiB free.
    static bool IsDiskFull(std::uint64_t freeBytes, std::int32_t minFreeMiB);
    // True for an empty host (the client library then uses the local
    // socket), "localhost", 127.0.0.0/8, ::1, this host's own name, and an
    // address (or a name resolving to one) of this host's interfaces.
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
    std::atomic<std::uint64_t> m_Counters[INFO_COUNTER_COUNT] = {};
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
