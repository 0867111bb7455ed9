// Framing and checksum of the field devices' line protocol: ">" payload "<" and two hex digits.
#pragma once

#include <cstdint>
#include <string>

/// The four uppercase hexadecimal digits of the value, most significant first ("00FE" for 254).
std::string HexWord(uint16_t value);

/// The framed message: ">" + payload + "<" + the low byte of the byte sum of all of those, as
/// two uppercase hex digits. Every byte string can be framed.
std::string FrameMessage(const std::string& payload);
