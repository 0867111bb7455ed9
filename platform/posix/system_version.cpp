// GetVersionExA on Linux: the kernel's version and the distribution's name, so that the port list
// reads the device map and the dispatch log's header names the system the program runs on.
#include "platform/win32.h"

#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <sys/utsname.h>

namespace platform
{

const OSVERSIONINFOA kVersionQueryFails{};

namespace
{

std::mutex versionLock; // a leaf: held only to copy the injected values, nothing is taken under it
std::optional<OSVERSIONINFOA> testVersion; // guarded by versionLock; none: the live values
bool testVersionFails = false;             // guarded by versionLock

/// The leading decimal number of `text` from `pos` on, advancing `pos` past it and one '.'.
DWORD TakeNumber(const char* text, size_t& pos)
{
    DWORD value = 0;
    while (text[pos] >= '0' && text[pos] <= '9') {
        if (value < 100000000)
            value = value * 10 + static_cast<DWORD>(text[pos] - '0');
        ++pos;
    }
    if (text[pos] == '.')
        ++pos;
    return value;
}

/// PRETTY_NAME of an os-release file, without its quotes and backslash escapes; empty when the
/// file or the line is missing.
std::string PrettyName(const char* path)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        constexpr std::string_view kKey = "PRETTY_NAME=";
        if (line.compare(0, kKey.size(), kKey) != 0)
            continue;
        std::string value = line.substr(kKey.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string plain;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            plain += value[i];
        }
        return plain;
    }
    return {};
}

/// The record for a kernel of the given name and release ("Linux", "4.18.0-553.el8_10.x86_64").
OSVERSIONINFOA VersionOf(const std::string& sysname, const std::string& release)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    info.dwPlatformId = VER_PLATFORM_LINUX;
    std::string system;
    if (!release.empty()) {
        size_t pos = 0;
        info.dwMajorVersion = TakeNumber(release.c_str(), pos);
        info.dwMinorVersion = TakeNumber(release.c_str(), pos);
        info.dwBuildNumber = TakeNumber(release.c_str(), pos);
        system = sysname + " " + release;
    }
    std::string pretty = PrettyName("/etc/os-release");
    if (pretty.empty())
        pretty = PrettyName("/usr/lib/os-release");
    const std::string& text = pretty.empty() ? system : pretty;
    std::strncpy(info.szCSDVersion, text.c_str(), sizeof(info.szCSDVersion) - 1);
    return info;
}

OSVERSIONINFOA ReadLiveVersion()
{
    utsname names{};
    if (uname(&names) != 0)
        return VersionOf({}, {});
    return VersionOf(names.sysname, names.release);
}

/// The kernel and the distribution do not change while the program runs: read them once.
const OSVERSIONINFOA& LiveVersion()
{
    static const OSVERSIONINFOA live = ReadLiveVersion();
    return live;
}

} // namespace

void SetVersionForTesting(const OSVERSIONINFOA* info)
{
    std::lock_guard<std::mutex> hold(versionLock);
    testVersionFails = info == &kVersionQueryFails;
    if (info != nullptr && !testVersionFails) {
        testVersion = *info;
        testVersion->szCSDVersion[sizeof(testVersion->szCSDVersion) - 1] = '\0';
    } else {
        testVersion.reset();
    }
}

void SetKernelReleaseForTesting(const std::string& release)
{
    if (release.empty()) {
        SetVersionForTesting(nullptr);
        return;
    }
    const OSVERSIONINFOA info = VersionOf("Linux", release);
    SetVersionForTesting(&info);
}

} // namespace platform

BOOL GetVersionExA(LPOSVERSIONINFOA info)
{
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::optional<OSVERSIONINFOA> injected;
    {
        std::lock_guard<std::mutex> hold(platform::versionLock);
        if (platform::testVersionFails) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        injected = platform::testVersion;
    }
    const OSVERSIONINFOA result = injected ? *injected : platform::LiveVersion();
    const DWORD callerSize = info->dwOSVersionInfoSize;
    *info = result;
    info->dwOSVersionInfoSize = callerSize;
    return TRUE;
}
