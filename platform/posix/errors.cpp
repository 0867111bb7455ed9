// The per-thread last error, and the one function that turns errno into a Win32 error number,
// with the meanings that particular calls give to some errno values.
#include "platform/win32.h"

#include <cerrno>
#include <utility>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
thread_local std::string lastErrorDetail;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

namespace platform {

std::string GetLastErrorDetail() { return lastErrorDetail; }

void SetLastErrorDetail(std::string detail) { lastErrorDetail = std::move(detail); }

// Linux has one number for both. Which one a call returns says nothing; what the call was doing
// says whether it is another opener's lock or a plain "not now".
static_assert(EWOULDBLOCK == EAGAIN, "EWOULDBLOCK is read as EAGAIN except where a call gives it a meaning");

namespace
{

// What Windows reports for the condition an errno stands for, when the call adds no meaning.
DWORD GeneralError(int error)
{
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOLCK: // the kernel had no memory for one more lock
        return ERROR_NOT_ENOUGH_MEMORY;
    case EAGAIN:
        // Only "not now": a caller that can wait or retry handles it before asking here.
        return ERROR_NOT_READY;
    case EIO:
        return ERROR_GEN_FAILURE;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ENXIO:
    case ENODEV:
        return ERROR_DEV_NOT_EXIST;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EINTR:
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// What a port's device node means by an errno, opened or not. The stack reads access denied as
// "held by another program", so a refusal here is a matter of permission, which on Linux is the
// common first failure and needs its own text, and a directory is no port at all. A device that
// has gone (hang-up, adapter unplugged) shows in several ways and is reported as one.
DWORD PortError(int error)
{
    switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
        return ERROR_DEV_NOT_EXIST;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_LINTAKER_NO_PERMISSION;
    case EISDIR:
        return ERROR_FILE_NOT_FOUND;
    default:
        return GeneralError(error);
    }
}

// Finding and opening a port: something that is not a tty is not a port of that name, and a busy
// device is one that another program opened for its exclusive use (TIOCEXCL).
DWORD PortOpenError(int error)
{
    switch (error) {
    case ENOTTY:
    case EINVAL:
        return ERROR_FILE_NOT_FOUND;
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    default:
        return PortError(error);
    }
}

// A line call that a driver may lack: pseudo-terminals have no modem lines, counters or break.
DWORD LineFeatureError(int error)
{
    switch (error) {
    case ENOTTY:
    case EINVAL:
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    default:
        return PortError(error);
    }
}

DWORD FileWriteError(int error)
{
    switch (error) {
    case ENOENT:
        // Creating a file fails this way only when a folder on its path is missing.
        return ERROR_PATH_NOT_FOUND;
    case EIO:
        return ERROR_WRITE_FAULT;
    case ENOSPC:
    case EDQUOT:
        return ERROR_LINTAKER_FILE_DISK_FULL;
    default:
        return GeneralError(error);
    }
}

} // namespace

DWORD Win32ErrorFromErrno(int error, TErrnoUse use)
{
    switch (use) {
    case TErrnoUse::euGeneral:
        return GeneralError(error);
    case TErrnoUse::euPortOpen:
        return PortOpenError(error);
    case TErrnoUse::euPortLock:
        // Held by another opener: what Windows reports for a port in use.
        return error == EWOULDBLOCK ? ERROR_ACCESS_DENIED : PortError(error);
    case TErrnoUse::euLine:
        return PortError(error);
    case TErrnoUse::euLineFeature:
        return LineFeatureError(error);
    case TErrnoUse::euKernelObject:
        // epoll's limit of watched descriptors per user: a limit of open things, not of disk space.
        return error == ENOSPC ? ERROR_TOO_MANY_OPEN_FILES : GeneralError(error);
    case TErrnoUse::euFileWrite:
        return FileWriteError(error);
    }
    return GeneralError(error);
}

} // namespace platform
