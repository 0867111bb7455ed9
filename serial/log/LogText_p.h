// What the trace file and the dispatch-log file share: the text file they are written through,
// the rendering of one data byte, and the words of the log file's header.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace logtext
{

/// The negated Win32 error number for an errno of creating or writing a log or trace file.
int32_t FileError(int error);

/// A text file written with CR LF line ends. After the first failure every later write does
/// nothing, so a writer can run to its end and ask for the result once.
class TLogTextFile
{
public:
    TLogTextFile() = default;
    TLogTextFile(const TLogTextFile&) = delete;
    TLogTextFile& operator=(const TLogTextFile&) = delete;
    ~TLogTextFile();

    /// Opens for appending (created when missing) or creates it anew (an existing file is
    /// emptied). @return 0 or the negated error.
    int32_t Open(const std::string& fileName, bool append);
    void Write(std::string_view text);
    void LineEnd() { Write("\r\n"); }
    bool Failed() const { return FError != 0; }
    /// Closes the file. @return 0, or the negated error of the first write or of the close.
    int32_t Close();

private:
    std::FILE* FFile = nullptr;
    int32_t FError = 0;
};

/// Appends one data byte as the files show it and returns its width (the characters added).
/// allHex: "[3E]". Otherwise printable bytes stand for themselves, from the blank up to "~", or
/// from "!" when inHex, so that a blank shows as [20] in hex; others are "[0D]" in hex or "[13]"
/// in decimal.
int AppendItem(std::string& text, uint8_t byte, bool inHex, bool allHex);

/// The compiler this program was built with, e.g. "GCC 12.2.0 (C++20)".
std::string CompilerText();
/// The name of the system a version record describes: "Windows XP 5.1 Service Pack 3",
/// "Linux 6.1 Debian GNU/Linux 12 (bookworm)", ...
std::string OperatingSystemText(const OSVERSIONINFOA& info);
/// "dd/mm/yy, hh:mm:ss".
std::string DateTimeText(const SYSTEMTIME& time);
/// Milliseconds as seconds with three decimals, at least seven digits: 1234 -> "0001.234".
std::string TimeText(uint32_t milliseconds);

} // namespace logtext
