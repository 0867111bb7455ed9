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

/// Stands another clock in for the counter behind MillisecondClock, so that tests can place the
/// time anywhere, the wrap at 2^32 included; nullptr brings the counter back.
/// Thread: set it while no dispatcher thread runs.
void SetMillisecondClockForTesting(TMillisecondSource clock);
