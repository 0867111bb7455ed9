// The process-wide list of dispatchers and its lock.
#include "serial/dispatch/DeviceRegistry.h"

#include <vector>

// Made on first use and never destroyed, so that a dispatcher freed during process exit still
// finds its registry.
TReentrantLock& DeviceRegistry::RegistryLock()
{
    static TReentrantLock* lock = new TReentrantLock;
    return *lock;
}

namespace
{

std::vector<TApdBaseDispatcher*>& Slots() REQUIRES(DeviceRegistry::RegistryLock())
{
    static auto* slots = new std::vector<TApdBaseDispatcher*>;
    return *slots;
}

} // namespace

int32_t DeviceRegistry::Add(TApdBaseDispatcher* dispatcher)
{
    TLockGuard guard(RegistryLock());
    auto& slots = Slots();
    for (size_t i = 0; i < slots.size(); ++i) {
        if (!slots[i]) {
            slots[i] = dispatcher;
            return static_cast<int32_t>(i);
        }
    }
    slots.push_back(dispatcher);
    return static_cast<int32_t>(slots.size() - 1);
}

void DeviceRegistry::Remove(TApdBaseDispatcher* dispatcher)
{
    TLockGuard guard(RegistryLock());
    auto& slots = Slots();
    for (auto& slot : slots) {
        if (slot == dispatcher)
            slot = nullptr;
    }
    while (!slots.empty() && !slots.back())
        slots.pop_back();
}

TApdBaseDispatcher* DeviceRegistry::At(int32_t handle)
{
    TLockGuard guard(RegistryLock());
    auto& slots = Slots();
    if (handle < 0 || static_cast<size_t>(handle) >= slots.size())
        return nullptr;
    return slots[static_cast<size_t>(handle)];
}

int32_t DeviceRegistry::Count()
{
    TLockGuard guard(RegistryLock());
    return static_cast<int32_t>(Slots().size());
}

void DeviceRegistry::Lock() { RegistryLock().Enter(); }

void DeviceRegistry::Unlock() { RegistryLock().Leave(); }
