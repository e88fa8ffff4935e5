#include "platform/Clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<std::uint32_t> g_tickOffset{0};
std::atomic<std::int64_t> g_timeOffsetSeconds{0};

// Whole seconds of CLOCK_REALTIME. Every wall-clock reading and the test
// offset use this one source: time() may lag clock_gettime() by up to a
// scheduler tick, which would make a freshly set local time read one second
// ahead.
std::time_t RealtimeSeconds(long* nanoseconds = nullptr) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (nanoseconds != nullptr) *nanoseconds = ts.tv_nsec;
    return ts.tv_sec;
}

}  // namespace

namespace {

std::uint64_t ClockMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

std::uint64_t MonotonicMs() { return ClockMs(CLOCK_MONOTONIC); }

std::uint64_t MonotonicCoarseMs() { return ClockMs(CLOCK_MONOTONIC_COARSE); }

DWORD GetTickCount() {
    return static_cast<DWORD>(MonotonicMs()) + g_tickOffset.load(std::memory_order_relaxed);
}

DWORD timeGetTime() { return GetTickCount(); }

std::time_t GetSystemTimeSeconds() {
    return RealtimeSeconds() + static_cast<std::time_t>(g_timeOffsetSeconds.load(std::memory_order_relaxed));
}

void GetLocalTime(SYSTEMTIME* st) {
    if (st == nullptr) return;
    long nanoseconds = 0;
    std::time_t now =
        RealtimeSeconds(&nanoseconds) + static_cast<std::time_t>(g_timeOffsetSeconds.load(std::memory_order_relaxed));
    std::tm tm{};
    localtime_r(&now, &tm);
    st->wYear = static_cast<WORD>(tm.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st->wDay = static_cast<WORD>(tm.tm_mday);
    st->wHour = static_cast<WORD>(tm.tm_hour);
    st->wMinute = static_cast<WORD>(tm.tm_min);
    st->wSecond = static_cast<WORD>(tm.tm_sec);
    st->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

void Sleep(DWORD ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

namespace TestClock {

void SetTickOffset(std::uint32_t offsetMs) { g_tickOffset.store(offsetMs); }

void AdvanceTicks(std::uint32_t ms) { g_tickOffset.fetch_add(ms); }

void SetLocalTime(const SYSTEMTIME& st) {
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    tm.tm_isdst = -1;
    std::time_t target = mktime(&tm);
    g_timeOffsetSeconds.store(static_cast<std::int64_t>(target - RealtimeSeconds()));
}

void AdvanceLocalTime(std::int64_t seconds) { g_timeOffsetSeconds.fetch_add(seconds); }

void Reset() {
    g_tickOffset.store(0);
    g_timeOffsetSeconds.store(0);
}

}  // namespace TestClock
