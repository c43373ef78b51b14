// The per-thread last error (GetLastError/SetLastError) and the Win32 code for each errno.
#include <errno.h>

#include "provider.h"

namespace caldrix_posix {
namespace {

thread_local DWORD t_lastError = 0;

}  // namespace

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EISDIR:  // Windows answers a directory opened as a file with access denied
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case ENOSYS:
        return ERROR_NOT_SUPPORTED;
    // The device has gone (unplugged USB adapter, removed hidraw node).
    case ENXIO:
    case ENODEV:
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
        return ERROR_DEVICE_NOT_CONNECTED;
    // EIO is also what a hung-up pseudo-terminal or a line fault gives, so it is not taken as
    // proof that the device vanished.
    case EIO:
        return ERROR_GEN_FAILURE;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ECANCELED:
    case EINTR:  // call sites retry; one that gives up reports an aborted operation
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace caldrix_posix

using namespace caldrix_posix;

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }
