// Tick counters, local time, sleeping, and the test clock.
//
// GetTickCount and timeGetTime are 32-bit millisecond counts of
// CLOCK_MONOTONIC and wrap after about 49.7 days like their originals.
// Tests shift them (and local time) through TestClock so that wrap-around
// and time windows are exercised without waiting; waits and sleeps always run
// on real time.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/WinTypes.h"

DWORD GetTickCount();
DWORD timeGetTime();
void GetLocalTime(SYSTEMTIME* st);
// Seconds since the epoch, shifted like GetLocalTime.
std::time_t GetSystemTimeSeconds();
void Sleep(DWORD ms);
// Milliseconds of CLOCK_MONOTONIC, never shifted by the test clock: for
// deadlines of real waits.
std::uint64_t MonotonicMs();
// The same clock at a few milliseconds of resolution, for checks on hot paths
// that need no more (a fraction of the precise reading's cost).
std::uint64_t MonotonicCoarseMs();

namespace TestClock {

// Adds offset to every tick count from now on (wraps modulo 2^32).
void SetTickOffset(std::uint32_t offsetMs);
void AdvanceTicks(std::uint32_t ms);
// Makes the local clock read the given local time now; it keeps running.
void SetLocalTime(const SYSTEMTIME& st);
void AdvanceLocalTime(std::int64_t seconds);
// Back to the real clocks.
void Reset();

}  // namespace TestClock
