// Events, waits, handles, critical sections and clocks of the platform layer, one thread at a time
// (or a helper thread where a lock must be held by someone else).
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace
{

struct EventCase {
    const char* name;
    BOOL manualReset;
    BOOL initialState;
    // Results of three zero-time waits in a row, then after SetEvent, then after ResetEvent.
    DWORD first, second, afterSet, afterSetAgain, afterReset;
};

TEST(Event, SignalStateFollowsResetKind)
{
    const EventCase cases[] = {
        {"auto, clear", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"auto, set", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"manual, clear", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_OBJECT_0,
         WAIT_TIMEOUT},
        {"manual, set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_TIMEOUT},
    };
    for (const EventCase& c : cases) {
        HANDLE event = CreateEventA(nullptr, c.manualReset, c.initialState, nullptr);
        ASSERT_NE(event, nullptr) << c.name;
        EXPECT_EQ(WaitForSingleObject(event, 0), c.first) << c.name;
        EXPECT_EQ(WaitForSingleObject(event, 0), c.second) << c.name;
        EXPECT_TRUE(SetEvent(event));
        EXPECT_TRUE(SetEvent(event)) << "setting a set event is no error";
        EXPECT_EQ(WaitForSingleObject(event, 0), c.afterSet) << c.name;
        EXPECT_EQ(WaitForSingleObject(event, 0), c.afterSetAgain) << c.name << ": two sets are one signal";
        EXPECT_TRUE(SetEvent(event));
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), c.afterReset) << c.name;
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(Handle, BadHandlesFailWithoutHarm)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    int local = 0;
    const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, event /* closed */, &local /* never a handle */};
    for (HANDLE handle : bad) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(CloseHandle(handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetEvent(handle));
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

class MultipleWait : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (auto& e : events)
            e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override
    {
        for (auto& e : events)
            CloseHandle(e);
    }
    HANDLE events[3] = {};
};

TEST_F(MultipleWait, AnyReturnsLowestSignalledAndConsumesOnlyIt)
{
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
}

TEST_F(MultipleWait, AllConsumesNothingUntilEveryOneIsSignalled)
{
    SetEvent(events[0]);
    SetEvent(events[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0) << "a failed wait-all took a signal";
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT) << "wait-all consumes all";
}

TEST_F(MultipleWait, InvalidArgumentsFail)
{
    HANDLE twice[] = {events[0], events[0]};
    HANDLE withClosed[] = {events[0], nullptr};
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    std::fill(std::begin(many), std::end(many), events[0]);
    struct {
        DWORD count;
        const HANDLE* handles;
        BOOL all;
        DWORD error;
    } cases[] = {
        {0, events, FALSE, ERROR_INVALID_PARAMETER},
        {MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, ERROR_INVALID_PARAMETER},
        {2, twice, TRUE, ERROR_INVALID_PARAMETER},
        {2, withClosed, FALSE, ERROR_INVALID_HANDLE},
    };
    SetEvent(events[0]);
    for (const auto& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED) << c.count;
        EXPECT_EQ(GetLastError(), c.error) << c.count;
    }
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0) << "a failed wait took a signal";
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_TIMEOUT)
        << "the same handle twice is fine for any";
}

TEST(Wait, TimeOutComesNoEarlierThanAsked)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (DWORD ms : {1u, 30u, 120u}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForSingleObject(event, ms), WAIT_TIMEOUT);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(ms)) << ms;
        EXPECT_LT(waited, std::chrono::seconds(10)) << ms;
    }
    CloseHandle(event);
}

TEST(CriticalSection, ReentrantForItsOwnerExclusiveForOthers)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    auto tryFromOtherThread = [&] {
        BOOL entered = FALSE;
        std::thread([&] {
            entered = TryEnterCriticalSection(&section);
            if (entered)
                LeaveCriticalSection(&section);
        }).join();
        return entered;
    };
    EXPECT_FALSE(tryFromOtherThread());
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_FALSE(tryFromOtherThread()) << "still held once";
    LeaveCriticalSection(&section);
    EXPECT_TRUE(tryFromOtherThread());
    DeleteCriticalSection(&section);
    EXPECT_EQ(section.Lock, nullptr);
}

TEST(Clock, CounterAndMillisecondClocksAgree)
{
    LARGE_INTEGER frequency{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    // The millisecond clock above the counter needs counts per millisecond that fit in 32 bits.
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    LARGE_INTEGER before{}, after{};
    QueryPerformanceCounter(&before);
    const DWORD ms = timeGetTime();
    const DWORD tick = GetTickCount();
    Sleep(5);
    QueryPerformanceCounter(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 5 * 10'000) << "Sleep(5) took less than 5 ms";
    const auto counterMs = static_cast<DWORD>(before.QuadPart / (frequency.QuadPart / 1000));
    EXPECT_LE(ms - counterMs, 1000u) << "both clocks count from the same start";
    EXPECT_LE(tick - ms, 1000u);
    Sleep(0);
}

TEST(Clock, LocalTimeIsTheWallClockInTheLocalZone)
{
    SYSTEMTIME now{};
    const time_t before = time(nullptr);
    GetLocalTime(&now);
    tm expected{};
    localtime_r(&before, &expected);
    EXPECT_EQ(now.wYear, expected.tm_year + 1900);
    EXPECT_EQ(now.wMonth, expected.tm_mon + 1);
    EXPECT_EQ(now.wDay, expected.tm_mday);
    EXPECT_EQ(now.wDayOfWeek, expected.tm_wday);
    EXPECT_LE(now.wHour, 23);
    EXPECT_LE(now.wSecond, 59);
    EXPECT_LE(now.wMilliseconds, 999);
}

} // namespace
