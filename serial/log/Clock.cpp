// The 32-bit millisecond clock behind timer ticks and dispatch-log times.
#include "serial/log/Clock.h"

#include "platform/win32.h"

#include <atomic>

namespace
{

// Counter counts per millisecond, or 0 when the counter cannot serve and the multimedia clock
// stands in. Found once: the frequency is fixed while the system runs.
uint32_t CountsPerMillisecond()
{
    static const uint32_t counts = [] {
        LARGE_INTEGER frequency{};
        if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
            frequency.QuadPart > 0xFFFFFFFFLL)
            return 0u;
        const auto hertz = static_cast<uint32_t>(frequency.QuadPart);
        // Below 501 Hz this rounds to 0 counts: such a counter cannot time milliseconds (and
        // dividing by it would fault), so the multimedia clock stands in as for frequency 0.
        return hertz / 1000u + (hertz % 1000u > 500u ? 1u : 0u);
    }();
    return counts;
}

std::atomic<TMillisecondSource> gTestClock{nullptr};

} // namespace

void SetMillisecondClockForTesting(TMillisecondSource clock) { gTestClock.store(clock); }

uint32_t MillisecondClock()
{
    if (TMillisecondSource testClock = gTestClock.load(std::memory_order_relaxed))
        return testClock();
    const uint32_t perMillisecond = CountsPerMillisecond();
    if (perMillisecond == 0)
        return timeGetTime();
    LARGE_INTEGER count{};
    if (!QueryPerformanceCounter(&count))
        return timeGetTime();
    // Truncating to 32 bits is the wrap every user of the clock expects.
    return static_cast<uint32_t>(static_cast<uint64_t>(count.QuadPart) / perMillisecond);
}
