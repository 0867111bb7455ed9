// QueryDosDeviceA on Linux: what a COM name of the device map stands for, so that the window can
// show the technician which adapter an entry of the port list is.
#include "platform/posix/comm_p.h"
#include "platform/posix/devicemap.h"
#include "platform/win32.h"

#include <cstring>
#include <string>
#include <vector>

DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath, DWORD maxChars)
{
    if (deviceName == nullptr || targetPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A device name here is the bare "COMn"; the "\\.\" prefix belongs to file names only.
    const int number = deviceName[0] == '\\' ? 0 : platform::ComNumberFromName(deviceName);
    const std::vector<std::string> targets =
        number == 0 ? std::vector<std::string>() : platform::DescribeComDevice(number);
    if (targets.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string list;
    for (const std::string& target : targets)
        list.append(target).push_back('\0');
    list.push_back('\0');
    if (list.size() > maxChars) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(targetPath, list.data(), list.size());
    return static_cast<DWORD>(list.size());
}
