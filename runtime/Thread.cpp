// The runtime's thread class: start, end, self-deletion and the handing of exceptions that escape
// a thread body to the application's error display.
#include "runtime/Thread.h"

#include "runtime/Application.h"
#include "runtime/Exception.h"
#include "runtime/ThreadOs_p.h"
#include "runtime/Wait.h"

#include <algorithm>
#include <condition_variable>
#include <system_error>

// Start waits on this until the new thread has published its id; it lives on Start's stack.
struct TThread::TStartHandshake {
    // A leaf: Start (perhaps under DispatcherLock) and the new thread take nothing under it.
    std::mutex Lock;
    std::condition_variable Ready;
    bool Started = false;
};

TThread::TThread()
{
    FFinishedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!FFinishedEvent)
        throw EInOutError("A thread's end signal cannot be created", static_cast<int>(GetLastError()));
}

TThread::~TThread()
{
    if (FStarted.load() && ThreadId() != GetCurrentThreadId()) {
        Terminate();
        WaitForObjectPumping(FFinishedEvent, INFINITE);
        Join();
    } else {
        // Deleted by its own body: nobody may join a thread from inside it.
        std::lock_guard lock(FLock);
        if (FThread.joinable())
            FThread.detach();
    }
    CloseHandle(FFinishedEvent);
}

void TThread::Start()
{
    TStartHandshake handshake;
    {
        // Held until FThread is assigned: the body takes this lock before it may detach itself.
        std::lock_guard lock(FLock);
        if (FStarted.load())
            throw Exception("The thread has been started already");
        try {
            FThread = std::thread(&TThread::Run, this, &handshake);
        } catch (const std::system_error& error) {
            throw Exception(std::string("A thread cannot be created: ") + error.what());
        }
        FStarted.store(true);
    }
    std::unique_lock lock(handshake.Lock);
    handshake.Ready.wait(lock, [&] { return handshake.Started; });
}

void TThread::Run(TStartHandshake* handshake)
{
    FThreadId.store(GetCurrentThreadId(), std::memory_order_release);
    ApplyName();
    ApplyPriority();
    {
        // Notified under the lock: once Start sees Started it returns and the handshake is gone.
        std::lock_guard lock(handshake->Lock);
        handshake->Started = true;
        handshake->Ready.notify_one();
    }

    // Whatever way the body ends, DoTerminate still runs: owners count their threads there.
    try {
        Execute();
    } catch (...) {
        FFatalException = std::current_exception();
        Application::HandleException();
    }
    try {
        DoTerminate();
    } catch (...) {
        if (!FFatalException)
            FFatalException = std::current_exception();
        Application::HandleException();
    }

    if (FreeOnTerminate()) {
        {
            std::lock_guard lock(FLock);
            FThread.detach();
        }
        FFinished.store(true, std::memory_order_release);
        delete this;
        return;
    }
    FFinished.store(true, std::memory_order_release);
    SetEvent(FFinishedEvent);
}

void TThread::WaitFor()
{
    if (!FStarted.load())
        return;
    if (ThreadId() == GetCurrentThreadId())
        throw Exception("A thread cannot wait for its own end");
    if (FreeOnTerminate())
        throw Exception("A thread that frees itself cannot be waited for");
    WaitForObjectPumping(FFinishedEvent, INFINITE);
    Join();
}

void TThread::Join()
{
    std::lock_guard lock(FLock);
    if (FThread.joinable())
        FThread.join();
}

void TThread::SetPriority(int level)
{
    FPriority.store(std::clamp(level, static_cast<int>(tpIdle), static_cast<int>(tpTimeCritical)));
    std::lock_guard lock(FLock);
    if (FThread.joinable())
        runtime::SetNativeThreadPriority(FThread.native_handle(), Priority());
}

void TThread::SetName(const char* name)
{
    std::lock_guard lock(FLock);
    FName = name ? name : "";
    if (FThread.joinable())
        runtime::SetNativeThreadName(FThread.native_handle(), FName);
}

// Both run on the new thread, and take FLock, which Start holds until FThread is assigned.
void TThread::ApplyName()
{
    std::lock_guard lock(FLock);
    if (!FName.empty())
        runtime::SetNativeThreadName(FThread.native_handle(), FName);
}

void TThread::ApplyPriority()
{
    std::lock_guard lock(FLock);
    if (Priority() != tpNormal)
        runtime::SetNativeThreadPriority(FThread.native_handle(), Priority());
}
