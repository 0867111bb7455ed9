// Byte-string text shared by the stack's log files and the window's traffic log.
#pragma once

#include <string_view>

/// The text without its leading and trailing bytes 0 to 32 (control bytes and the blank); bytes
/// in between stay, and bytes above 127 are text like any other. A view into `text`.
constexpr std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
        text.remove_suffix(1);
    return text;
}
