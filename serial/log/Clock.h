// The 32-bit millisecond clock of the serial stack: timer ticks and dispatch-log times count in it.
#pragma once

#include <cstdint>

/// Milliseconds of the high-resolution counter, wrapping at 2^32. The counts per millisecond are
/// the counter frequency divided by 1000, rounded to nearest, found once per process; when the
/// frequency is 0 or does not fit in 32 bits the multimedia clock (timeGetTime) is used instead.
/// Thread: any.
uint32_t MillisecondClock();

/// Where the dispatch log takes its time from; MillisecondClock except in tests.
using TMillisecondSource = uint32_t (*)();
