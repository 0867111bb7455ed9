// The text file of the trace and the dispatch log, byte rendering and the log header's words.
#include "serial/log/LogText_p.h"

#include "runtime/Text.h"

#include <cerrno>
#include <cstring>

namespace logtext
{

int32_t FileError(int error)
{
    DWORD code = platform::Win32ErrorFromErrno(error, platform::TErrnoUse::euFileWrite);
    // A failed call that left no errno still failed.
    if (code == ERROR_SUCCESS)
        code = ERROR_GEN_FAILURE;
    return -static_cast<int32_t>(code);
}

TLogTextFile::~TLogTextFile()
{
    if (FFile)
        std::fclose(FFile);
}

int32_t TLogTextFile::Open(const std::string& fileName, bool append)
{
    errno = 0;
    FFile = std::fopen(fileName.c_str(), append ? "ab" : "wb");
    if (!FFile)
        return FError = FileError(errno);
    return 0;
}

void TLogTextFile::Write(std::string_view text)
{
    if (FError != 0 || !FFile || text.empty())
        return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), FFile) != text.size())
        FError = FileError(errno);
}

int32_t TLogTextFile::Close()
{
    if (FFile) {
        errno = 0;
        // A full disk often shows only when the last buffered bytes go out.
        const bool closeFailed = std::fclose(FFile) != 0;
        FFile = nullptr;
        if (closeFailed && FError == 0)
            FError = FileError(errno);
    }
    return FError;
}

int AppendItem(std::string& text, uint8_t byte, bool inHex, bool allHex)
{
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    const uint8_t lowestPrintable = inHex ? '!' : ' ';
    if (!allHex && byte >= lowestPrintable && byte <= '~') {
        text.push_back(static_cast<char>(byte));
        return 1;
    }
    const size_t before = text.size();
    text.push_back('[');
    if (allHex || inHex) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    } else {
        text += std::to_string(byte);
    }
    text.push_back(']');
    return static_cast<int>(text.size() - before);
}

std::string CompilerText()
{
#if defined(__clang__)
    std::string text = "Clang " + std::string(Trimmed(__clang_version__));
#elif defined(__GNUC__)
    std::string text = "GCC " + std::string(Trimmed(__VERSION__));
#elif defined(_MSC_VER)
    std::string text = "MSVC " + std::to_string(_MSC_VER);
#else
    std::string text = "C++ compiler";
#endif
#if __cplusplus > 202002L
    text += " (C++23)";
#else
    text += " (C++20)";
#endif
    return text;
}

std::string OperatingSystemText(const OSVERSIONINFOA& info)
{
    const std::string servicePack(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
    // Windows 95 and 98 mark their second releases with a letter after a blank (" B", " C",
    // " A "), so the letter is the text's second character.
    const char release = servicePack.size() >= 2 ? servicePack[1] : '\0';
    std::string name;
    bool showServicePack = true;
    switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
        name = "Win32s on Windows ";
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        showServicePack = false;
        switch (info.dwMinorVersion) {
        case 0:
            name = release == 'B' ? "Win32 on Windows 95 OSR 2 " : "Win32 on Windows 95 OSR 1 ";
            break;
        case 10:
            name = release == 'A' ? "Win32 on Windows 98 OSR 2 " : "Win32 on Windows 98 OSR 1 ";
            break;
        case 90:
            name = info.dwBuildNumber == 0x045A0BB8 ? "Win32 on Windows ME " : "";
            break;
        default:
            name = "Win32 on Windows 9x";
            break;
        }
        break;
    case VER_PLATFORM_WIN32_NT:
        switch (info.dwMajorVersion) {
        case 3:
            name = "Windows NT 3.5 ";
            break;
        case 4:
            name = "Windows NT 4 ";
            break;
        case 5:
            name = info.dwMinorVersion == 0 ? "Windows 2000 " : info.dwMinorVersion == 1 ? "Windows XP " : "";
            break;
        default:
            name = "WinNT ";
            break;
        }
        break;
    case VER_PLATFORM_LINUX:
        name = "Linux ";
        break;
    default:
        name = "Unknown";
        break;
    }
    return name + std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + " " +
           (showServicePack ? servicePack : std::string());
}

std::string DateTimeText(const SYSTEMTIME& time)
{
    char text[64];
    std::snprintf(text, sizeof text, "%02u/%02u/%02u, %02u:%02u:%02u", unsigned{time.wDay},
                  unsigned{time.wMonth}, unsigned{time.wYear} % 100u, unsigned{time.wHour},
                  unsigned{time.wMinute}, unsigned{time.wSecond});
    return text;
}

std::string TimeText(uint32_t milliseconds)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(milliseconds));
    std::string text(digits);
    text.insert(text.size() - 3, 1, '.');
    return text;
}

} // namespace logtext
