#include "core/InfoCounters.h"

#include <atomic>

namespace {

std::atomic<std::uint64_t> g_counters[INFO_COUNTER_COUNT] = {};

}  // namespace

void CountInfo(InfoCounter counter) { g_counters[counter].fetch_add(1, std::memory_order_relaxed); }

std::uint64_t GetInfoCounter(InfoCounter counter) { return g_counters[counter].load(std::memory_order_relaxed); }
