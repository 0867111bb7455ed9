// FormatMessageA: the system's texts for the Win32 error numbers this layer produces, worded as
// Windows words them, so that a message shown to the user reads the same on both systems.
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
};

// Sorted by number. The permission text has no Windows counterpart: on Linux it is the most
// common first failure, and the user needs to be told the way out, not only the cause.
constexpr TSystemText kSystemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
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
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
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

} // namespace

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/, LPSTR buffer,
                     DWORD size, void* /*arguments*/)
{
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & kUnsupportedFlags) != 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto found = std::lower_bound(std::begin(kSystemTexts), std::end(kSystemTexts), messageId,
                                        [](const TSystemText& entry, DWORD id) { return entry.error < id; });
    if (found == std::end(kSystemTexts) || found->error != messageId) {
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
