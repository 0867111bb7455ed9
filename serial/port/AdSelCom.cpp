// The port validity probe: a device open through a dispatcher that belongs to no port.
#include "serial/port/AdSelCom.h"

#include "platform/win32.h"
#include "serial/device/ApdWin32Dispatcher.h"

#include <memory>
#include <string>

bool PortValid(uint16_t n)
{
    if (n == 0)
        return false;
    // A port that somebody holds exists and is reported as the probe below would, but without
    // opening it: an open would raise its modem lines and the probe would rewrite its settings
    // under the holder.
    if (platform::ComPortHeld(n, nullptr))
        return true;
    // The dispatcher owns the registry slot and the device: the pointer frees both, also when the
    // open throws.
    auto dispatcher = std::make_unique<TApdWin32Dispatcher>(nullptr);
    if (dispatcher->OpenDevice("\\\\.\\COM" + std::to_string(n), 64, 64) >= 0) {
        dispatcher->CloseDevice();
        return true;
    }
    // A port that another program holds exists: the user may still mean it.
    return GetLastError() == ERROR_ACCESS_DENIED;
}
