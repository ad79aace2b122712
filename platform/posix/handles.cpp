// Events over eventfd, standard handles over fds 0-2, detached threads.
#include <win32_posix.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <new>


#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

enum class Kind { Event, StandardStream, Thread };

// One event object, shared by its handle and every duplicate of it.
struct EventObject {
    int fd;
    bool manualReset;
    std::atomic<long> handles{1};
    // Orders what the signaller wrote before SetEvent with what the waiter
    // reads after its wait, in the language's memory model (the eventfd alone
    // orders it only in the kernel's).
    std::atomic<std::uint64_t> signals{0};
};

struct PosixHandle {
    Kind kind;
    int fd;  // standard streams
    EventObject* event;
    DWORD access;
};

thread_local DWORD lastError = 0;
std::atomic<long> openHandles{0};
std::atomic<int> failingThreadStarts{0};

// A reader that goes away must show up as a failed write, never kill us.
const bool sigpipeIgnored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

PosixHandle standardHandles[3] = {
    {Kind::StandardStream, 0, nullptr, 0},
    {Kind::StandardStream, 1, nullptr, 0},
    {Kind::StandardStream, 2, nullptr, 0},
};

PosixHandle* AsEvent(HANDLE handle) {
    auto* h = static_cast<PosixHandle*>(handle);
    if (h == nullptr || handle == INVALID_HANDLE_VALUE || h->kind != Kind::Event) return nullptr;
    return h;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_INVALID_PARAMETER;
    }
}

// Consumes an auto-reset event's signal; false if another waiter took it.
bool TryAcquire(PosixHandle* h) {
    EventObject* e = h->event;
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

DWORD Wait(DWORD count, const HANDLE* handles, DWORD milliseconds) {
    if (count == 0 || count > 64) {
        lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    pollfd fds[64];
    PosixHandle* events[64];
    for (DWORD i = 0; i < count; ++i) {
        events[i] = AsEvent(handles[i]);
        if (events[i] == nullptr) {
            lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if ((events[i]->access & SYNCHRONIZE) == 0) {
            lastError = ERROR_ACCESS_DENIED;
            return WAIT_FAILED;
        }
        fds[i] = {events[i]->event->fd, POLLIN, 0};
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
            lastError = ErrorFromErrno(errno);
            return WAIT_FAILED;
        }
        // Lowest signalled index wins, as on Windows.
        for (DWORD i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) != 0 && TryAcquire(events[i])) return WAIT_OBJECT_0 + i;
        if (ready == 0 && timeout == 0) return WAIT_TIMEOUT;
    }
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

void* ThreadMain(void* argument) {
    ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    start.start(start.parameter);
    return nullptr;
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

long PosixOpenHandleCount() { return openHandles.load(); }

void PosixFailThreadStarts(int count) { failingThreadStarts.store(count); }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    const int fd = eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        lastError = ErrorFromErrno(errno);
        return nullptr;
    }
    auto* event = new (std::nothrow) EventObject{fd, manualReset != FALSE};
    auto* h = event ? new (std::nothrow) PosixHandle{Kind::Event, -1, event, EVENT_ALL_ACCESS}
                    : nullptr;
    if (h == nullptr) {
        delete event;
        close(fd);
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    openHandles.fetch_add(1);
    return h;
}

// Lock-free: the audio side signals from a real-time thread.
BOOL SetEvent(HANDLE event) {
    PosixHandle* h = AsEvent(event);
    if (h == nullptr || (h->access & EVENT_MODIFY_STATE) == 0) {
        lastError = h == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
        return FALSE;
    }
    h->event->signals.fetch_add(1, std::memory_order_release);
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still signalled.
    if (write(h->event->fd, &one, sizeof one) < 0 && errno != EAGAIN) {
        lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return Wait(1, &handle, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    if (waitAll) {
        lastError = ERROR_INVALID_PARAMETER;  // not needed by the program
        return WAIT_FAILED;
    }
    return Wait(count, handles, milliseconds);
}

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL, DWORD) {
    PosixHandle* h = AsEvent(source);
    if (h == nullptr || sourceProcess != GetCurrentProcess() ||
        targetProcess != GetCurrentProcess() || target == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    auto* copy = new (std::nothrow) PosixHandle{Kind::Event, -1, h->event, access & h->access};
    if (copy == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    h->event->handles.fetch_add(1);
    openHandles.fetch_add(1);
    *target = copy;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    auto* h = static_cast<PosixHandle*>(handle);
    if (h == nullptr || handle == INVALID_HANDLE_VALUE || h->kind == Kind::StandardStream) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (h->event != nullptr && h->event->handles.fetch_sub(1) == 1) {
        close(h->event->fd);
        delete h->event;
    }
    delete h;
    openHandles.fetch_sub(1);
    return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return &standardHandles[0];
    if (which == STD_OUTPUT_HANDLE) return &standardHandles[1];
    if (which == STD_ERROR_HANDLE) return &standardHandles[2];
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
}

namespace {

// One synchronous read or write on a standard stream, restarted when a
// signal interrupts it.
template <typename Transfer>
BOOL TransferOnStream(HANDLE file, DWORD* done, Transfer transfer) {
    auto* h = static_cast<PosixHandle*>(file);
    if (done != nullptr) *done = 0;
    if (h == nullptr || file == INVALID_HANDLE_VALUE || h->kind != Kind::StandardStream) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    ssize_t n = 0;
    do {
        n = transfer(h->fd);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    if (done != nullptr) *done = static_cast<DWORD>(n);
    return TRUE;
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, LPOVERLAPPED) {
    return TransferOnStream(file, read, [&](int fd) { return ::read(fd, buffer, toRead); });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, LPOVERLAPPED) {
    return TransferOnStream(file, written, [&](int fd) { return ::write(fd, buffer, toWrite); });
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, DWORD* threadId) {
    if (failingThreadStarts.load() > 0 && failingThreadStarts.fetch_sub(1) > 0) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto* startInfo = new (std::nothrow) ThreadStart{start, parameter};
    auto* h = new (std::nothrow) PosixHandle{Kind::Thread, -1, nullptr, 0};
    if (startInfo == nullptr || h == nullptr) {
        delete startInfo;
        delete h;
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, ThreadMain, startInfo);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete startInfo;
        delete h;
        lastError = error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(error);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = 0;
    openHandles.fetch_add(1);
    return h;
}

int _setmode(int, int) { return _O_BINARY; }  // no text mode to leave
