// errno to Win32 error number to text: what every errno the platform layer can meet becomes, for
// each kind of call that gives some of them a meaning of its own, and the text the user then reads.
#include "platform/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

using platform::TErrnoUse;

namespace
{

struct TGeneral {
    int Errno;
    DWORD Number;
};

// Every errno that the layer's calls (open, stat, ioctl, read, write, poll, epoll, eventfd, flock,
// fork and exec) and the log files' calls (fopen, fwrite, fclose) can give, with what it means
// when the call adds nothing; EDOM stands for any errno none of them gives.
constexpr TGeneral kGeneral[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ENAMETOOLONG, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENOLCK, ERROR_NOT_ENOUGH_MEMORY},
    {EAGAIN, ERROR_NOT_READY},
    {EIO, ERROR_GEN_FAILURE},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {ENXIO, ERROR_DEV_NOT_EXIST},
    {ENODEV, ERROR_DEV_NOT_EXIST},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENOTTY, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EINTR, ERROR_OPERATION_ABORTED},
    {ECANCELED, ERROR_OPERATION_ABORTED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {EDOM, ERROR_GEN_FAILURE},
};

struct TParticular {
    TErrnoUse Use;
    int Errno;
    DWORD Number;
};

// Where a kind of call reads an errno otherwise; every other errno keeps its general number.
constexpr TParticular kParticular[] = {
    // Not a tty or a directory, so not a port of that name; busy: held by another program (TIOCEXCL).
    {TErrnoUse::euPortOpen, ENOTTY, ERROR_FILE_NOT_FOUND},
    {TErrnoUse::euPortOpen, EINVAL, ERROR_FILE_NOT_FOUND},
    {TErrnoUse::euPortOpen, EISDIR, ERROR_FILE_NOT_FOUND},
    {TErrnoUse::euPortOpen, EBUSY, ERROR_ACCESS_DENIED},
    {TErrnoUse::euPortOpen, EIO, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euPortOpen, EPIPE, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euPortOpen, EACCES, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euPortOpen, EPERM, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euPortOpen, EROFS, ERROR_LINTAKER_NO_PERMISSION},
    // The port's lock: EWOULDBLOCK is another opener holding it.
    {TErrnoUse::euPortLock, EWOULDBLOCK, ERROR_ACCESS_DENIED},
    {TErrnoUse::euPortLock, EIO, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euPortLock, EPIPE, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euPortLock, EACCES, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euPortLock, EPERM, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euPortLock, EROFS, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euPortLock, EISDIR, ERROR_FILE_NOT_FOUND},
    // An open port: every way a vanished device shows is the one error of a gone device.
    {TErrnoUse::euLine, EIO, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLine, ENXIO, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLine, ENODEV, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLine, EPIPE, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLine, EACCES, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euLine, EPERM, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euLine, EROFS, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euLine, EISDIR, ERROR_FILE_NOT_FOUND},
    // Line calls that pseudo-terminals and some drivers lack.
    {TErrnoUse::euLineFeature, ENOTTY, ERROR_NOT_SUPPORTED},
    {TErrnoUse::euLineFeature, EINVAL, ERROR_NOT_SUPPORTED},
    {TErrnoUse::euLineFeature, ENOSYS, ERROR_NOT_SUPPORTED},
    {TErrnoUse::euLineFeature, EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {TErrnoUse::euLineFeature, EIO, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLineFeature, ENXIO, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLineFeature, ENODEV, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLineFeature, EPIPE, ERROR_DEV_NOT_EXIST},
    {TErrnoUse::euLineFeature, EACCES, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euLineFeature, EPERM, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euLineFeature, EROFS, ERROR_LINTAKER_NO_PERMISSION},
    {TErrnoUse::euLineFeature, EISDIR, ERROR_FILE_NOT_FOUND},
    // epoll's limit of watched descriptors is no full disk.
    {TErrnoUse::euKernelObject, ENOSPC, ERROR_TOO_MANY_OPEN_FILES},
    // Writing a file: ENOENT is a missing folder on the path, EIO a failed write, and a full disk or
    // quota is the file error "Disk is full".
    {TErrnoUse::euFileWrite, ENOENT, ERROR_PATH_NOT_FOUND},
    {TErrnoUse::euFileWrite, EIO, ERROR_WRITE_FAULT},
    {TErrnoUse::euFileWrite, ENOSPC, ERROR_LINTAKER_FILE_DISK_FULL},
    {TErrnoUse::euFileWrite, EDQUOT, ERROR_LINTAKER_FILE_DISK_FULL},
};

constexpr TErrnoUse kUses[] = {TErrnoUse::euGeneral,  TErrnoUse::euPortOpen,    TErrnoUse::euPortLock,
                               TErrnoUse::euLine,     TErrnoUse::euLineFeature, TErrnoUse::euKernelObject,
                               TErrnoUse::euFileWrite};

struct TText {
    DWORD Number;
    const char* Text;
    bool Own; // the program's own words, shown exactly as they stand
};

// What the user reads for every number the mapping gives.
const TText kTexts[] = {
    {ERROR_SUCCESS, "OK", true},
    {ERROR_FILE_NOT_FOUND, "File not found", true},
    {ERROR_PATH_NOT_FOUND, "Path not found", true},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many open files", true},
    {ERROR_ACCESS_DENIED, "File access denied", true},
    {ERROR_INVALID_HANDLE, "Invalid file handle", true},
    {ERROR_NOT_ENOUGH_MEMORY, "Insufficient memory", true},
    {ERROR_NOT_READY, "The device is not ready.", false},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.", false},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.", false},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.", false},
    {ERROR_NOT_SUPPORTED, "The request is not supported.", false},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.", false},
    {ERROR_LINTAKER_NO_PERMISSION,
     "You have no permission to open this serial device. On Linux, add your user to the group that owns it "
     "(usually \"dialout\": sudo usermod -aG dialout $USER), then log out and log in again.",
     false},
    {ERROR_FILE_EXISTS, "The file exists.", false},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.", false},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.", false},
    {ERROR_DISK_FULL, "There is not enough space on the disk.", false},
    {ERROR_LINTAKER_FILE_DISK_FULL, "Disk is full", true},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.", false},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.", false},
};

DWORD GeneralNumber(int error)
{
    for (const TGeneral& row : kGeneral)
        if (row.Errno == error)
            return row.Number;
    ADD_FAILURE() << "errno " << error << " has no general row";
    return ERROR_GEN_FAILURE;
}

DWORD Expected(TErrnoUse use, int error)
{
    for (const TParticular& row : kParticular)
        if (row.Use == use && row.Errno == error)
            return row.Number;
    return GeneralNumber(error);
}

const TText* ExpectedText(DWORD number)
{
    for (const TText& row : kTexts)
        if (row.Number == number)
            return &row;
    return nullptr;
}

std::string Name(TErrnoUse use, int error)
{
    return "use " + std::to_string(static_cast<int>(use)) + ", errno " + std::to_string(error) + " (" +
           std::strerror(error) + ")";
}

TEST(ErrnoMapping, EveryCallReadsEveryErrnoAsPinned)
{
    for (TErrnoUse use : kUses)
        for (const TGeneral& row : kGeneral)
            EXPECT_EQ(platform::Win32ErrorFromErrno(row.Errno, use), Expected(use, row.Errno))
                << Name(use, row.Errno);
    for (const TParticular& row : kParticular)
        GeneralNumber(row.Errno); // an errno with a meaning of its own somewhere is pinned everywhere
}

TEST(ErrnoMapping, OnAPortAccessDeniedOnlyEverMeansHeldByAnother)
{
    // The port turns access denied into "device already open": a "try again", a permission problem
    // or a busy line in the middle of a call must never come out as that.
    for (TErrnoUse use :
         {TErrnoUse::euPortOpen, TErrnoUse::euPortLock, TErrnoUse::euLine, TErrnoUse::euLineFeature})
        for (const TGeneral& row : kGeneral) {
            const bool held = (use == TErrnoUse::euPortOpen && row.Errno == EBUSY) ||
                              (use == TErrnoUse::euPortLock && row.Errno == EWOULDBLOCK);
            EXPECT_EQ(platform::Win32ErrorFromErrno(row.Errno, use) == ERROR_ACCESS_DENIED, held)
                << Name(use, row.Errno);
        }
    for (TErrnoUse use : kUses) {
        if (use != TErrnoUse::euPortLock) {
            EXPECT_NE(platform::Win32ErrorFromErrno(EAGAIN, use), ERROR_ACCESS_DENIED) << Name(use, EAGAIN);
        }
    }
}

TEST(ErrorTexts, EveryNumberTheMappingGivesHasItsOneText)
{
    for (TErrnoUse use : kUses)
        for (const TGeneral& row : kGeneral) {
            const DWORD number = platform::Win32ErrorFromErrno(row.Errno, use);
            const TText* expected = ExpectedText(number);
            ASSERT_NE(expected, nullptr) << Name(use, row.Errno) << " gives " << number;
            const std::optional<platform::TErrorText> text = platform::ErrorText(number);
            ASSERT_TRUE(text.has_value()) << number;
            EXPECT_EQ(text->Text, expected->Text) << number;
            EXPECT_EQ(text->Own, expected->Own) << number;

            // FormatMessageA reads the same table.
            char buffer[256] = {};
            const DWORD length =
                FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, number,
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
            EXPECT_EQ(std::string(buffer, length), std::string(expected->Text) + "\r\n") << number;
        }
}

} // namespace
