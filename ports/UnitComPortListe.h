// The serial ports present on the machine, as the port list of the main window offers them.
#pragma once

#include <string>
#include <vector>

/// Appends the names of the machine's serial ports ("COM1", ...) to `list`, in the order the
/// registry gives them, unsorted; a name the list already holds, in any letter case, is not added
/// again. Reads the serial device map (on Linux whatever the kernel's version), or on the older
/// consumer systems the hardware enumeration tree; it neither opens nor tests a port. Missing or
/// unreadable keys and values of other types are skipped, so it never fails: the list may stay as
/// it was. Thread: any.
void ListComPorts(std::vector<std::string>& list);

/// What the port `portName` ("COM3") stands for, for the technician to recognise the adapter by:
/// the device's names joined by " -> ", ending with the device itself ("/dev/serial/by-id/usb-...
/// -> /dev/ttyUSB0"; on Windows the kernel's device name, "\Device\Serial0"). Empty when the
/// system knows no such port. Thread: any.
std::string ComPortDevice(const std::string& portName);
