// Framing and checksum of the field devices' line protocol.
#include "protocol/UnitEntDeCoder.h"

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

std::string HexWord(uint16_t value)
{
    std::string text(4, '0');
    for (int digit = 3; digit >= 0; --digit) {
        text[static_cast<size_t>(digit)] = kHexDigits[value & 0x0F];
        value = static_cast<uint16_t>(value >> 4);
    }
    return text;
}

std::string FrameMessage(const std::string& payload)
{
    const std::string body = ">" + payload + "<";
    uint16_t sum = 0; // wraps at 65536, as the devices compute it
    for (unsigned char byte : body)
        sum = static_cast<uint16_t>(sum + byte);
    return body + HexWord(sum).substr(2);
}
