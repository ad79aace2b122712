// Events over eventfd, standard handles over fds 0-2, threads (signalled
// when they end), processes by pid, all reached through a table of handles
// with generation counts: as on Windows, a
// closed or never-issued handle fails with ERROR_INVALID_HANDLE instead of
// reaching freed memory or another object.
#include <win32_posix.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

enum class Kind : std::uint8_t { Free, Event, StandardStream, Thread, Process };

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

// state: generation in the high 32 bits, then an open bit, then the number of
// calls that are using the slot right now. A slot is recycled only when it is
// closed and nobody uses it, so a call that got in keeps a live object even if
// another thread closes the handle meanwhile (Windows keeps it alive too).
constexpr std::uint64_t kOpen = std::uint64_t{1} << 31;
constexpr std::uint64_t kUsers = kOpen - 1;
constexpr std::uint64_t kGenerationOne = std::uint64_t{1} << 32;

struct Slot {
    std::atomic<std::uint64_t> state{0};
    Kind kind = Kind::Free;
    int fd = -1;  // standard streams; the pid of a process
    EventObject* event = nullptr;  // events; a thread's end
    DWORD access = 0;
};

constexpr std::uint32_t kSlots = 4095;  // index + 1 fits the handle's 12 bits
constexpr std::uint32_t kStandardSlots = 3;
// The standard slots never close: like the process's own standard handles,
// they refer to whatever is on descriptors 0-2. Constant-initialised, so they
// work before any constructor of another file runs.
Slot slots[kSlots] = {{{kOpen}, Kind::StandardStream, 0, nullptr, 0},
                      {{kOpen}, Kind::StandardStream, 1, nullptr, 0},
                      {{kOpen}, Kind::StandardStream, 2, nullptr, 0}};
std::mutex allocation;  // creating and recycling slots; never held by a signal or wait

thread_local DWORD lastError = 0;
thread_local DWORD failingWait = 0;
std::atomic<long> openHandles{0};
std::atomic<int> failingThreadStarts{0};
std::atomic<DWORD> writeLimit{0};

// Values are multiples of 4 as on Windows, never null, never the
// pseudo-handle of the current process.
HANDLE HandleValue(std::uint32_t index, std::uint64_t state) {
    const std::uint64_t generation = (state >> 32) & 0xFFFFFFFFu;
    return reinterpret_cast<HANDLE>(
        static_cast<std::uintptr_t>(((generation << 12) | (index + 1)) << 2));
}

void ReleaseEventObject(EventObject* event) {
    if (event != nullptr && event->handles.fetch_sub(1) == 1) {
        close(event->fd);
        delete event;
    }
}

// The last user of a closed slot frees what it held and makes it reusable.
void Recycle(Slot& slot) {
    ReleaseEventObject(slot.event);
    std::lock_guard<std::mutex> lock(allocation);
    slot.kind = Kind::Free;
    slot.event = nullptr;
    slot.access = 0;
    slot.state.store((slot.state.load() & ~kUsers & ~kOpen) + kGenerationOne,
                     std::memory_order_release);
}

// A slot held for the length of one call.
class Use {
public:
    explicit Use(HANDLE handle) {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE || (value & 3) != 0) return;
        const std::uint64_t index = ((value >> 2) & 0xFFF);
        if (index == 0 || index > kSlots) return;
        Slot& slot = slots[index - 1];
        const std::uint64_t generation = value >> 14;
        std::uint64_t state = slot.state.load(std::memory_order_acquire);
        do {
            if ((state & kOpen) == 0 || ((state >> 32) & 0xFFFFFFFFu) != generation ||
                (state & kUsers) == kUsers)
                return;
        } while (!slot.state.compare_exchange_weak(state, state + 1, std::memory_order_acquire));
        slot_ = &slot;
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use() {
        if (slot_ == nullptr) return;
        const std::uint64_t before = slot_->state.fetch_sub(1, std::memory_order_acq_rel);
        if ((before & kOpen) == 0 && (before & kUsers) == 1) Recycle(*slot_);
    }

    Slot* get() const { return slot_; }
    Slot* operator->() const { return slot_; }
    explicit operator bool() const { return slot_ != nullptr; }

    // Marks the slot closed; it is recycled when the last user leaves.
    bool Close() {
        std::uint64_t state = slot_->state.load();
        do {
            if ((state & kOpen) == 0) return false;
        } while (!slot_->state.compare_exchange_weak(state, state & ~kOpen));
        return true;
    }

private:
    Slot* slot_ = nullptr;
};

HANDLE Allocate(Kind kind, EventObject* event, DWORD access) {
    std::lock_guard<std::mutex> lock(allocation);
    for (std::uint32_t i = kStandardSlots; i < kSlots; ++i) {
        Slot& slot = slots[i];
        if (slot.kind != Kind::Free) continue;
        slot.kind = kind;
        slot.event = event;
        slot.access = access;
        const std::uint64_t state = slot.state.load() | kOpen;
        slot.state.store(state, std::memory_order_release);
        openHandles.fetch_add(1);
        return HandleValue(i, state);
    }
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
}


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
    case EIO: return ERROR_GEN_FAILURE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_INVALID_PARAMETER;
    }
}

bool Signal(EventObject* event) {
    event->signals.fetch_add(1, std::memory_order_release);
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still signalled.
    if (write(event->fd, &one, sizeof one) < 0 && errno != EAGAIN) {
        lastError = ErrorFromErrno(errno);
        return false;
    }
    return true;
}

// /proc/<pid>/status of a thread-group leader: its "State:" letter, or 0
// when pid names no process (or only a thread of one).
char ProcessState(DWORD pid, int* error) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        *error = errno;
        return 0;
    }
    char line[256];
    char state = 0;
    long tgid = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, "State:", 6) == 0) std::sscanf(line + 6, " %c", &state);
        if (std::strncmp(line, "Tgid:", 5) == 0) std::sscanf(line + 5, "%ld", &tgid);
    }
    std::fclose(file);
    *error = ENOENT;
    return tgid == static_cast<long>(pid) ? state : 0;
}

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

// Every handle must name an open event (or thread) the caller may wait on.
DWORD Wait(DWORD count, const HANDLE* handles, DWORD milliseconds) {
    if (failingWait != 0) {
        lastError = failingWait;
        failingWait = 0;
        return WAIT_FAILED;
    }
    if (count == 0 || count > 64) {
        lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    Uses uses;
    pollfd fds[64];
    for (DWORD i = 0; i < count; ++i) {
        Use& use = uses.Add(handles[i]);
        if (!use || (use->kind != Kind::Event && use->kind != Kind::Thread)) {
            lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if ((use->access & SYNCHRONIZE) == 0) {
            lastError = ERROR_ACCESS_DENIED;
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
            lastError = ErrorFromErrno(errno);
            return WAIT_FAILED;
        }
        // Lowest signalled index wins, as on Windows.
        for (DWORD i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) != 0 && TryAcquire(uses[i]->event))
                return WAIT_OBJECT_0 + i;
        if (ready == 0 && timeout == 0) return WAIT_TIMEOUT;
    }
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    EventObject* ended;  // one reference of its own
};

void* ThreadMain(void* argument) {
    ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    start.start(start.parameter);
    Signal(start.ended);
    ReleaseEventObject(start.ended);
    return nullptr;
}

// One synchronous read or write on a standard stream, restarted when a
// signal interrupts it.
template <typename Transfer>
BOOL TransferOnStream(HANDLE file, DWORD* done, Transfer transfer) {
    if (done != nullptr) *done = 0;
    Use use(file);
    if (!use || use->kind != Kind::StandardStream) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    ssize_t n = 0;
    do {
        n = transfer(use->fd);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    if (done != nullptr) *done = static_cast<DWORD>(n);
    return TRUE;
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

long PosixOpenHandleCount() { return openHandles.load(); }

void PosixFailThreadStarts(int count) { failingThreadStarts.store(count); }

void PosixLimitWriteBytes(DWORD bytes) { writeLimit.store(bytes); }

void PosixFailNextWait(DWORD error) { failingWait = error; }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    const int fd = eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        lastError = ErrorFromErrno(errno);
        return nullptr;
    }
    auto* event = new (std::nothrow) EventObject{fd, manualReset != FALSE};
    HANDLE h = event != nullptr ? Allocate(Kind::Event, event, EVENT_ALL_ACCESS) : nullptr;
    if (h == nullptr) {
        delete event;
        close(fd);
        lastError = ERROR_NOT_ENOUGH_MEMORY;
    }
    return h;
}

// Lock-free: the audio side signals from a real-time thread.
BOOL SetEvent(HANDLE event) {
    Use use(event);
    if (!use || use->kind != Kind::Event || (use->access & EVENT_MODIFY_STATE) == 0) {
        lastError = !use || use->kind != Kind::Event ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
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
        lastError = ERROR_INVALID_PARAMETER;  // not needed by the program
        return WAIT_FAILED;
    }
    return Wait(count, handles, milliseconds);
}

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL, DWORD options) {
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() ||
        target == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Use use(source);
    if (!use || use->kind != Kind::Event) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const DWORD granted = (options & DUPLICATE_SAME_ACCESS) != 0 ? use->access : access;
    use->event->handles.fetch_add(1);
    *target = Allocate(Kind::Event, use->event, granted);
    if (*target == nullptr) {
        ReleaseEventObject(use->event);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Use use(handle);
    if (!use || use->kind == Kind::StandardStream || !use.Close()) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    openHandles.fetch_sub(1);
    return TRUE;  // recycled when the last call using it returns
}

BOOL GetHandleInformation(HANDLE handle, DWORD* flags) {
    Use use(handle);
    if (!use || flags == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *flags = 0;
    return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return HandleValue(0, slots[0].state.load());
    if (which == STD_OUTPUT_HANDLE) return HandleValue(1, slots[1].state.load());
    if (which == STD_ERROR_HANDLE) return HandleValue(2, slots[2].state.load());
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, LPOVERLAPPED) {
    return TransferOnStream(file, read, [&](int fd) { return ::read(fd, buffer, toRead); });
}

// Synchronous even where the parent left the descriptor non-blocking.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, LPOVERLAPPED) {
    const DWORD limit = writeLimit.load();
    if (limit != 0 && toWrite > limit) toWrite = limit;
    return TransferOnStream(file, written, [&](int fd) {
        ssize_t n = ::write(fd, buffer, toWrite);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{fd, POLLOUT, 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) errno = EINTR;  // write again
        }
        return n;
    });
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, DWORD* threadId) {
    if (failingThreadStarts.load() > 0 && failingThreadStarts.fetch_sub(1) > 0) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto* ended = fd >= 0 ? new (std::nothrow) EventObject{fd, true} : nullptr;
    auto* startInfo = ended != nullptr ? new (std::nothrow) ThreadStart{start, parameter, ended}
                                       : nullptr;
    HANDLE h = startInfo != nullptr ? Allocate(Kind::Thread, ended, SYNCHRONIZE) : nullptr;
    if (h == nullptr) {
        delete startInfo;
        delete ended;
        if (fd >= 0) close(fd);
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    ended->handles.fetch_add(1);  // the thread's own
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, ThreadMain, startInfo);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete startInfo;
        ReleaseEventObject(ended);
        CloseHandle(h);
        lastError = error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(error);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = 0;
    return h;
}

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
    int error = 0;
    const char state = processId != 0 ? ProcessState(processId, &error) : 0;
    if (state == 0) {
        lastError = error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(allocation);
    for (std::uint32_t i = kStandardSlots; i < kSlots; ++i) {
        Slot& slot = slots[i];
        if (slot.kind != Kind::Free) continue;
        slot.kind = Kind::Process;
        slot.fd = static_cast<int>(processId);
        slot.access = access;
        const std::uint64_t opened = slot.state.load() | kOpen;
        slot.state.store(opened, std::memory_order_release);
        openHandles.fetch_add(1);
        return HandleValue(i, opened);
    }
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
}

// A zombie has ended; only its parent could still read the code.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    Use use(process);
    if (!use || use->kind != Kind::Process || exitCode == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    int error = 0;
    const char state = ProcessState(static_cast<DWORD>(use->fd), &error);
    *exitCode = state == 0 || state == 'Z' || state == 'X' ? 0 : STILL_ACTIVE;
    return TRUE;
}

// No Windows console here: terminals take the UTF-8 the program writes.
BOOL GetConsoleMode(HANDLE, DWORD*) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
}

BOOL WriteConsoleW(HANDLE, const wchar_t*, DWORD, DWORD*, void*) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
}

int _setmode(int, int) { return _O_BINARY; }  // no text mode to leave
