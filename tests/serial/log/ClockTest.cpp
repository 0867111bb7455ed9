// The millisecond clock: it counts milliseconds of the high-resolution counter.
#include "serial/log/Clock.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

namespace
{

TEST(MillisecondClock, CountsCounterMilliseconds)
{
    LARGE_INTEGER frequency{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_GT(frequency.QuadPart, 500);
    ASSERT_LE(frequency.QuadPart, 0xFFFFFFFFLL) << "this platform's counter would use the multimedia clock";
    const uint64_t perMillisecond = (frequency.QuadPart + 499) / 1000; // to nearest, halves down

    LARGE_INTEGER before{}, after{};
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    const uint32_t now = MillisecondClock();
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_GE(now, static_cast<uint32_t>(before.QuadPart / perMillisecond));
    EXPECT_LE(now, static_cast<uint32_t>(after.QuadPart / perMillisecond));
}

TEST(MillisecondClock, RunsAtTheRateOfTheMultimediaClock)
{
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(never, nullptr);
    const uint32_t clockStart = MillisecondClock();
    const DWORD tickStart = timeGetTime();
    EXPECT_EQ(WaitForSingleObject(never, 50), WAIT_TIMEOUT);
    const uint32_t clockElapsed = MillisecondClock() - clockStart;
    const DWORD tickElapsed = timeGetTime() - tickStart;
    CloseHandle(never);
    EXPECT_GE(tickElapsed, 50u);
    EXPECT_NEAR(static_cast<double>(clockElapsed), static_cast<double>(tickElapsed), 2.0);
}

} // namespace
