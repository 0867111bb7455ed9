// Events and waits between threads: how many waiters a signal releases, wait-all across threads,
// no lost wake-ups under load, closing a handle that another thread waits on.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

constexpr DWORD kBound = 10'000; // ms: a wait that should end at once, with room for a loaded machine

// Several threads blocked on one event, each reporting its release through an auto-reset event.
class Waiters
{
public:
    Waiters(HANDLE event, int count) : released(CreateEventA(nullptr, FALSE, FALSE, nullptr))
    {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this, event] {
                if (WaitForSingleObject(event, kBound) == WAIT_OBJECT_0) {
                    releases.fetch_add(1);
                    SetEvent(released);
                }
            });
    }
    ~Waiters()
    {
        for (auto& t : threads)
            t.join();
        CloseHandle(released);
    }
    /// Waits until `count` waiters in all have been released; false when that does not happen in time.
    bool ReleasedAtLeast(int count, DWORD ms = kBound)
    {
        const DWORD start = GetTickCount();
        // The report event may merge several releases into one signal; the count is the truth.
        while (releases.load() < count) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= ms || WaitForSingleObject(released, ms - spent) != WAIT_OBJECT_0)
                return releases.load() >= count;
        }
        return true;
    }

    std::atomic<int> releases{0};

private:
    HANDLE released;
    std::vector<std::thread> threads;
};

TEST(EventAcrossThreads, AutoResetReleasesExactlyOneWaiterPerSignal)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    {
        Waiters waiters(event, 4);
        for (int expected = 1; expected <= 4; ++expected) {
            ASSERT_TRUE(SetEvent(event));
            ASSERT_TRUE(waiters.ReleasedAtLeast(expected)) << "signal " << expected << " released nobody";
            // A second waiter let through by the same signal would show here.
            EXPECT_FALSE(waiters.ReleasedAtLeast(expected + 1, 50)) << "signal " << expected;
        }
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the last waiter consumed the signal";
    CloseHandle(event);
}

TEST(EventAcrossThreads, ManualResetReleasesEveryWaiterAndStaysSet)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        Waiters waiters(event, 4);
        ASSERT_TRUE(SetEvent(event));
        EXPECT_TRUE(waiters.ReleasedAtLeast(4)) << "only " << waiters.releases.load() << " released";
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(EventAcrossThreads, WaitAllEndsOnlyWhenTheLastOneIsSet)
{
    HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] {
        result = WaitForMultipleObjects(2, events, TRUE, kBound);
        SetEvent(done);
    });
    SetEvent(events[0]);
    EXPECT_EQ(WaitForSingleObject(done, 50), WAIT_TIMEOUT) << "wait-all ended with one of two";
    SetEvent(events[1]);
    EXPECT_EQ(WaitForSingleObject(done, kBound), WAIT_OBJECT_0);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_TIMEOUT) << "the auto-reset one was consumed";
    EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_OBJECT_0) << "the manual one stays set";
    for (HANDLE h : {events[0], events[1], done})
        CloseHandle(h);
}

// Two threads hand a turn back and forth; a lost wake-up stalls the exchange until the bound.
TEST(EventAcrossThreads, PingPongLosesNoWakeUp)
{
    constexpr int kRounds = 20'000;
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> missed{0};
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(ping, kBound) != WAIT_OBJECT_0)
                missed.fetch_add(1);
            SetEvent(pong);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        SetEvent(ping);
        // Also a WaitForMultipleObjects waiter, so both wait paths are exercised.
        HANDLE both[2] = {pong, ping};
        if (WaitForMultipleObjects(1, both, FALSE, kBound) != WAIT_OBJECT_0)
            missed.fetch_add(1);
    }
    partner.join();
    EXPECT_EQ(missed.load(), 0);
    CloseHandle(ping);
    CloseHandle(pong);
}

// Windows keeps an object alive until its waits end; closing must not free it under the waiter.
TEST(EventAcrossThreads, ClosingAHandleWhileAnotherThreadWaitsOnItIsSafe)
{
    for (int round = 0; round < 20; ++round) {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE started = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::atomic<DWORD> result{0};
        std::thread waiter([&] {
            SetEvent(started);
            result = WaitForSingleObject(event, 20);
        });
        ASSERT_EQ(WaitForSingleObject(started, kBound), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(event));
        waiter.join();
        // Inside the wait when closed: it times out; not yet inside: the handle is gone.
        EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED) << result;
        CloseHandle(started);
    }
}

} // namespace
