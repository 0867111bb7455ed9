// The wait machinery shared by the events and the per-thread message queues: objects that can
// be waited on, the record of one thread inside a wait, and the one lock that guards them.
#pragma once

#include "platform/posix/kernel_object.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform
{

/// The lock of every wait: guards the state of all waitable objects, every WaitBlock, and every
/// message queue, window and window class (messages.cpp). Held only for short bookkeeping, never
/// while user code runs (window procedures, the queue wake hook) and never while a thread sleeps
/// other than inside a condition-variable wait on it.
/// Order: taken after the handle-table lock is released (that one is a leaf); nothing else is
/// ever taken while holding it. Any other lock may be held when it is taken: SetEvent, ResetEvent
/// and PostMessageA are called under the stack's locks, a comm device's eventLock and writeLock,
/// and the completion lock (comm.cpp).
inline std::mutex gWaitLock;

/// The calling thread's wake-up: every blocking call of this layer sleeps on it, with gWaitLock.
/// Only notified under gWaitLock and only while its thread is recorded as waiting, so a notifier
/// never reaches the variable of a thread that has gone.
std::condition_variable& ThreadWakeup();

class Waitable;

/// One thread inside WaitFor*Objects / MsgWaitForMultipleObjects. Lives on that thread's stack;
/// registered with each of its objects (and its queue) while the thread sleeps.
/// Fields guarded by gWaitLock.
struct WaitBlock {
    static constexpr DWORD kPending = 0xFFFFFFFE;

    Waitable* const* objects = nullptr;
    DWORD count = 0;
    bool waitAll = false;
    DWORD wakeMask = 0; // queue input that ends the wait; 0 when the queue is not watched
    std::condition_variable* wakeup = nullptr;
    void* queue = nullptr; // the watched queue while attached (messages.cpp)
    /// WAIT_OBJECT_0 + index (any), WAIT_OBJECT_0 (all), WAIT_OBJECT_0 + count (queue input);
    /// set once by whoever satisfies the wait, together with consuming the objects.
    DWORD result = kPending;
};

/// An object a thread can wait on. Signal state and waiter list guarded by gWaitLock.
class Waitable : public KernelObject
{
public:
    ~Waitable() override = default;

    virtual bool IsSignalledLocked() const = 0;
    /// Takes the signal a satisfied wait receives (an auto-reset event resets).
    virtual void ConsumeLocked() = 0;

    /// To be called when the object has become signalled: satisfies the waiters that now can be,
    /// oldest first, for as long as the object stays signalled.
    void WakeWaitersLocked();

    std::vector<WaitBlock*> waiters; // oldest first
};

/// Ends a wait with the given result: detaches it from its objects and queue and wakes its thread.
void CompleteWaitLocked(WaitBlock& block, DWORD result);

// Provided by the message queues (messages.cpp) for MsgWaitForMultipleObjects.

/// Whether the calling thread's queue holds input of a kind in wakeMask; counts as the thread
/// having looked at its queue.
bool CurrentQueueHasInputLocked(DWORD wakeMask);
/// Records the wait that queue input of the calling thread must end.
void AttachQueueWaiterLocked(WaitBlock& block);
/// Removes the record again; called by whichever thread ends the wait.
void DetachQueueWaiterLocked(WaitBlock& block);

} // namespace platform
