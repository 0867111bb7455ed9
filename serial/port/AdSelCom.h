// Choosing a serial port when the port component has none: which port numbers can be used, and
// the modal selection dialog that the component shows. Free of Qt, so the component can call it.
#pragma once

#include "runtime/Exception.h"

#include <cstdint>
#include <string>

/// Whether port `n` can be used: it exists and opens, or another program holds it (that port is
/// listed all the same; opening it then fails as already open). 0 is never valid. A held port is
/// found held without being opened; any other is opened and closed again through a dispatcher of
/// its own, which is freed in every case.
/// Thread: any that may open ports.
bool PortValid(uint16_t n);

/// An entry of a list asked for by an index the list does not have.
class EListError : public Exception
{
public:
    explicit EListError(int index) : Exception("List index out of bounds (" + std::to_string(index) + ")") {}
};

/// Lowest and highest port number the selection dialog offers.
constexpr uint16_t kFirstSelectablePort = 1;
constexpr uint16_t kLastSelectablePort = 50;

/// Shows the selection dialog modally and destroys it again.
/// @return true with `comNumber` set when the user chose OK; false when the user cancelled or
/// closed the dialog, and when this thread has no widget application to show it on.
/// @throws EListError when OK was chosen while the list had no entry.
/// Thread: the thread of the widget application.
bool ExecuteComSelectForm(uint16_t& comNumber);
