// The message table: result-code texts shown in the port's exceptions, and the fixed words the
// dispatch log prints, looked up by the absolute value of their number.
#include "serial/log/MessageTable.h"

#include "platform/win32.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>

namespace
{

struct TMessage {
    int32_t code;
    std::string_view text;
};

constexpr int64_t Magnitude(int64_t code) { return code < 0 ? -code : code; }

constexpr size_t kMaxText = 255;

// Sorted by absolute code. Error codes are negative, the log's words positive; both share one
// number space, so no absolute value may appear twice. Subtype 0 of the dispatch log has the empty
// name: its row (15100) is here so that the lookup never asks the operating system for it. The
// texts of the operating-system and file errors (0 to 162) are not here but in the platform's
// error texts, the one table that also gives the system's texts, so that no number has two.
constexpr TMessage kMessages[] = {
    {-1001, "Bad handle passed to com function"},
    {-1002, "Bad argument passed to function"},
    {-1003, "Got quit message"},
    {-1004, "Terminal buffer greater than 65521"},
    {-1005, "ComPort component not assigned"},
    {-1006, "Internal error creating window class"},
    {-1007, "Modem component not assigned"},
    {-1008, "Phonebook component not assigned"},
    {-1009, "Component not compatible with WinSock"},

    {-2001, "ie_BadId - Specified comport doesn't exist"},
    {-2002, "ie_Baudrate - unsupported baud rate"},
    {-2003, "ie_Bytesize - invalid byte size"},
    {-2004, "ie_Default - error in default parameters"},
    {-2005, "ie_Hardware - Specified comport in use"},
    {-2006, "ie_Memory - unable to allocate queues"},
    {-2007, "ie_NOpen - device not open"},
    {-2008, "ie_Open - device already open"},
    {-2009, "No more handles, can't open port"},
    {-2010, "No timers available"},
    {-2011, "The ComNumber property of the TApdComPort has not been set"},
    {-2012, "Comport was not opened by Tapi"},

    {-3001, "No device layer specified"},
    {-3002, "Function not supported by driver"},
    {-3003, "EnableCommNotification failed"},
    {-3004, "Failed to put entire block"},
    {-3005, "Failed to get entire block"},
    {-3006, "Output buffer too small for block"},
    {-3007, "Buffer is empty"},
    {-3008, "Tracing not enabled"},
    {-3009, "Logging not enabled"},
    {-3010, "Base address not set"},

    {-5001, "No more trigger slots"},
    {-5002, "Data trigger too long"},
    {-5003, "Bad trigger handle"},

    {-5501, "Start string is empty"},
    {-5502, "Packet size cannot be smaller than start string"},
    {-5503, "CharCount packets must have an end-condition"},
    {-5504, "End string is empty"},
    {-5505, "Packet size cannot be zero"},
    {-5506, "Packet too long"},
    {-5507, "Time-out cannot be negative"},

    // Dispatch log: event kinds (15001 + kind).
    {15001, "No event"},
    {15002, "Dispatch"},
    {15003, "Trigger"},
    {15004, "Error"},
    {15005, "Thread"},
    {15006, "TrigAllc"},
    {15007, "TrigDisp"},
    {15008, "TrgHdAlc"},
    {15009, "TrgHdDsp"},
    {15010, "TrDatChg"},
    {15011, "Telnet"},
    {15012, "Fax"},
    {15013, "XModem"},
    {15014, "YModem"},
    {15015, "ZModem"},
    {15016, "Kermit"},
    {15017, "Ascii"},
    {15018, "BPlus"},
    {15019, "Packet"},
    {15020, "User"},
    {15021, "Script"},

    // Dispatch log: sub-kinds (15100 + sub-kind).
    {15100, ""},
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Line status"},
    {15104, "Modem status"},
    {15105, "Avail"},
    {15106, "Timer"},
    {15107, "Data"},
    {15108, "Status"},
    {15109, "Start"},
    {15110, "Exit"},
    {15111, "Sleep"},
    {15112, "Wake"},
    {15113, "Data"},
    {15114, "Timer"},
    {15115, "Status"},
    {15116, "Avail"},
    {15117, "Window"},
    {15118, "Procedure"},
    {15119, "Method"},
    // Sub-kinds of the packet detector's entries.
    {15342, "Enable"},
    {15343, "Disable"},
    {15344, "StringPacket"},
    {15345, "SizePacket"},
    {15346, "PcktTimeout"},
    {15347, "StartStr"},
    {15348, "EndStr"},
    {15349, "Idle"},
    {15350, "Waiting"},
    {15351, "Collecting"},
    {15352, "PcktTooLong"},

    // Dispatch log file: the column headings.
    {15501, "Time      Type      SubType       Data      OtherData"},
    {15502, "--------  --------  ------------  --------  ---------"},

    // Dispatch log: modem-status bits (15601 + bit); the log runs them together, hence the blanks.
    {15601, "DCTS "},
    {15602, "DDSR "},
    {15603, "TERI "},
    {15604, "DDCD "},
    {15605, "CTS "},
    {15606, "DSR "},
    {15607, "RI "},
    {15608, "DCD "},
};

constexpr bool SortedWithoutTwins()
{
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (Magnitude(kMessages[i - 1].code) >= Magnitude(kMessages[i].code))
            return false;
    return true;
}
static_assert(SortedWithoutTwins(),
              "the table is searched by halving: sorted by absolute code, no code twice");

constexpr bool ShortEnough()
{
    for (const TMessage& message : kMessages)
        if (message.text.size() > kMaxText)
            return false;
    return true;
}
static_assert(ShortEnough(), "texts are at most 255 characters");

/// The operating system's text for an error number, made fit for one line: control characters
/// become blanks and runs of blanks fold to one, so a text that ends in a line break ends in one
/// blank. Empty when the system has no text.
std::string SystemText(DWORD error)
{
    char buffer[kMaxText + 1] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    std::string text;
    for (DWORD i = 0; i < length && i < kMaxText; ++i) {
        const char c = static_cast<unsigned char>(buffer[i]) < 32 ? ' ' : buffer[i];
        if (c == ' ' && !text.empty() && text.back() == ' ')
            continue;
        text += c;
    }
    return text;
}

} // namespace

std::string MessageForCode(int32_t code)
{
    // Widened first: the magnitude of the smallest 32-bit code does not fit in 32 signed bits.
    const int64_t wanted = Magnitude(code);
    const auto found =
        std::lower_bound(std::begin(kMessages), std::end(kMessages), wanted,
                         [](const TMessage& message, int64_t c) { return Magnitude(message.code) < c; });
    if (found != std::end(kMessages) && Magnitude(found->code) == wanted)
        return std::string(found->text);
    // Wanted fits: it is at most 2^31.
    const auto error = static_cast<DWORD>(wanted);
    if (const std::optional<platform::TErrorText> own = platform::ErrorText(error); own && own->Own)
        return std::string(own->Text);
    return SystemText(error);
}
