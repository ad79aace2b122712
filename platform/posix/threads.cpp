// Threads whose handle is signalled when they end, as on Windows.
// CreateThread runs on the main thread, ThreadMain on the thread it starts.
#include "handle_table.h"

#include <atomic>
#include <cerrno>
#include <new>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace posix_handles;

namespace {

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

}  // namespace

namespace posix_handles {
std::atomic<int> failingThreadStarts{0};
}  // namespace posix_handles

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, DWORD* threadId) {
    if (failingThreadStarts.load() > 0 && failingThreadStarts.fetch_sub(1) > 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto* ended = fd >= 0 ? new (std::nothrow) EventObject{fd, true} : nullptr;
    auto* startInfo = ended != nullptr ? new (std::nothrow) ThreadStart{start, parameter, ended}
                                       : nullptr;
    HANDLE h = startInfo != nullptr ? Claim(Kind::Thread, SYNCHRONIZE, ended, -1) : nullptr;
    if (h == nullptr) {
        delete startInfo;
        delete ended;
        if (fd >= 0) close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
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
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(error));
        return nullptr;
    }
    if (threadId != nullptr) *threadId = 0;
    return h;
}
