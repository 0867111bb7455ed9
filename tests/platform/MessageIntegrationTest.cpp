// Window messages between threads: sent calls that succeed, time out or outlive their sender,
// threads that send to each other, waits that wake for queue input, the wake hook, and a
// receiving thread that ends while a sender waits for it.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

constexpr DWORD kBound = 10'000;      // ms: for waits that should end at once
constexpr UINT kDouble = WM_USER + 1; // returns wParam * 2
constexpr UINT kCall = WM_USER + 2;   // runs the window's behaviour

// Per-window behaviour, reached through the user data.
struct Behaviour {
    std::function<LRESULT(WPARAM)> onCall;
    std::atomic<int> calls{0};
    std::atomic<DWORD> ranOn{0};
};

LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* behaviour = reinterpret_cast<Behaviour*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (behaviour && (message == kDouble || message == kCall)) {
        behaviour->calls.fetch_add(1);
        behaviour->ranOn = GetCurrentThreadId();
        if (message == kDouble)
            return static_cast<LRESULT>(wParam * 2);
        return behaviour->onCall ? behaviour->onCall(wParam) : 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow(Behaviour& behaviour)
{
    static const bool registered = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.lpszClassName = "MessageIntegration";
        return RegisterClassA(&windowClass) != 0;
    }();
    EXPECT_TRUE(registered);
    HWND window =
        CreateWindowExA(0, "MessageIntegration", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&behaviour));
    return window;
}

class Event
{
public:
    explicit Event(bool manual = true) : handle(CreateEventA(nullptr, manual, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle); }
    void Set() { SetEvent(handle); }
    bool Wait(DWORD ms = kBound) { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
    HANDLE handle;
};

// A thread that owns a window. It pumps its queue once `pump` is set (at once by default) until
// it is told to quit; until then it does not look at its queue at all.
class WindowThread
{
public:
    explicit WindowThread(bool pumpAtOnce = true)
    {
        if (pumpAtOnce)
            pump.Set();
        thread = std::thread([this] {
            window = MakeWindow(behaviour);
            id = GetCurrentThreadId();
            ready.Set();
            pump.Wait();
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            DestroyWindow(window);
        });
        EXPECT_TRUE(ready.Wait());
    }
    ~WindowThread()
    {
        pump.Set();
        PostThreadMessageA(id, WM_QUIT, 0, 0);
        thread.join();
    }

    Behaviour behaviour;
    HWND window = nullptr;
    DWORD id = 0;
    Event ready, pump;

private:
    std::thread thread;
};

TEST(SendAcrossThreads, RunsOnTheOwningThreadAndReturnsItsResult)
{
    WindowThread owner;
    DWORD_PTR result = 0;
    ASSERT_NE(SendMessageTimeoutA(owner.window, kDouble, 21, 0, SMTO_BLOCK, kBound, &result), 0);
    EXPECT_EQ(result, 42u);
    EXPECT_EQ(SendMessageA(owner.window, kDouble, 5, 0), 10);
    EXPECT_EQ(owner.behaviour.ranOn.load(), owner.id);
}

TEST(SendAcrossThreads, TimesOutAgainstAThreadThatDoesNotPumpAndIsWithdrawn)
{
    WindowThread owner(false);
    for (UINT flags : {SMTO_BLOCK, SMTO_NORMAL}) {
        DWORD_PTR result = 77;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(SendMessageTimeoutA(owner.window, kDouble, 1, 0, flags, 50, &result), 0);
        EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
        EXPECT_EQ(result, 77u);
    }
    owner.pump.Set();
    EXPECT_EQ(SendMessageA(owner.window, kDouble, 3, 0), 6) << "the queue works once pumped";
    EXPECT_EQ(owner.behaviour.calls.load(), 1) << "a timed-out call that never began never runs";
}

// The answer comes after the sender has given up and its stack frame is gone; the answer must
// land in memory shared with the receiver, not in the sender's (freed) result variable.
TEST(SendAcrossThreads, LateAnswerAfterTimeOutTouchesNothingOfTheSender)
{
    WindowThread owner;
    Event entered, release;
    owner.behaviour.onCall = [&](WPARAM wParam) {
        entered.Set();
        release.Wait();
        return static_cast<LRESULT>(wParam + 1000);
    };
    auto sendAndForget = [&] {
        DWORD_PTR result = 0;
        const LRESULT ok = SendMessageTimeoutA(owner.window, kCall, 1, 0, SMTO_BLOCK, 100, &result);
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
        EXPECT_EQ(result, 0u);
    };
    std::thread sender(sendAndForget);
    ASSERT_TRUE(entered.Wait());
    sender.join(); // the sender has timed out and its thread (with its stack) has ended
    release.Set();
    EXPECT_EQ(SendMessageA(owner.window, kDouble, 4, 0), 8) << "the next call gets its own answer";
}

// Each thread's procedure sends to the other thread's window while the other waits for it.
TEST(SendAcrossThreads, TwoThreadsThatSendToEachOtherDoNotDeadlock)
{
    Behaviour mine;
    HWND myWindow = MakeWindow(mine);
    WindowThread other;
    std::atomic<UINT> backTimeout{kBound};
    other.behaviour.onCall = [&](WPARAM wParam) {
        DWORD_PTR back = 0;
        if (!SendMessageTimeoutA(myWindow, kDouble, wParam, 0, SMTO_NORMAL, backTimeout, &back))
            return LRESULT{-1};
        return static_cast<LRESULT>(back + 1);
    };
    EXPECT_EQ(SendMessageA(other.window, kCall, 10, 0), 21);
    DWORD_PTR result = 0;
    ASSERT_NE(SendMessageTimeoutA(other.window, kCall, 3, 0, SMTO_NORMAL, kBound, &result), 0);
    EXPECT_EQ(result, 7u);
    EXPECT_EQ(mine.ranOn.load(), GetCurrentThreadId()) << "the call back ran on its window's thread";
    // With SMTO_BLOCK the waiting sender answers nothing (as on Windows): the call back times
    // out instead of deadlocking, and the outer call still returns.
    backTimeout = 100;
    ASSERT_NE(SendMessageTimeoutA(other.window, kCall, 3, 0, SMTO_BLOCK, kBound, &result), 0);
    EXPECT_EQ(static_cast<LRESULT>(result), -1);
    other.behaviour.onCall = nullptr;
    DestroyWindow(myWindow);
}

TEST(QueueInput, MsgWaitWakesForAPostAndForASentCall)
{
    Behaviour mine;
    HWND myWindow = MakeWindow(mine);
    Event never;
    std::thread poster([&] { PostMessageA(myWindow, kDouble, 1, 0); });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never.handle, FALSE, kBound, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    poster.join();
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, myWindow);

    std::atomic<LRESULT> answer{0};
    std::thread sender([&] { answer = SendMessageA(myWindow, kDouble, 8, 0); });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never.handle, FALSE, kBound, QS_SENDMESSAGE), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "runs the sent call; nothing was posted";
    sender.join();
    EXPECT_EQ(answer.load(), 16);
    DestroyWindow(myWindow);
}

TEST(QueueInput, WakeHookIsCalledOnThePostingThread)
{
    Behaviour mine;
    HWND myWindow = MakeWindow(mine);
    Event hooked(false);
    std::atomic<DWORD> hookThread{0};
    platform::SetQueueWakeHook([&] {
        hookThread = GetCurrentThreadId();
        hooked.Set();
    });
    DWORD posterId = 0;
    std::thread poster([&] {
        posterId = GetCurrentThreadId();
        PostMessageA(myWindow, kDouble, 1, 0);
    });
    EXPECT_TRUE(hooked.Wait());
    poster.join();
    EXPECT_EQ(hookThread.load(), posterId);

    // A sent call wakes it too; answering from the hook's signal is what the event loop does.
    std::atomic<LRESULT> answer{0};
    std::thread sender([&] { answer = SendMessageA(myWindow, kDouble, 2, 0); });
    EXPECT_TRUE(hooked.Wait());
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    sender.join();
    EXPECT_EQ(answer.load(), 4);
    platform::SetQueueWakeHook({});
    DestroyWindow(myWindow);
}

// The receiver ends without ever pumping: its queue goes with it and the sender hears at once.
TEST(ThreadEnd, SenderToAThreadThatEndsFailsInsteadOfWaitingOut)
{
    Event arrived, windowMade;
    HWND window = nullptr;
    Behaviour behaviour;
    std::thread receiver([&] {
        window = MakeWindow(behaviour);
        platform::SetQueueWakeHook([&] { arrived.Set(); });
        windowMade.Set();
        arrived.Wait();
    });
    ASSERT_TRUE(windowMade.Wait());
    const DWORD start = GetTickCount();
    DWORD_PTR result = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SendMessageTimeoutA(window, kDouble, 1, 0, SMTO_BLOCK, 60'000, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_LT(GetTickCount() - start, 30'000u) << "waited out the time-out";
    receiver.join();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(behaviour.calls.load(), 0);
}

TEST(PostAcrossThreads, EveryMessageArrivesInEachPostersOrder)
{
    constexpr int kPosters = 4, kEach = 2000;
    // Declared before the owner thread, so they outlive its last call.
    std::mutex seenLock;
    std::vector<std::vector<WPARAM>> seen(kPosters);
    std::atomic<int> count{0};
    Event all;
    WindowThread owner;
    owner.behaviour.onCall = [&](WPARAM wParam) {
        std::lock_guard guard(seenLock);
        seen[wParam >> 16].push_back(wParam & 0xFFFF);
        if (count.fetch_add(1) + 1 == kPosters * kEach)
            all.Set();
        return LRESULT{0};
    };
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(PostMessageA(owner.window, kCall, static_cast<WPARAM>(p << 16 | i), 0));
        });
    for (auto& t : posters)
        t.join();
    ASSERT_TRUE(all.Wait());
    std::lock_guard guard(seenLock);
    for (int p = 0; p < kPosters; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kEach)) << p;
        for (int i = 0; i < kEach; ++i)
            ASSERT_EQ(seen[p][i], static_cast<WPARAM>(i)) << "poster " << p;
    }
}

} // namespace
