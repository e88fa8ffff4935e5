// Process-wide log counters of the local info query (dispatched logs by kind
// and merged logs), kept below every subsystem that counts: the record task,
// info syncs and the merger count here, the info manager and the info query
// read them.
//
// The counters are plain atomics: any thread counts with a relaxed increment,
// readers take single values; they count from the process start, with or
// without any manager's Init.
#pragma once

#include <cstdint>

// The log counters.
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

// Counts one more of counter.
void CountInfo(InfoCounter counter);
// The current value of counter.
std::uint64_t GetInfoCounter(InfoCounter counter);
