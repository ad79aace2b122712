// Standard handles over descriptors 0-2, and the console functions, which
// have no Windows console to reach here.
// ReadFile runs on the stop watcher, WriteFile on the output writer, the
// console functions on the main thread; GetStdHandle on any of them.
#include "handle_table.h"

#include <atomic>
#include <cerrno>

#include <poll.h>
#include <unistd.h>

using namespace posix_handles;

namespace {

// One synchronous read or write on a standard stream, restarted when a
// signal interrupts it.
template <typename Transfer>
BOOL TransferOnStream(HANDLE file, DWORD* done, Transfer transfer) {
    if (done != nullptr) *done = 0;
    Use use(file);
    if (!use || use->kind != Kind::StandardStream) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t n = 0;
    do {
        n = transfer(use->fd);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (done != nullptr) *done = static_cast<DWORD>(n);
    return TRUE;
}

// Reads and writes are synchronous even where the parent left the
// descriptor non-blocking: they wait until it is ready, then try again.
ssize_t WaitWhenNotReady(int fd, short ready, ssize_t n) {
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd wait{fd, ready, 0};
        if (poll(&wait, 1, -1) >= 0 || errno == EINTR) errno = EINTR;  // again
    }
    return n;
}

}  // namespace

namespace posix_handles {
std::atomic<DWORD> writeLimit{0};
}  // namespace posix_handles

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return StandardHandle(0);
    if (which == STD_OUTPUT_HANDLE) return StandardHandle(1);
    if (which == STD_ERROR_HANDLE) return StandardHandle(2);
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, LPOVERLAPPED) {
    return TransferOnStream(file, read, [&](int fd) {
        return WaitWhenNotReady(fd, POLLIN, ::read(fd, buffer, toRead));
    });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, LPOVERLAPPED) {
    const DWORD limit = writeLimit.load();
    if (limit != 0 && toWrite > limit) toWrite = limit;
    return TransferOnStream(file, written, [&](int fd) {
        return WaitWhenNotReady(fd, POLLOUT, ::write(fd, buffer, toWrite));
    });
}

// No Windows console here: terminals take the UTF-8 the program writes.
BOOL GetConsoleMode(HANDLE, DWORD*) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WriteConsoleW(HANDLE, const wchar_t*, DWORD, DWORD*, void*) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

int _setmode(int, int) { return _O_BINARY; }  // no text mode to leave
