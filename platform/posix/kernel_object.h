// The objects behind HANDLE values on POSIX: a reference-counted base that every kind of handle
// (events, comm devices) derives from, and the table of handles that are open.
#pragma once

#include "platform/posix/win32_base.h"

#include <atomic>
#include <utility>

namespace platform
{

/// Base of every object a HANDLE stands for. A HANDLE is a pointer to one of these.
/// Lifetime: the handle table holds one reference from OpenHandle until CloseHandle; every call
/// that works on the object (a wait, a read) holds its own through Ref, so closing a handle while
/// another thread is inside a call on it only ends the object once that call has left, as Windows
/// keeps an object alive until its waits end.
/// Thread: any; the count is atomic.
class KernelObject
{
public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    void Retain() noexcept { references.fetch_add(1, std::memory_order_relaxed); }
    /// Deletes the object when this was the last reference.
    void Release() noexcept
    {
        // acq_rel: every use by other holders happens before the deletion.
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    /// Called by CloseHandle once the handle is out of the table, before its reference is dropped.
    /// A comm device uses it to end its pending calls; the default does nothing.
    /// Thread: the caller of CloseHandle; no platform lock is held.
    virtual void OnClose() {}

private:
    std::atomic<long> references{1};
};

/// A counted reference to a kernel object; empty when the handle was not open.
template <class T> class Ref
{
public:
    Ref() = default;
    /// Adopts a reference the caller already holds.
    explicit Ref(T* adopted) noexcept : object(adopted) {}
    Ref(const Ref& other) noexcept : object(other.object)
    {
        if (object)
            object->Retain();
    }
    Ref(Ref&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(object, other.object);
        return *this;
    }
    ~Ref()
    {
        if (object)
            object->Release();
    }

    T* get() const noexcept { return object; }
    T* operator->() const noexcept { return object; }
    T& operator*() const noexcept { return *object; }
    explicit operator bool() const noexcept { return object != nullptr; }

private:
    T* object = nullptr;
};

/// Puts a new object (reference count 1, owned by the table from now on) into the handle table
/// and returns its handle.
HANDLE OpenHandle(KernelObject* object);

/// The object behind an open handle, with a reference of its own; empty (and the last error set
/// to ERROR_INVALID_HANDLE) when the handle is not open.
Ref<KernelObject> LookUpHandle(HANDLE handle);

/// The object behind an open handle when it is of kind T; otherwise empty, last error
/// ERROR_INVALID_HANDLE.
template <class T> Ref<T> LookUpHandleAs(HANDLE handle)
{
    Ref<KernelObject> any = LookUpHandle(handle);
    T* typed = dynamic_cast<T*>(any.get());
    if (!typed) {
        if (any)
            SetLastError(ERROR_INVALID_HANDLE);
        return Ref<T>();
    }
    typed->Retain();
    return Ref<T>(typed);
}

} // namespace platform
