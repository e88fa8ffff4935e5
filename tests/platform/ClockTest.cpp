// Tick counters, local time, sleeping and the test clock. The program log's
// day files (tests/core/ProgramLogTest.cpp) show the same clock crossing
// midnight through the file names; here the calendar itself is checked.
#include <time.h>

#include <ctime>

#include "support/Prelude.h"

namespace {

// Seconds of a broken-down civil time read as UTC, to compare two readings
// without caring about the time zone.
std::int64_t CivilSeconds(const SYSTEMTIME& st) {
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    return timegm(&tm);
}

// Local time of a seconds count, the way the system shows it.
std::int64_t LocalCivilSeconds(std::time_t seconds) {
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return timegm(&tm);
}

// Milliseconds of CLOCK_MONOTONIC (the steady clock), cut to 32 bits.
DWORD RealMonotonicTicks() {
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The local clock keeps running after it was set; a reading may be a moment
// later than what was set, never earlier.
constexpr std::int64_t kRunningSlackSeconds = 2;

// The 32-bit tick wraps after 49.7 days as on Windows; the test clock
// brings the wrap near so that elapsed-time arithmetic across it is checked.
// Set and advanced local time is read back through GetLocalTime (with the day
// of the week) and through the seconds count, across calendar edges.
TEST(ClockTest, TicksWrapThroughTheOffsetAndLocalTimeFollowsTheTestClock) {
    const DWORD real = RealMonotonicTicks();
    DWORD ticks = GetTickCount();
    EXPECT_LE(ticks - real, RealMonotonicTicks() - real);  // real <= ticks <= after, modulo 2^32
    // About four seconds before the counter wraps; a second set replaces the
    // first instead of adding to it, advances add up.
    TestClock::SetTickOffset(1000000);
    TestClock::SetTickOffset(0xFFFFF000u - ticks);
    const DWORD start = GetTickCount();
    ASSERT_GE(start, 0xFFFFF000u);
    TestClock::AdvanceTicks(5000);
    TestClock::AdvanceTicks(5000);
    const DWORD now = GetTickCount();
    EXPECT_LT(now, start) << "the counter did not wrap";
    EXPECT_GE(now - start, 10000u);
    EXPECT_LT(now - start, 10000u + 60000u);
    EXPECT_LT(timeGetTime() - now, 60000u) << "timeGetTime does not wrap with GetTickCount";

    TestClock::Reset();
    ticks = GetTickCount();
    EXPECT_LT(RealMonotonicTicks() - ticks, 60000u);

    const struct {
        SYSTEMTIME set;
        std::int64_t advance;
        SYSTEMTIME expected;
        WORD dayOfWeek;
    } cases[] = {
        // Midnight, from a Thursday to a Friday.
        {testenv::Time(2017, 3, 9, 23, 59, 30), 60, testenv::Time(2017, 3, 10, 0, 0, 30), 5},
        // Month end in a year without a leap day.
        {testenv::Time(2017, 2, 28, 12, 0, 0), 86400, testenv::Time(2017, 3, 1, 12, 0, 0), 3},
        // Year end.
        {testenv::Time(2016, 12, 31, 23, 59, 30), 60, testenv::Time(2017, 1, 1, 0, 0, 30), 0},
        // Leap day.
        {testenv::Time(2016, 2, 28, 12, 0, 0), 86400, testenv::Time(2016, 2, 29, 12, 0, 0), 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        TestClock::SetLocalTime(cases[i].set);
        TestClock::AdvanceLocalTime(cases[i].advance);
        SYSTEMTIME local{};
        GetLocalTime(&local);
        const std::int64_t ahead = CivilSeconds(local) - CivilSeconds(cases[i].expected);
        EXPECT_GE(ahead, 0);
        EXPECT_LE(ahead, kRunningSlackSeconds);
        EXPECT_EQ(local.wDayOfWeek, cases[i].dayOfWeek);
        EXPECT_LE(std::abs(LocalCivilSeconds(GetSystemTimeSeconds()) - CivilSeconds(local)), kRunningSlackSeconds);
    }

    TestClock::Reset();
    SYSTEMTIME local{};
    GetLocalTime(&local);
    EXPECT_LE(std::abs(CivilSeconds(local) - LocalCivilSeconds(std::time(nullptr))), kRunningSlackSeconds);
    EXPECT_LE(std::abs(GetSystemTimeSeconds() - std::time(nullptr)), kRunningSlackSeconds);
}

}  // namespace
