// Process-wide counters read by the local info query and the node registry.
//
// The counters are plain atomics: any thread updates them with interlocked
// operations, readers take single values.
#pragma once

#include <atomic>
#include <cstdint>

class CInfoManager {
public:
    static CInfoManager* GetInstance();

    // Gateway node connections whose thread still runs (set by the node
    // registry's reaper every 5 s).
    void SetLiveConnections(std::int32_t count) { m_nLiveConnections.exchange(count); }
    std::int32_t GetLiveConnections() const { return m_nLiveConnections.load(); }

private:
    CInfoManager() = default;

    std::atomic<std::int32_t> m_nLiveConnections{0};
};
