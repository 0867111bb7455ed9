// Handles, events, waits and critical sections on POSIX threads: one lock (gWaitLock) for the
// state of every waitable object and a condition variable per waiting thread.
#include "platform/posix/waitable.h"
#include "platform/win32.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <unordered_set>

namespace platform
{

// ---- Handle table ----------------------------------------------------------------------------

namespace
{

// The handles that are open; a leaf lock (nothing else is taken while holding it), so any lock
// may be held when a handle is looked up. Without the table a second CloseHandle, or a handle
// value that was never one, would reach freed memory.
std::mutex handleTableLock;
std::unordered_set<KernelObject*>& HandleTable()
{
    static auto* table = new std::unordered_set<KernelObject*>(); // outlives thread_local cleanup
    return *table;
}

} // namespace

HANDLE OpenHandle(KernelObject* object)
{
    std::lock_guard guard(handleTableLock);
    HandleTable().insert(object);
    return object;
}

Ref<KernelObject> LookUpHandle(HANDLE handle)
{
    auto* object = static_cast<KernelObject*>(handle);
    {
        std::lock_guard guard(handleTableLock);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && HandleTable().count(object)) {
            object->Retain();
            return Ref<KernelObject>(object);
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return Ref<KernelObject>();
}

// ---- Waits -----------------------------------------------------------------------------------

std::condition_variable& ThreadWakeup()
{
    thread_local std::condition_variable wakeup;
    return wakeup;
}

namespace
{

void Detach(Waitable* object, WaitBlock* block)
{
    auto& list = object->waiters;
    list.erase(std::remove(list.begin(), list.end(), block), list.end());
}

void DetachAll(WaitBlock& block)
{
    for (DWORD i = 0; i < block.count; ++i)
        Detach(block.objects[i], &block);
    if (block.wakeMask != 0)
        DetachQueueWaiterLocked(block);
}

// Satisfies the wait if its objects allow it now, consuming what it receives.
bool TrySatisfyLocked(WaitBlock& block)
{
    if (block.result != WaitBlock::kPending)
        return false;
    if (block.waitAll) {
        for (DWORD i = 0; i < block.count; ++i)
            if (!block.objects[i]->IsSignalledLocked())
                return false;
        if (block.count == 0)
            return false;
        for (DWORD i = 0; i < block.count; ++i)
            block.objects[i]->ConsumeLocked();
        CompleteWaitLocked(block, WAIT_OBJECT_0);
        return true;
    }
    for (DWORD i = 0; i < block.count; ++i) {
        if (block.objects[i]->IsSignalledLocked()) {
            block.objects[i]->ConsumeLocked();
            CompleteWaitLocked(block, WAIT_OBJECT_0 + i);
            return true;
        }
    }
    return false;
}

class Event final : public Waitable
{
public:
    Event(bool manual, bool initial) : manualReset(manual), signalled(initial) {}

    bool IsSignalledLocked() const override { return signalled; }
    void ConsumeLocked() override
    {
        if (!manualReset)
            signalled = false;
    }
    void SetLocked()
    {
        signalled = true;
        WakeWaitersLocked();
    }
    void ResetLocked() { signalled = false; }

private:
    const bool manualReset;
    bool signalled; // guarded by gWaitLock
};

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC: a time-out ignores changes of the wall clock

DWORD Wait(Waitable* const* objects, DWORD count, bool waitAll, DWORD milliseconds, DWORD wakeMask)
{
    std::optional<Clock::time_point> deadline;
    if (milliseconds != INFINITE)
        deadline = Clock::now() + std::chrono::milliseconds(milliseconds);

    WaitBlock block;
    block.objects = objects;
    block.count = count;
    block.waitAll = waitAll;
    block.wakeMask = wakeMask;
    block.wakeup = &ThreadWakeup();

    std::unique_lock lock(gWaitLock);
    if (TrySatisfyLocked(block))
        return block.result;
    if (wakeMask != 0 && CurrentQueueHasInputLocked(wakeMask))
        return WAIT_OBJECT_0 + count;
    if (milliseconds == 0)
        return WAIT_TIMEOUT;

    for (DWORD i = 0; i < count; ++i)
        objects[i]->waiters.push_back(&block);
    if (wakeMask != 0)
        AttachQueueWaiterLocked(block);

    // The result is set, together with the consumed signal, by whoever satisfies the wait; a
    // wake-up without it is spurious and the thread sleeps on.
    while (block.result == WaitBlock::kPending) {
        if (!deadline) {
            block.wakeup->wait(lock);
        } else if (block.wakeup->wait_until(lock, *deadline) == std::cv_status::timeout &&
                   block.result == WaitBlock::kPending) {
            DetachAll(block);
            return WAIT_TIMEOUT;
        }
    }
    return block.result;
}

// Looks up the handles as events; fails the whole wait when one is not.
DWORD WaitForHandles(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds, DWORD wakeMask)
{
    if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr) || (count == 0 && wakeMask == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<Ref<Waitable>> held; // keeps the objects alive if another thread closes them meanwhile
    std::vector<Waitable*> objects;
    held.reserve(count);
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        Ref<Waitable> object = LookUpHandleAs<Waitable>(handles[i]);
        if (!object)
            return WAIT_FAILED;
        if (waitAll && std::find(objects.begin(), objects.end(), object.get()) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        objects.push_back(object.get());
        held.push_back(std::move(object));
    }
    return Wait(objects.data(), count, waitAll, milliseconds, wakeMask);
}

} // namespace

void Waitable::WakeWaitersLocked()
{
    // Most signals find nobody waiting: no copy for them.
    if (waiters.empty())
        return;
    // Completing a wait edits the list; walk a copy, oldest waiter first.
    std::vector<WaitBlock*> candidates = waiters;
    for (WaitBlock* block : candidates) {
        if (!IsSignalledLocked())
            break;
        TrySatisfyLocked(*block);
    }
}

void CompleteWaitLocked(WaitBlock& block, DWORD result)
{
    DetachAll(block);
    block.result = result;
    block.wakeup->notify_one();
}

// ---- Critical sections -----------------------------------------------------------------------

class CriticalSectionLock
{
public:
    // The stack's own locks (TReentrantLock), in the stack's order; this layer takes none of them
    // itself, and any of its own may be taken under them.
    std::recursive_mutex mutex;
};

} // namespace platform

using platform::Event;

BOOL CloseHandle(HANDLE handle)
{
    auto* object = static_cast<platform::KernelObject*>(handle);
    {
        std::lock_guard guard(platform::handleTableLock);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
            platform::HandleTable().erase(object) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    object->OnClose();
    object->Release();
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (name != nullptr && name[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return platform::OpenHandle(new Event(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event)
{
    platform::Ref<Event> object = platform::LookUpHandleAs<Event>(event);
    if (!object)
        return FALSE;
    std::lock_guard guard(platform::gWaitLock);
    object->SetLocked();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    platform::Ref<Event> object = platform::LookUpHandleAs<Event>(event);
    if (!object)
        return FALSE;
    std::lock_guard guard(platform::gWaitLock);
    object->ResetLocked();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return platform::WaitForHandles(1, &handle, false, milliseconds, 0);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    return platform::WaitForHandles(count, handles, waitAll != FALSE, milliseconds, 0);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                DWORD wakeMask)
{
    // Only the kinds of input this layer produces; without one the wait would not watch the queue.
    constexpr DWORD kQueueInput = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE | QS_TIMER | QS_SENDMESSAGE;
    if ((wakeMask & kQueueInput) == 0 && count == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return platform::WaitForHandles(count, handles, waitAll != FALSE, milliseconds, wakeMask & kQueueInput);
}

void InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    section->Lock = new platform::CriticalSectionLock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    delete section->Lock;
    section->Lock = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { section->Lock->mutex.lock(); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { section->Lock->mutex.unlock(); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    return section->Lock->mutex.try_lock() ? TRUE : FALSE;
}
