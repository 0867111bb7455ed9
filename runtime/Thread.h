// The runtime's thread class and the user-interface thread: threads of the serial stack run their
// bodies here and hand calls to the user-interface thread with Synchronize.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

/// Makes the calling thread the user-interface thread and creates the runtime's hidden window on
/// it, through which other threads reach it (Synchronize, ShowException). Calls made later on the
/// same thread do nothing. Until it runs, the process's first thread counts as the user-interface
/// thread, but no other thread can hand it a call.
/// @throws Exception when another thread is already the user-interface thread or the window
/// cannot be made.
/// Thread: the one that will pump the platform queue (the thread of Qt's event loop).
void InitMainThread();

/// Runs what is still queued for the runtime's window, then destroys it: calls handed over later
/// fail with an Exception in the calling thread instead of waiting for a thread that no longer
/// pumps. Safe to call when InitMainThread never ran.
/// Thread: the user-interface thread.
void ShutdownMainThread();

/// True on the user-interface thread. Thread: any.
bool IsMainThread();
/// The id (GetCurrentThreadId) of the user-interface thread. Thread: any.
DWORD MainThreadId();

/// Priority levels of TThread::SetPriority.
enum TThreadPriority : int {
    tpIdle = 0,
    tpLowest = 1,
    tpLower = 2,
    tpNormal = 3,
    tpHigher = 4,
    tpHighest = 5,
    tpTimeCritical = 6
};

/// A thread whose body is Execute().
///
/// Life: constructed suspended; Start() runs the body on a new thread. Create<T>(...) constructs
/// and starts in one step, for classes that are meant to be created running (a thread cannot start
/// from the base constructor: its body would run before the derived object exists). After Execute
/// returns or throws, DoTerminate() runs on the thread, then the thread counts as finished; with
/// FreeOnTerminate set the object then deletes itself, and nobody may touch it any more.
///
/// An exception that escapes Execute or DoTerminate is handed to Application::ShowException and
/// kept in FatalException(); it never ends the process and never skips DoTerminate.
///
/// Thread: Start, WaitFor, SetPriority and SetName from any thread but this one; Terminate,
/// Terminated and Finished from any thread; Synchronize from this thread (or any thread through
/// the static form).
class TThread
{
public:
    TThread();
    /// Ends a thread that still runs: Terminate, then WaitFor. A derived class whose body uses
    /// its own members must end the thread in its own destructor, before those members go.
    /// Called from the thread itself (FreeOnTerminate), it only lets the thread go.
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    /// Constructs a T and starts it. With FreeOnTerminate set by T's constructor, the returned
    /// pointer is valid only as long as the body has not ended.
    template <class T, class... Args> static T* Create(Args&&... args)
    {
        T* thread = new T(std::forward<Args>(args)...);
        thread->Start();
        return thread;
    }

    /// Starts the body. Returns once the new thread runs and ThreadId() is known.
    /// @throws Exception when the thread was started before or cannot be created.
    void Start();

    /// Asks the body to end; the body looks at Terminated() at its own pace.
    void Terminate() { FTerminated.store(true, std::memory_order_release); }
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }

    /// The object deletes itself once its body and DoTerminate have run. May be set while the
    /// thread runs; it is read when the body ends.
    void SetFreeOnTerminate(bool value) { FFreeOnTerminate.store(value, std::memory_order_release); }
    bool FreeOnTerminate() const { return FFreeOnTerminate.load(std::memory_order_acquire); }

    /// True once Execute and DoTerminate have run.
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }

    /// Waits until the thread has finished. On the user-interface thread the platform queue keeps
    /// being dispatched meanwhile, so a body that Synchronizes can still end. Returns at once for
    /// a thread that was never started.
    /// @throws Exception when called from the thread itself, or for a FreeOnTerminate thread
    /// (the object may be gone before the wait could look at it).
    void WaitFor();

    /// Priority on the scale tpIdle (0) .. tpNormal (3) .. tpTimeCritical (6); values outside are
    /// clamped. Best effort, never fails: on Linux only what needs no privileges is done, so idle
    /// becomes SCHED_IDLE, lowest and lower SCHED_BATCH, normal and above an ordinary thread
    /// (SCHED_OTHER). Priority() gives the level asked for.
    void SetPriority(int level);
    int Priority() const { return FPriority.load(std::memory_order_acquire); }

    /// Name shown by debuggers and `ps -L` (at most 15 characters are kept). Before Start it is
    /// applied when the thread starts.
    void SetName(const char* name);

    /// GetCurrentThreadId() of the thread; 0 before Start.
    DWORD ThreadId() const { return FThreadId.load(std::memory_order_acquire); }

    /// The exception that escaped Execute or DoTerminate, or null.
    /// Read it only after the thread has finished.
    std::exception_ptr FatalException() const { return FFatalException; }

    /// Runs method on the user-interface thread and returns when it has run. An exception thrown
    /// by method is caught there and thrown again here. On the user-interface thread itself the
    /// method is simply called. The calling thread blocks meanwhile; the user-interface thread runs
    /// the call whenever it dispatches its platform queue (its event loop or a pumping wait).
    /// @throws Exception when there is no user-interface thread to run it (InitMainThread never
    /// ran, or ShutdownMainThread did), and whatever method throws.
    void Synchronize(std::function<void()> method) { Synchronize(this, std::move(method)); }
    /// As above, from any thread; caller may be null.
    static void Synchronize(TThread* caller, std::function<void()> method);

protected:
    /// The body. Look at Terminated() to end in time.
    virtual void Execute() = 0;
    /// Runs on the thread after Execute, also when Execute threw; the place for bookkeeping that
    /// must happen whatever way the body ended.
    virtual void DoTerminate() {}

private:
    struct TStartHandshake;
    void Run(TStartHandshake* handshake);
    void ApplyName();
    void ApplyPriority();
    void Join();

    // Flags for other threads: each is a single value on its own, so release/acquire on it is all
    // the ordering needed; FFinished is set (release) after everything the body wrote, so whoever
    // sees it (acquire) also sees FFatalException.
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFreeOnTerminate{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FStarted{false};
    std::atomic<int> FPriority{tpNormal};
    std::atomic<DWORD> FThreadId{0};
    std::exception_ptr FFatalException; // written by the thread before FFinished is set
    HANDLE FFinishedEvent = nullptr;    // manual-reset, set once the thread has finished

    // Guards FThread (start, join, detach) and FName. May be taken under the dispatcher's locks
    // (priorities, starts); under it only the system's thread calls. Join waits under it for a
    // body that takes it only as it starts, and as it frees itself (a thread nobody joins).
    std::mutex FLock;
    std::thread FThread;
    std::string FName;
};
