// Events over eventfd, and the waits on events, threads and processes.
// SetEvent runs on the audio side's real-time thread, the output writer and
// the stop watcher; waits on the main thread and the output writer;
// CreateEventW on the main thread.
#include "handle_table.h"

#include <cerrno>
#include <ctime>
#include <new>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace posix_handles {

bool Signal(EventObject* event) {
    event->signals.fetch_add(1, std::memory_order_release);
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still signalled.
    if (write(event->fd, &one, sizeof one) < 0 && errno != EAGAIN) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

}  // namespace posix_handles

using namespace posix_handles;

namespace {

// Consumes an auto-reset event's signal; false if another waiter took it.
bool TryAcquire(const EventObject* e) {
    if (!e->manualReset) {
        std::uint64_t value = 0;
        if (read(e->fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) return false;
    }
    e->signals.load(std::memory_order_acquire);
    return true;
}

std::int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The slots of one wait, held for its length; only as many as are used are
// ever built (the loop waits once per packet).
class Uses {
public:
    Uses() = default;
    Uses(const Uses&) = delete;
    Uses& operator=(const Uses&) = delete;
    ~Uses() {
        while (built_ > 0) (*this)[--built_].~Use();
    }
    Use& Add(HANDLE handle) { return *new (storage_[built_++]) Use(handle); }
    Use& operator[](DWORD i) { return *std::launder(reinterpret_cast<Use*>(storage_[i])); }

private:
    alignas(Use) unsigned char storage_[64][sizeof(Use)];
    DWORD built_ = 0;
};

// Every handle must name an open event, thread or process the caller may
// wait on.
DWORD Wait(DWORD count, const HANDLE* handles, DWORD milliseconds) {
    if (failingWait != 0) {
        SetLastError(failingWait);
        failingWait = 0;
        return WAIT_FAILED;
    }
    if (count == 0 || count > 64) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Uses uses;
    pollfd fds[64];
    for (DWORD i = 0; i < count; ++i) {
        Use& use = uses.Add(handles[i]);
        if (!use || use->event == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if ((use->access & SYNCHRONIZE) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        fds[i] = {use->event->fd, POLLIN, 0};
    }
    const std::int64_t deadline =
        milliseconds == INFINITE ? 0 : NowMs() + static_cast<std::int64_t>(milliseconds);
    for (;;) {
        int timeout = -1;
        if (milliseconds != INFINITE) {
            const std::int64_t left = deadline - NowMs();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        const int ready = poll(fds, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            SetLastError(ErrorFromErrno(errno));
            return WAIT_FAILED;
        }
        // Lowest signalled index wins, as on Windows.
        for (DWORD i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) != 0 && TryAcquire(uses[i]->event))
                return WAIT_OBJECT_0 + i;
        if (ready == 0 && timeout == 0) return WAIT_TIMEOUT;
    }
}

}  // namespace

namespace posix_handles {
thread_local DWORD failingWait = 0;
}  // namespace posix_handles

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    const int fd = eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    auto* event = new (std::nothrow) EventObject{fd, manualReset != FALSE};
    HANDLE h = event != nullptr ? Claim(Kind::Event, EVENT_ALL_ACCESS, event, -1) : nullptr;
    if (h == nullptr) {
        delete event;
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}

// Lock-free: the audio side signals from a real-time thread.
BOOL SetEvent(HANDLE event) {
    Use use(event);
    if (!use || use->kind != Kind::Event || (use->access & EVENT_MODIFY_STATE) == 0) {
        SetLastError(!use || use->kind != Kind::Event ? ERROR_INVALID_HANDLE
                                                      : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return Signal(use->event) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return Wait(1, &handle, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    if (waitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);  // not needed by the program
        return WAIT_FAILED;
    }
    return Wait(count, handles, milliseconds);
}
