// The last error, kept per thread as on Windows, and the Windows codes for
// errno values.
#include "handle_table.h"

#include <cerrno>

namespace {

thread_local DWORD lastError = 0;

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

namespace posix_handles {

// As Windows reports the same conditions; a parent reads exit codes and
// lines made from these.
DWORD ErrorFromErrno(int error) {
    switch (error) {
    case EPIPE: return ERROR_BROKEN_PIPE;
    // Parents such as Node hand over a socket: a peer that closed with data
    // unread resets it, which is the same reader going away.
    case ECONNRESET:
    case ESHUTDOWN: return ERROR_NO_DATA;
    case ENOTCONN: return ERROR_PIPE_NOT_CONNECTED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    // Parents read 0x80070057 as "no such process"; anything unforeseen
    // is a fault of the device or the system instead.
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace posix_handles
