// Sleeping, the performance counter and millisecond clocks on CLOCK_MONOTONIC, local time, and
// thread and process ids.
#include "platform/win32.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

constexpr int64_t kCountsPerSecond = 10'000'000;

int64_t MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void FillSystemTime(const tm& fields, long nanoseconds, LPSYSTEMTIME time)
{
    time->wYear = static_cast<WORD>(fields.tm_year + 1900);
    time->wMonth = static_cast<WORD>(fields.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(fields.tm_wday);
    time->wDay = static_cast<WORD>(fields.tm_mday);
    time->wHour = static_cast<WORD>(fields.tm_hour);
    time->wMinute = static_cast<WORD>(fields.tm_min);
    // A leap second (60) would surprise every formatter above; Windows never reports one.
    time->wSecond = static_cast<WORD>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
    time->wMilliseconds = static_cast<WORD>(nanoseconds / 1'000'000);
}

} // namespace

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1'000'000};
    // A signal handler interrupting the sleep must not shorten it.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    frequency->QuadPart = kCountsPerSecond;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count)
{
    count->QuadPart = MonotonicNanoseconds() / (1'000'000'000 / kCountsPerSecond);
    return TRUE;
}

DWORD timeGetTime() { return static_cast<DWORD>(GetTickCount64()); }

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG GetTickCount64() { return static_cast<ULONGLONG>(MonotonicNanoseconds() / 1'000'000); }

void GetLocalTime(LPSYSTEMTIME time)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm fields{};
    localtime_r(&now.tv_sec, &fields);
    FillSystemTime(fields, now.tv_nsec, time);
}

void GetSystemTime(LPSYSTEMTIME time)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm fields{};
    gmtime_r(&now.tv_sec, &fields);
    FillSystemTime(fields, now.tv_nsec, time);
}

DWORD GetCurrentThreadId()
{
    thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
