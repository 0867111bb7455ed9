// Framing and checksum of the line protocol against their definition: ">" + payload + "<" and the
// low byte of the byte sum as two uppercase hex digits; HexWord against the standard formatting.
#include "fuzz/FuzzInput.h"
#include "fuzz/Harnesses.h"

#include "protocol/UnitEntDeCoder.h"

#include <cstdio>
#include <string>

int fuzz::Framing(const uint8_t* data, size_t size)
{
    TFuzzInput in(data, size);
    const auto value = in.ConsumeIntegral<uint16_t>();
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(value));
    FUZZ_CHECK(HexWord(value) == hex, HexWord(value) + " " + hex);

    // Where the input asks, a long payload: sums past 65535 wrap like the devices' own.
    std::string payload = in.ConsumeRemainingBytesAsString();
    if (payload.size() > 1 && static_cast<uint8_t>(payload[0]) == 0xFF)
        payload = std::string(260 + static_cast<uint8_t>(payload[1]), payload.back()) + payload;
    const std::string framed = FrameMessage(payload);
    FUZZ_CHECK(framed.size() == payload.size() + 4, std::to_string(framed.size()));
    FUZZ_CHECK(framed.front() == '>' && framed.compare(1, payload.size(), payload) == 0);
    FUZZ_CHECK(framed[payload.size() + 1] == '<');
    unsigned sum = 0;
    for (size_t i = 0; i < payload.size() + 2; ++i)
        sum += static_cast<uint8_t>(framed[i]);
    std::snprintf(hex, sizeof hex, "%02X", sum % 256u);
    FUZZ_CHECK(framed.substr(payload.size() + 2) == hex, framed.substr(payload.size() + 2) + " " + hex);
    return 0;
}
