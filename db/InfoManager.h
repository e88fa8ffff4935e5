// Process-wide counters read by the local info query and the node registry.
//
// The counters are plain atomics: any thread updates them with interlocked
// operations, readers take single values.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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
    static CInfoManager* GetInstance();

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

private:
    CInfoManager() = default;

    std::atomic<std::int32_t> m_nLiveConnections{0};
    std::atomic<std::uint64_t> m_Counters[INFO_COUNTER_COUNT] = {};
};
