// The process-wide list of open dispatchers: a dispatcher's handle is its index here, and the
// port's window finds the dispatcher of a notification through it.
#pragma once

#include "serial/dispatch/ReentrantLock.h"

#include <cstdint>

class TApdBaseDispatcher;

/// Thread: any. Add and Remove take the registry lock themselves; At and Count need it held
/// (Lock/Unlock, or TRegistryLock) for as long as the dispatcher found is used.
class DeviceRegistry
{
public:
    /// Stores the dispatcher in the first empty slot, else appends it. @return its handle.
    static int32_t Add(TApdBaseDispatcher* dispatcher);
    /// Empties the dispatcher's slot and drops empty slots from the end of the list.
    static void Remove(TApdBaseDispatcher* dispatcher);
    /// The dispatcher with this handle, or nullptr.
    static TApdBaseDispatcher* At(int32_t handle);
    /// Slots in the list, empty ones included.
    static int32_t Count();

    static void Lock() NO_THREAD_SAFETY_ANALYSIS;
    static void Unlock() NO_THREAD_SAFETY_ANALYSIS;
};

/// Holds the registry lock for the scope it lives in.
class TRegistryLock
{
public:
    TRegistryLock() { DeviceRegistry::Lock(); }
    ~TRegistryLock() { DeviceRegistry::Unlock(); }
    TRegistryLock(const TRegistryLock&) = delete;
    TRegistryLock& operator=(const TRegistryLock&) = delete;
};
