// The COM port device map: which device node each name COM1, COM2, ... stands for on this machine.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform
{

/// The directory of COMn links: $LINTAKER_DEVICE_MAP, else $XDG_RUNTIME_DIR/lintaker/devices,
/// else /tmp/lintaker-<uid>/devices. It need not exist.
std::string DeviceMapDirectory();

/// Every COM number the port list offers, with the device path it opens: the links of the
/// device-map directory (those that point at a character device) and the real serial devices
/// under /sys/class/tty with their fixed numbers; a link wins over a real device's number.
/// A device that a link leads to (the same device number, through any chain of links) is listed
/// under the link's name only; its own automatic name is left out of this list but still opens
/// (ResolveComDevice), so a name shown before the link was made keeps working.
/// Junk in the directory is skipped silently. Thread: any.
std::map<int, std::string> ListComDevices();

/// The device path for COM<number>, listed or not, or nothing when the map has no such port.
std::optional<std::string> ResolveComDevice(int number);

/// What COM<number> stands for, in the words a technician recognises an adapter by: the names it
/// goes through, ending with the device node ("/dev/ttyUSB0"). A link's own target comes first
/// when it is not the node itself ("/dev/serial/by-id/usb-FTDI_..." for a link made to the
/// adapter's stable name); otherwise the adapter's /dev/serial/by-id name, when udev made one.
/// Empty when the map has no such port. Thread: any.
std::vector<std::string> DescribeComDevice(int number);

/// Where ListComDevices looks for real serial devices; tests point it at a fake sysfs tree.
/// An empty root restores /sys/class/tty.
void SetSysClassTtyRootForTesting(const std::string& root);

/// Where the device nodes of real serial devices and the serial/by-id links are; tests point it
/// at a directory of links standing in for them. An empty root restores /dev.
void SetDevRootForTesting(const std::string& root);

} // namespace platform
