// The system's version record and its message texts.
#include "platform/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include <sys/utsname.h>

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace
{

OSVERSIONINFOA Query(BOOL* ok = nullptr)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    const BOOL result = GetVersionExA(&info);
    if (ok != nullptr)
        *ok = result;
    return info;
}

class VersionTest : public ::testing::Test
{
protected:
    void TearDown() override { platform::SetVersionForTesting(nullptr); }
};

TEST_F(VersionTest, LinuxReportsTheKernelAndTheDistribution)
{
    BOOL ok = FALSE;
    const OSVERSIONINFOA info = Query(&ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_LINUX);
    EXPECT_EQ(info.dwOSVersionInfoSize, sizeof info);

    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    const std::string expected = std::to_string(info.dwMajorVersion) + "." +
                                 std::to_string(info.dwMinorVersion) + "." +
                                 std::to_string(info.dwBuildNumber);
    EXPECT_THAT(names.release, StartsWith(expected)) << "major.minor.patch of the kernel";

    const size_t length = strnlen(info.szCSDVersion, sizeof info.szCSDVersion);
    ASSERT_LT(length, sizeof info.szCSDVersion);
    EXPECT_GT(length, 0u);
    std::ifstream osRelease("/etc/os-release");
    std::string line;
    while (std::getline(osRelease, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            EXPECT_THAT(line, HasSubstr(info.szCSDVersion));
        }
    }
}

TEST_F(VersionTest, AKernelReleaseGivesMajorMinorAndPatch)
{
    for (const char* release : {"4.18.0-553.el8_10.x86_64", "4.18"}) {
        platform::SetKernelReleaseForTesting(release);
        const OSVERSIONINFOA info = Query();
        EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_LINUX) << release;
        EXPECT_EQ(std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
                      std::to_string(info.dwBuildNumber),
                  "4.18.0")
            << release;
    }
}

TEST_F(VersionTest, InjectedVersionIsReportedUntilCleared)
{
    OSVERSIONINFOA xp{};
    xp.dwMajorVersion = 5;
    xp.dwMinorVersion = 1;
    xp.dwBuildNumber = 2600;
    xp.dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(xp.szCSDVersion, 'x', sizeof xp.szCSDVersion); // no terminator: must not be read past
    platform::SetVersionForTesting(&xp);
    BOOL ok = FALSE;
    OSVERSIONINFOA info = Query(&ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwBuildNumber, 2600u);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwOSVersionInfoSize, sizeof info) << "the caller's size is kept";
    EXPECT_EQ(strnlen(info.szCSDVersion, sizeof info.szCSDVersion), sizeof info.szCSDVersion - 1);

    platform::SetVersionForTesting(&platform::kVersionQueryFails);
    Query(&ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);

    platform::SetVersionForTesting(nullptr);
    info = Query(&ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_LINUX);
}

std::string Text(DWORD error, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)
{
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    const DWORD length = FormatMessageA(flags, nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        buffer, sizeof buffer, nullptr);
    if (length == 0)
        return {};
    EXPECT_EQ(buffer[length], '\0');
    return std::string(buffer, length);
}

TEST(SystemMessages, EveryNumberTheLayerProducesHasAOneLineText)
{
    // clang-format off
    for (DWORD error : {ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES,
                        ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY,
                        ERROR_NOT_READY, ERROR_WRITE_FAULT, ERROR_READ_FAULT, ERROR_GEN_FAILURE,
                        ERROR_SHARING_VIOLATION, ERROR_HANDLE_EOF, ERROR_NOT_SUPPORTED, ERROR_DEV_NOT_EXIST,
                        ERROR_LINTAKER_NO_PERMISSION, ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE,
                        ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_NAME, ERROR_FILE_EXISTS, ERROR_DISK_FULL,
                        ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_OPERATION_ABORTED, ERROR_IO_INCOMPLETE,
                        ERROR_IO_PENDING,
                        ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_WINDOW_HANDLE, ERROR_CANNOT_FIND_WND_CLASS,
                        ERROR_CLASS_ALREADY_EXISTS, ERROR_TIMEOUT}) {
        // clang-format on
        const std::string text = Text(error);
        EXPECT_THAT(text, EndsWith("\r\n")) << error;
        EXPECT_LE(text.size(), 255u) << error;
        EXPECT_EQ(text.find_first_of("\r\n"), text.size() - 2) << error;
    }
    EXPECT_EQ(Text(ERROR_SHARING_VIOLATION),
              "The process cannot access the file because it is being used by another process.\r\n");

    const std::string noPermission = Text(ERROR_LINTAKER_NO_PERMISSION);
    EXPECT_THAT(noPermission, HasSubstr("no permission to open this serial device"));
    EXPECT_THAT(noPermission, HasSubstr("dialout"));
    EXPECT_THAT(noPermission, HasSubstr("log in again"));
}

TEST(SystemMessages, UnknownNumbersAndShortBuffersGiveNoText)
{
    for (DWORD unknown : {7u, 317u, 15100u, 99999u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Text(unknown), "") << unknown;
        EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND) << unknown;
    }
    // "File access denied\r\n" is 20 characters: it needs 21 with the terminating zero.
    char buffer[21];
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 20, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 21, nullptr),
        20u);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, nullptr, 99, nullptr),
        0u);
    EXPECT_EQ(Text(ERROR_ACCESS_DENIED, FORMAT_MESSAGE_FROM_STRING), "");
}

} // namespace
