// The per-thread last error, and the one function that turns errno into a Win32 error number.
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

DWORD Win32ErrorFromErrno(int error)
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
    case EBUSY:
    case EWOULDBLOCK:
        // Held by another opener (flock, TIOCEXCL): what Windows reports for a port in use.
        return ERROR_ACCESS_DENIED;
    case EACCES:
    case EPERM:
        return ERROR_LINTAKER_NO_PERMISSION;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENXIO:
    case ENODEV:
    case EIO:
        return ERROR_DEV_NOT_EXIST;
    case ENOTTY:
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace platform
