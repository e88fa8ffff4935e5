// Tick counters, local time and the test clock.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/Clock.h"

namespace {

// Seconds since 0000-03-01 of a broken-down civil time; used to compare two
// readings without caring about the time zone.
std::int64_t CivilSeconds(int y, int m, int d, int hh, int mm, int ss) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe;
    return days * 86400 + hh * 3600 + mm * 60 + ss;
}

std::int64_t CivilSeconds(const SYSTEMTIME& st) {
    return CivilSeconds(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    return st;
}

DWORD RealMonotonicTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

// The local clock keeps running after it was set; a reading may be a moment
// later than what was set, never earlier.
constexpr std::int64_t kRunningSlackSeconds = 2;

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override { TestClock::Reset(); }
    void TearDown() override { TestClock::Reset(); }

    // Reads the local clock and checks it shows `expected`, allowing for the
    // time that passed since it was set.
    static SYSTEMTIME ExpectLocalTimeNear(const SYSTEMTIME& expected) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        std::int64_t ahead = CivilSeconds(now) - CivilSeconds(expected);
        EXPECT_GE(ahead, 0) << Describe(now);
        EXPECT_LE(ahead, kRunningSlackSeconds) << Describe(now);
        return now;
    }

    static std::string Describe(const SYSTEMTIME& st) {
        char text[64];
        std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u dow %u", st.wYear, st.wMonth, st.wDay,
                      st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
        return text;
    }
};

// ---------------------------------------------------------------------------
// Ticks

TEST_F(ClockTest, TickCountFollowsTheMonotonicClock) {
    DWORD real = RealMonotonicTicks();
    DWORD ticks = GetTickCount();
    DWORD after = RealMonotonicTicks();
    EXPECT_LE(ticks - real, after - real);  // real <= ticks <= after, modulo 2^32

    DWORD t1 = GetTickCount();
    DWORD t2 = timeGetTime();
    DWORD t3 = GetTickCount();
    EXPECT_LE(t2 - t1, t3 - t1);
}

TEST_F(ClockTest, TickOffsetMakesTheCountWrapAndElapsedStaysRight) {
    const DWORD base = GetTickCount();
    // About four seconds before the counter wraps.
    TestClock::SetTickOffset(0xFFFFF000u - base);
    const DWORD start = GetTickCount();
    ASSERT_GE(start, 0xFFFFF000u);

    TestClock::AdvanceTicks(10000);
    const DWORD now = GetTickCount();
    EXPECT_LT(now, start) << "the counter did not wrap";
    const DWORD elapsed = now - start;
    EXPECT_GE(elapsed, 10000u);
    EXPECT_LT(elapsed, 10000u + 60000u);

    // timeGetTime wraps together with GetTickCount.
    const DWORD viaTimeGetTime = timeGetTime();
    EXPECT_LT(viaTimeGetTime - now, 60000u);
}

TEST_F(ClockTest, SetTickOffsetReplacesAndAdvanceTicksAccumulates) {
    TestClock::SetTickOffset(1000000);
    TestClock::SetTickOffset(1000000);  // replaces, does not add
    DWORD real = RealMonotonicTicks();
    DWORD shifted = GetTickCount() - real;
    EXPECT_GE(shifted, 1000000u);
    EXPECT_LT(shifted, 1000000u + 60000u);

    TestClock::AdvanceTicks(500000);
    TestClock::AdvanceTicks(500000);
    real = RealMonotonicTicks();
    shifted = GetTickCount() - real;
    EXPECT_GE(shifted, 2000000u);
    EXPECT_LT(shifted, 2000000u + 60000u);

    TestClock::Reset();
    real = RealMonotonicTicks();
    EXPECT_LT(GetTickCount() - real, 60000u);
}

// ---------------------------------------------------------------------------
// Local time

TEST_F(ClockTest, SetLocalTimeIsReadBackWithItsDayOfWeek) {
    TestClock::SetLocalTime(MakeTime(2017, 3, 9, 12, 34, 56));
    SYSTEMTIME now = ExpectLocalTimeNear(MakeTime(2017, 3, 9, 12, 34, 56));
    EXPECT_EQ(now.wYear, 2017);
    EXPECT_EQ(now.wMonth, 3);
    EXPECT_EQ(now.wDay, 9);
    EXPECT_EQ(now.wHour, 12);
    EXPECT_EQ(now.wMinute, 34);
    EXPECT_EQ(now.wDayOfWeek, 4) << "2017-03-09 is a Thursday";
    EXPECT_LT(now.wMilliseconds, 1000);
}

TEST_F(ClockTest, LastSecondOfTheDay) {
    TestClock::SetLocalTime(MakeTime(2017, 3, 9, 23, 59, 59));
    SYSTEMTIME now{};
    GetLocalTime(&now);
    // The set second itself, unless the real clock ticked over in between.
    if (now.wDay == 9) {
        EXPECT_EQ(now.wHour, 23);
        EXPECT_EQ(now.wMinute, 59);
        EXPECT_EQ(now.wSecond, 59);
        EXPECT_EQ(now.wDayOfWeek, 4);
    } else {
        EXPECT_EQ(now.wDay, 10) << Describe(now);
        EXPECT_EQ(now.wHour, 0);
        EXPECT_EQ(now.wMinute, 0);
        EXPECT_LE(now.wSecond, 1);
    }
    EXPECT_EQ(now.wYear, 2017);
    EXPECT_EQ(now.wMonth, 3);
}

TEST_F(ClockTest, AdvanceLocalTimeCrossesMidnight) {
    TestClock::SetLocalTime(MakeTime(2017, 3, 9, 23, 59, 30));
    TestClock::AdvanceLocalTime(60);
    SYSTEMTIME now = ExpectLocalTimeNear(MakeTime(2017, 3, 10, 0, 0, 30));
    EXPECT_EQ(now.wDay, 10);
    EXPECT_EQ(now.wHour, 0);
    EXPECT_EQ(now.wMinute, 0);
    EXPECT_EQ(now.wDayOfWeek, 5) << "2017-03-10 is a Friday";

    // Backwards too.
    TestClock::AdvanceLocalTime(-60);
    now = ExpectLocalTimeNear(MakeTime(2017, 3, 9, 23, 59, 30));
    EXPECT_EQ(now.wDay, 9);
    EXPECT_EQ(now.wDayOfWeek, 4);
}

TEST_F(ClockTest, CalendarEdges) {
    struct Case {
        SYSTEMTIME set;
        std::int64_t advance;
        SYSTEMTIME expected;
        WORD dayOfWeek;
    };
    const Case cases[] = {
        // Year end.
        {MakeTime(2016, 12, 31, 23, 59, 30), 60, MakeTime(2017, 1, 1, 0, 0, 30), 0},
        // Leap day.
        {MakeTime(2016, 2, 28, 12, 0, 0), 86400, MakeTime(2016, 2, 29, 12, 0, 0), 1},
        {MakeTime(2016, 2, 29, 12, 0, 0), 86400, MakeTime(2016, 3, 1, 12, 0, 0), 2},
        // No leap day in 2017.
        {MakeTime(2017, 2, 28, 12, 0, 0), 86400, MakeTime(2017, 3, 1, 12, 0, 0), 3},
        // Saturday early morning.
        {MakeTime(2017, 3, 10, 1, 30, 0), 86400, MakeTime(2017, 3, 11, 1, 30, 0), 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.expected));
        TestClock::SetLocalTime(c.set);
        TestClock::AdvanceLocalTime(c.advance);
        SYSTEMTIME now = ExpectLocalTimeNear(c.expected);
        EXPECT_EQ(now.wYear, c.expected.wYear);
        EXPECT_EQ(now.wMonth, c.expected.wMonth);
        EXPECT_EQ(now.wDay, c.expected.wDay);
        EXPECT_EQ(now.wDayOfWeek, c.dayOfWeek);
    }
}

TEST_F(ClockTest, SystemSecondsShiftWithTheLocalClock) {
    const std::time_t realBefore = std::time(nullptr);
    const std::time_t shiftedBefore = GetSystemTimeSeconds();
    EXPECT_LE(std::abs(static_cast<long long>(shiftedBefore - realBefore)), kRunningSlackSeconds);

    TestClock::AdvanceLocalTime(86400 * 3);
    const std::time_t shifted = GetSystemTimeSeconds();
    const std::time_t real = std::time(nullptr);
    EXPECT_GE(shifted - real, 86400 * 3 - kRunningSlackSeconds);
    EXPECT_LE(shifted - real, 86400 * 3 + kRunningSlackSeconds);

    // Seconds and local time agree on the set time.
    const SYSTEMTIME set = MakeTime(2017, 3, 9, 8, 0, 0);
    TestClock::SetLocalTime(set);
    std::tm tm{};
    tm.tm_year = 2017 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 9;
    tm.tm_hour = 8;
    tm.tm_isdst = -1;
    const std::time_t expected = mktime(&tm);
    const std::time_t seconds = GetSystemTimeSeconds();
    EXPECT_GE(seconds - expected, 0);
    EXPECT_LE(seconds - expected, kRunningSlackSeconds);
}

TEST_F(ClockTest, ResetRestoresTheRealClocks) {
    TestClock::SetLocalTime(MakeTime(2001, 1, 1, 0, 0, 0));
    TestClock::SetTickOffset(123456789);
    TestClock::Reset();

    std::time_t real = std::time(nullptr);
    std::tm tm{};
    localtime_r(&real, &tm);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::int64_t diff = CivilSeconds(now) - CivilSeconds(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                                         tm.tm_min, tm.tm_sec);
    EXPECT_LE(std::abs(diff), kRunningSlackSeconds) << Describe(now);
    const DWORD ticks = GetTickCount();
    const DWORD realTicks = RealMonotonicTicks();
    EXPECT_LT(realTicks - ticks, 60000u);
}

TEST_F(ClockTest, GetLocalTimeIgnoresNull) {
    GetLocalTime(nullptr);  // must not crash
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2020);
}

TEST_F(ClockTest, SleepWaitsAtLeastTheGivenTime) {
    auto before = std::chrono::steady_clock::now();
    Sleep(20);
    auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    EXPECT_GE(slept.count(), 20);
    // Test ticks do not shorten real sleeps.
    TestClock::AdvanceTicks(1000000);
    before = std::chrono::steady_clock::now();
    Sleep(10);
    slept = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    EXPECT_GE(slept.count(), 10);
}

}  // namespace
