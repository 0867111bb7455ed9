// The millisecond clock: it counts milliseconds of the high-resolution counter.
#include "serial/log/Clock.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

namespace
{

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
