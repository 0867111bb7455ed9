// Framing and checksum: the worked examples and the edge cases of the byte sum.
#include "protocol/UnitEntDeCoder.h"

#include <gtest/gtest.h>

TEST(HexWord, KeepsFourUppercaseDigits)
{
    EXPECT_EQ(HexWord(0), "0000");
    EXPECT_EQ(HexWord(254), "00FE");
    EXPECT_EQ(HexWord(0xABCD), "ABCD");
    EXPECT_EQ(HexWord(0xFFFF), "FFFF");
}

TEST(FrameMessage, FramesThePollRequestsAndAnswers)
{
    struct Case {
        std::string payload, framed;
    };
    const Case cases[] = {
        {"0T", ">0T<FE"},
        {"1T", ">1T<FF"},
        {"2T", ">2T<00"},
        {"9T", ">9T<07"},
        {"", "><7A"},
        {"0t000000000000000000000000000000000000000000000000000000000000000000000000000000000803111601",
         ">0t000000000000000000000000000000000000000000000000000000000000000000000000000000000803111601<13"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FrameMessage(c.payload), c.framed) << c.payload;
}

TEST(FrameMessage, ChecksumEdgeCases)
{
    // 62 + 60 + 134 = 256: a multiple of 256 renders as 00.
    EXPECT_EQ(FrameMessage(std::string(1, '\x86')), std::string(">\x86<") + "00");
    // Low byte below 16 keeps its leading zero: 62 + 60 + 144 = 266 = 0x10A.
    EXPECT_EQ(FrameMessage(std::string(1, '\x90')).substr(3), "0A");
    // Frame characters inside the payload are not escaped and count like any byte.
    EXPECT_EQ(FrameMessage("<>"), "><><" + HexWord((62 * 2 + 60 * 2) & 0xFF).substr(2));
    // Bytes above 127 count unsigned: 62 + 255 + 60 = 377 = 0x179.
    EXPECT_EQ(FrameMessage(std::string(1, '\xFF')).substr(3), "79");
}

TEST(FrameMessage, LongPayloadWrapsTheSixteenBitSum)
{
    const std::string payload(300, '\xFF'); // 300 * 255 + 122 = 76622, beyond 65535
    EXPECT_EQ(FrameMessage(payload).substr(302), HexWord(static_cast<uint16_t>((300 * 255 + 122) % 256)).substr(2));
    EXPECT_EQ(FrameMessage(payload).size(), 304u);
}
