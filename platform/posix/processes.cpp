// Processes by pid: a handle is a pidfd, which is signalled (readable) once
// the process has ended, a zombie included, as a Windows process handle is.
// Any thread may open one; the waits are in events.cpp.
#include "handle_table.h"

#include <cerrno>
#include <new>

#include <sys/syscall.h>
#include <unistd.h>

using namespace posix_handles;

namespace posix_handles {
std::atomic<DWORD> failingOpenProcess{0};
}  // namespace posix_handles

// The kernel refuses a pidfd for a pid that names nothing (ESRCH) and for a
// thread that is not its process's leader (EINVAL, or ENOENT from Linux
// 6.9): neither names a process.
HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
    if (const DWORD failing = failingOpenProcess.exchange(0); failing != 0) {
        SetLastError(failing);
        return nullptr;
    }
    const long fd = processId != 0 && processId <= 0x7FFFFFFFu
                        ? syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0u)
                        : (errno = ESRCH, -1);
    if (fd < 0) {
        const bool none = errno == ESRCH || errno == EINVAL || errno == ENOENT;
        SetLastError(none ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
        return nullptr;
    }
    auto* ended = new (std::nothrow) EventObject{static_cast<int>(fd), true};
    HANDLE h = ended != nullptr ? Claim(Kind::Process, access, ended, -1) : nullptr;
    if (h == nullptr) {
        delete ended;
        close(static_cast<int>(fd));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}
