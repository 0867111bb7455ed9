// The COM port device map: which device node each name COM1, COM2, ... stands for on this machine.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform {

/// The directory of COMn links: $LINTAKER_DEVICE_MAP, else $XDG_RUNTIME_DIR/lintaker/devices,
/// else /tmp/lintaker-<uid>/devices. It need not exist.
std::string DeviceMapDirectory();

/// Every COM number the machine offers, with the device path it opens: the links of the
/// device-map directory (those that point at a character device) and the real serial devices
/// under /sys/class/tty with their fixed numbers; a link wins over a real device's number.
/// Junk in the directory is skipped silently. Thread: any.
std::map<int, std::string> ListComDevices();

/// The device path for COM<number>, or nothing when the map has no such port.
std::optional<std::string> ResolveComDevice(int number);

/// Where ListComDevices looks for real serial devices; tests point it at a fake sysfs tree.
/// An empty root restores /sys/class/tty.
void SetSysClassTtyRootForTesting(const std::string& root);

} // namespace platform
