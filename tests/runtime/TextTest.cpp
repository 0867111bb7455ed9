// Trimming of byte strings: which bytes count as blank at either end, and which stay.
#include "runtime/Text.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(Trimmed, DropsBytesUpToTheBlankAtBothEndsOnly)
{
    const struct {
        std::string Text, Trimmed;
    } cases[] = {
        {"", ""},
        {"A", "A"},
        {"\x02>1T<5A\x03\r\n", ">1T<5A"},           // a framed answer as the line carries it
        {" \t a b \t ", "a b"},                     // blanks inside stay
        {"\0\x01 \x1F !\0"s, "!"},                  // NUL counts as blank, "!" (33) does not
        {"x\0y"s, "x\0y"s},                         // a NUL inside stays
        {"\xA0\xFFz\xFF\xA0", "\xA0\xFFz\xFF\xA0"}, // bytes above 127 are text, not blanks
        {"\x7F", "\x7F"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::string(Trimmed(c.Text)), c.Trimmed) << "from " << testing::PrintToString(c.Text);

    std::string allBlank;
    for (int byte = 0; byte <= 32; ++byte)
        allBlank.push_back(static_cast<char>(byte));
    EXPECT_TRUE(Trimmed(allBlank).empty());
}

TEST(Trimmed, IsAViewIntoTheText)
{
    const std::string text = "\r\n>1T\r\n";
    const std::string_view trimmed = Trimmed(text);
    EXPECT_EQ(trimmed.data(), text.data() + 2);
    EXPECT_EQ(trimmed.size(), 3u);
    static_assert(Trimmed("  ok ") == "ok");
}
