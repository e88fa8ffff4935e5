#include "core/LossAccounting.h"

#include <strings.h>

#include <bit>
#include <cstring>
#include <fstream>

#include "core/ProgramLog.h"

namespace loss {

namespace {

constexpr char kClassTag[] = "[LossAccounting]";

// One counter per cache line: the record tasks of several nodes add to
// ACCEPTED while the merger threads add to MERGE_OUT.
struct alignas(64) Slot {
    std::atomic<std::uint64_t> value{0};
};

Slot g_Counters[COUNTER_COUNT];

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

void Add(Counter counter, std::uint64_t n) { g_Counters[counter].value.fetch_add(n, std::memory_order_relaxed); }

void Drop(Counter reason, std::uint64_t n) {
    if (n == 0) return;
    const std::uint64_t before = g_Counters[reason].value.fetch_add(n, std::memory_order_relaxed);
    const std::uint64_t after = before + n;
    // A line whenever the total passes a power of two: 1, 2, 4, 8, ...
    const bool passedPowerOfTwo = (before == 0) || (std::bit_width(before) != std::bit_width(after));
    if (!passedPowerOfTwo) return;
    Log(CProgramLogRecorder::GetInstance(), LOG_LEVEL_WARN, kClassTag,
        "[Drop] %llu Log(s) Dropped Since Start , Reason = %s\n", static_cast<unsigned long long>(after),
        kCounterInfo[reason].text);
}

std::uint64_t Get(Counter counter) { return g_Counters[counter].value.load(std::memory_order_relaxed); }

void Snapshot(std::uint64_t* out) {
    for (unsigned i = 0; i < COUNTER_COUNT; ++i) out[i] = g_Counters[i].value.load(std::memory_order_relaxed);
}

void ResetForTest() {
    for (Slot& slot : g_Counters) slot.value.store(0);
}

bool IsLogStatement(std::string_view statement) {
    // A leading comment (the mark of a statement kept after a lost result)
    // does not change what the statement stores.
    if (StartsWith(statement, "/*")) {
        const size_t end = statement.find("*/");
        statement.remove_prefix(end == std::string_view::npos ? statement.size() : end + 2);
    }
    return !statement.empty() && !StartsWith(statement, "insert into dev_stat") &&
           !StartsWith(statement, "insert  into UsrSvrLog");
}

std::uint64_t CountLogStatements(const std::vector<std::string>& statements) {
    std::uint64_t count = 0;
    for (const std::string& statement : statements) count += IsLogStatement(statement) ? 1 : 0;
    return count;
}

bool IsLogTable(const char* table) { return table != nullptr && strcasecmp(table, "usrsvrlog") != 0; }

void CountDataFileLines(Counter counter, const char* table, const std::string& path) {
    if (!IsLogTable(table)) return;
    std::ifstream in(path, std::ios::binary);
    char block[65536];
    std::uint64_t lines = 0;
    while (in) {
        in.read(block, sizeof(block));
        const std::streamsize got = in.gcount();
        for (const char* p = block; (p = static_cast<const char*>(std::memchr(p, '\n', block + got - p))) != nullptr;
             ++p) {
            ++lines;
        }
    }
    Add(counter, lines);
}

}  // namespace loss
