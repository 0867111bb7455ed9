// The process-wide list of open dispatchers: a dispatcher's handle is its index here, and the
// port's window finds the dispatcher of a notification through it.
#pragma once

#include "serial/dispatch/ReentrantLock.h"

#include <cstdint>

class TApdBaseDispatcher;

/// Thread: any. Every call takes the registry lock itself; whoever uses the dispatcher that At
/// found holds it as well (Lock/Unlock, or TRegistryLock) for as long as the dispatcher is used.
class DeviceRegistry
{
public:
    /// The registry lock. Taken before any dispatcher lock: the port's window holds it while a
    /// notification's handlers run, and those take the dispatcher's locks. The dispatcher threads
    /// never take it, so a handler that waits for them under it cannot hang on it.
    static TReentrantLock& RegistryLock();
    /// Stores the dispatcher in the first empty slot, else appends it. @return its handle.
    static int32_t Add(TApdBaseDispatcher* dispatcher);
    /// Empties the dispatcher's slot and drops empty slots from the end of the list.
    static void Remove(TApdBaseDispatcher* dispatcher);
    /// The dispatcher with this handle, or nullptr.
    static TApdBaseDispatcher* At(int32_t handle);
    /// Slots in the list, empty ones included.
    static int32_t Count();

    static void Lock() ACQUIRE(RegistryLock());
    static void Unlock() RELEASE(RegistryLock());
};

/// Holds the registry lock for the scope it lives in.
class SCOPED_CAPABILITY TRegistryLock
{
public:
    TRegistryLock() ACQUIRE(DeviceRegistry::RegistryLock()) { DeviceRegistry::Lock(); }
    ~TRegistryLock() RELEASE() { DeviceRegistry::Unlock(); }
    TRegistryLock(const TRegistryLock&) = delete;
    TRegistryLock& operator=(const TRegistryLock&) = delete;
};
