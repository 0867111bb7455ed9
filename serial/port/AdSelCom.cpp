// The port validity probe: a device open through a dispatcher that belongs to no port.
#include "serial/port/AdSelCom.h"

#include "serial/device/ApdWin32Dispatcher.h"

#include <memory>
#include <string>

bool PortValid(uint16_t n)
{
    if (n == 0)
        return false;
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
