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

/// The COM number a link of the device-map directory called `name` stands for ("COM7": 7), or 0
/// when the map ignores a link of that name ("COM07", "COM0", "com7", "COM7x").
int ComNumberOfLinkName(const std::string& name);

/// The COM number a real serial device keeps by its kernel name (ttyS0: 1, ttyUSB0: 33, ttyACM0:
/// 65, ttyAMA0: 97, rfcomm0: 129, each family 32 wide), or 0 when it takes the next free number
/// from 161 on.
int FixedComNumberOfKernelName(const std::string& name);

/// Where ListComDevices looks for real serial devices; tests point it at a fake sysfs tree.
/// An empty root restores /sys/class/tty.
void SetSysClassTtyRootForTesting(const std::string& root);

/// Where the device nodes of real serial devices and the serial/by-id links are; tests point it
/// at a directory of links standing in for them. An empty root restores /dev.
void SetDevRootForTesting(const std::string& root);

} // namespace platform

// ---- Telling one device from another while it goes and comes back (read only) ----------------

namespace platform
{

/// The device node `path` leads to (links followed, absolute) while it is a character device;
/// nothing when it is missing or something else. Thread: any.
std::optional<std::string> CharacterDeviceNode(const std::string& path);

/// The link under /dev/serial/by-id that leads to the same device as `path` (same device number),
/// or empty when there is none: udev makes these links for USB adapters, from their vendor,
/// product and serial number, so they name an adapter whatever kernel name it gets. Thread: any.
std::string SerialByIdLink(const std::string& path);

/// The COM number under which the device map offers the device `path` leads to (same device
/// number); `preferred` when that one does, else the lowest. Nothing when none does. Thread: any.
std::optional<int> ComNumberOfDevice(const std::string& path, int preferred = 0);

/// Whether `node` is a pseudo-terminal: the kernel gives its number to whichever program asks for
/// a new one once it is free, so the same node coming back says nothing about the same device.
/// Thread: any.
bool IsPseudoTerminal(const std::string& node);

/// A text that changes whenever the link at `path` is made anew or pointed elsewhere (its target,
/// inode and change time); empty when `path` is no link. Thread: any.
std::string LinkStamp(const std::string& path);

/// The directories whose entries change when a serial device comes or goes, or when its
/// permissions are set after it came: /dev, /dev/serial, the by-id directory and the device-map
/// directory; only those that exist now. Thread: any.
std::vector<std::string> DeviceArrivalDirectories();

/// Where SerialByIdLink looks; tests point it at a directory of their own. Empty restores
/// /dev/serial/by-id.
void SetSerialByIdDirectoryForTesting(const std::string& directory);

} // namespace platform
