// Pumping waits: the user-interface thread keeps running sent calls and posted messages while it
// waits for another thread, so that thread can always reach it and finish.
#include "runtime/Wait.h"

#include "runtime/Application.h"
#include "runtime/Runtime_p.h"
#include "runtime/Thread.h"

namespace
{

// Messages dispatched between two looks at the awaited handle, so that a thread posting without
// end cannot keep a wait from seeing its handle.
constexpr int kWaitBatch = 64;

// A quit message taken out of the queue during a wait is held here and posted again when the wait
// ends: posted again at once, it would be queue input that wakes the wait at once, for ever.
struct TQuitHold {
    bool Seen = false;
    int ExitCode = 0;

    ~TQuitHold()
    {
        if (Seen)
            PostQuitMessage(ExitCode);
    }
};

void Pump(int maxMessages, TQuitHold& hold)
{
    for (int count = 0; count < maxMessages; ++count) {
        bool quit = false;
        int exitCode = 0;
        if (!runtime::DispatchOneMessage(quit, exitCode))
            return;
        if (quit) {
            hold.Seen = true;
            hold.ExitCode = exitCode;
        }
    }
}

class TDeadline
{
public:
    explicit TDeadline(DWORD timeoutMs) : FTimeout(timeoutMs), FStart(GetTickCount64()) {}
    /// Milliseconds left (INFINITE without a limit, 0 once passed).
    DWORD Remaining() const
    {
        if (FTimeout == INFINITE)
            return INFINITE;
        const ULONGLONG elapsed = GetTickCount64() - FStart;
        return elapsed >= FTimeout ? 0 : static_cast<DWORD>(FTimeout - elapsed);
    }

private:
    DWORD FTimeout;
    ULONGLONG FStart;
};

} // namespace

bool runtime::DispatchOneMessage(bool& quit, int& exitCode)
{
    MSG msg;
    quit = false;
    try {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            return false;
        if (msg.message == WM_QUIT) {
            quit = true;
            exitCode = static_cast<int>(msg.wParam);
            return true;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    } catch (...) {
        // A window procedure that lets an exception go would otherwise end the wait that happens
        // to dispatch it, far from where it was raised.
        Application::HandleException();
    }
    return true;
}

bool ProcessPlatformMessages(int maxMessages)
{
    for (int count = 0; count < maxMessages; ++count) {
        bool quit = false;
        int exitCode = 0;
        if (!runtime::DispatchOneMessage(quit, exitCode))
            return true;
        if (quit) {
            PostQuitMessage(exitCode);
            return false;
        }
    }
    return !platform::HasQueuedMessages();
}

DWORD WaitForObjectPumping(HANDLE handle, DWORD timeoutMs)
{
    if (!IsMainThread())
        return WaitForSingleObject(handle, timeoutMs);
    TQuitHold hold;
    const TDeadline deadline(timeoutMs);
    for (;;) {
        const DWORD remaining = deadline.Remaining();
        const DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, remaining, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1)
            return result;
        Pump(kWaitBatch, hold);
        // A flood of messages must not stretch the wait beyond its time.
        if (remaining == 0)
            return WaitForSingleObject(handle, 0);
    }
}

bool WaitUntilPumping(const std::function<bool()>& done, HANDLE wakeEvent, DWORD timeoutMs)
{
    // Without an event only queue input can wake the wait, so the queue is dispatched on any thread.
    const bool pump = IsMainThread() || !wakeEvent;
    TQuitHold hold;
    const TDeadline deadline(timeoutMs);
    for (;;) {
        if (done())
            return true;
        const DWORD remaining = deadline.Remaining();
        const DWORD count = wakeEvent ? 1 : 0;
        DWORD result;
        if (pump)
            result = MsgWaitForMultipleObjects(count, &wakeEvent, FALSE, remaining, QS_ALLINPUT);
        else
            result = WaitForSingleObject(wakeEvent, remaining);
        if (result == WAIT_OBJECT_0 + count && pump)
            Pump(kWaitBatch, hold);
        else if (result != WAIT_OBJECT_0)
            return done();
        if (remaining == 0)
            return done();
    }
}
