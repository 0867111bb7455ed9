// Reading a fuzz input as a series of choices: numbers are taken from the end of the input, byte
// strings from the front, so that a mutation of one choice leaves most of the others in place.
// The byte order is the one libFuzzer's own data provider uses, so inputs saved from runs with it
// keep their meaning; this one needs no compiler support and is built by every compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

class TFuzzInput
{
public:
    TFuzzInput(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    size_t remaining_bytes() const { return FSize; }

    /// A number in [min, max] from up to sizeof(T) bytes at the end; min when the input has run
    /// out. Ranges wider than the bytes read are folded by the remainder.
    template <typename T> T ConsumeIntegralInRange(T min, T max)
    {
        static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(uint64_t));
        if (min > max)
            std::swap(min, max);
        const uint64_t range = static_cast<uint64_t>(max) - static_cast<uint64_t>(min);
        uint64_t result = 0;
        size_t offset = 0;
        while (offset < sizeof(T) * 8 && (range >> offset) > 0 && FSize != 0) {
            --FSize;
            result = (result << 8) | FData[FSize];
            offset += 8;
        }
        if (range != std::numeric_limits<uint64_t>::max())
            result = result % (range + 1);
        return static_cast<T>(static_cast<uint64_t>(min) + result);
    }

    template <typename T> T ConsumeIntegral()
    {
        return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    }

    bool ConsumeBool() { return (ConsumeIntegral<uint8_t>() & 1) != 0; }

    /// Up to `count` bytes from the front.
    std::string ConsumeBytesAsString(size_t count)
    {
        if (count > FSize)
            count = FSize;
        std::string bytes(reinterpret_cast<const char*>(FData), count);
        FData += count;
        FSize -= count;
        return bytes;
    }

    std::string ConsumeRemainingBytesAsString() { return ConsumeBytesAsString(FSize); }

private:
    const uint8_t* FData;
    size_t FSize;
};
