// The error texts: one table with the text of every error number the user can read, which
// FormatMessageA and the program's message lookup both read.
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

namespace
{

struct TSystemText {
    DWORD error;
    std::string_view text; // without the line break that every text ends in
    bool own = false;      // the program's own wording, shown exactly as it stands
};

constexpr bool kOwn = true;

// Sorted by number. The program's messages have always shown their own words for the file and
// system errors 0 to 162 ("File not found", "Disk is full"), and the users know them by these
// words: those rows keep them. The numbers 100 to 105 and 150 to 162 are the program's own file
// errors; the layer produces none of the Windows errors with those numbers. The other rows are
// worded as Windows words them, so that a message reads the same on both systems. The permission
// text has no Windows counterpart: on Linux it is the most common first failure, and the user
// needs to be told the way out, not only the cause.
constexpr TSystemText kSystemTexts[] = {
    {ERROR_SUCCESS, "OK", kOwn},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "File not found", kOwn},
    {ERROR_PATH_NOT_FOUND, "Path not found", kOwn},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many open files", kOwn},
    {ERROR_ACCESS_DENIED, "File access denied", kOwn},
    {ERROR_INVALID_HANDLE, "Invalid file handle", kOwn},
    {ERROR_NOT_ENOUGH_MEMORY, "Insufficient memory", kOwn},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {15, "Invalid drive", kOwn},
    {18, "No more files", kOwn},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_LINTAKER_NO_PERMISSION,
     "You have no permission to open this serial device. On Linux, add your user to the group that owns it "
     "(usually \"dialout\": sudo usermod -aG dialout $USER), then log out and log in again."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {100, "Attempt to read beyond end of file", kOwn},
    {ERROR_LINTAKER_FILE_DISK_FULL, "Disk is full", kOwn},
    {102, "File/device not assigned", kOwn},
    {103, "File/device not open", kOwn},
    {104, "File/device not open for input", kOwn},
    {105, "File/device not open for output", kOwn},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {150, "Disk is write-protected", kOwn},
    {151, "Unknown disk unit", kOwn},
    {152, "Drive is not ready", kOwn},
    {153, "Unknown command", kOwn},
    {154, "Data error", kOwn},
    {155, "Bad request structure length", kOwn},
    {156, "Seek error", kOwn},
    {157, "Unknown media type", kOwn},
    {158, "Disk sector not found", kOwn},
    {159, "Printer is out of paper", kOwn},
    {160, "Device write error", kOwn},
    {161, "Device read error", kOwn},
    {162, "General failure", kOwn},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_CANNOT_FIND_WND_CLASS, "Cannot find window class."},
    {ERROR_CLASS_ALREADY_EXISTS, "Class already exists."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
};

constexpr bool SortedByNumber()
{
    for (size_t i = 1; i < std::size(kSystemTexts); ++i)
        if (kSystemTexts[i - 1].error >= kSystemTexts[i].error)
            return false;
    return true;
}
static_assert(SortedByNumber(), "the texts are searched by halving");

// Callers such as the message table read at most 255 characters; every text must fit whole.
constexpr bool ShortEnough()
{
    for (const TSystemText& entry : kSystemTexts)
        if (entry.text.size() + 2 > 255)
            return false;
    return true;
}
static_assert(ShortEnough(), "a text with its line break must fit in 255 characters");

constexpr DWORD kUnsupportedFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE;

const TSystemText* Find(DWORD error)
{
    const auto found = std::lower_bound(std::begin(kSystemTexts), std::end(kSystemTexts), error,
                                        [](const TSystemText& entry, DWORD id) { return entry.error < id; });
    return found != std::end(kSystemTexts) && found->error == error ? found : nullptr;
}

} // namespace

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/, LPSTR buffer,
                     DWORD size, void* /*arguments*/)
{
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & kUnsupportedFlags) != 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const TSystemText* found = Find(messageId);
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // A width of FORMAT_MESSAGE_MAX_WIDTH_MASK asks for the text without its line break; as on
    // Windows the break then becomes a blank. Other widths would wrap lines, which no caller asks for.
    const bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const std::string_view ending = oneLine ? std::string_view(" ") : std::string_view("\r\n");
    const size_t length = found->text.size() + ending.size();
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, found->text.data(), found->text.size());
    std::memcpy(buffer + found->text.size(), ending.data(), ending.size());
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

namespace platform
{

std::optional<TErrorText> ErrorText(DWORD error)
{
    if (const TSystemText* found = Find(error))
        return TErrorText{found->text, found->own};
    return std::nullopt;
}

} // namespace platform
