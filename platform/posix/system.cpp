// Console control, libraries, Store app frames and process names. The signal
// thread runs ServeSignals; everything else runs on its caller's thread.
#include "handle_table.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

using namespace posix_handles;

namespace {

std::mutex handlersMutex;
std::vector<PHANDLER_ROUTINE> handlers;  // guarded by handlersMutex

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* ServeSignals(void*) {
    const sigset_t set = ControlSignals();
    for (;;) {
        int received = 0;
        if (sigwait(&set, &received) != 0) continue;
        std::vector<PHANDLER_ROUTINE> newestFirst;
        {
            const std::lock_guard<std::mutex> lock(handlersMutex);
            newestFirst.assign(handlers.rbegin(), handlers.rend());
        }
        bool handled = false;
        for (PHANDLER_ROUTINE handler : newestFirst) {
            if (handler(received == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT)) {
                handled = true;
                break;
            }
        }
        if (handled) continue;
        // The default action, on this thread, the only one that takes it.
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, received);
        ::signal(received, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(received);
    }
}

bool StartSignalThread() {
    const sigset_t set = ControlSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ServeSignals, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    pthread_detach(thread);  // serves the process until it exits
    return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    static const bool serving = StartSignalThread();
    if (handler == nullptr || !serving) {
        SetLastError(serving ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const std::lock_guard<std::mutex> lock(handlersMutex);
    if (add) {
        handlers.push_back(handler);
        return TRUE;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if (*it == handler) {
            handlers.erase(std::next(it).base());
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HMODULE LoadLibraryW(LPCWSTR) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE, const char*) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL FreeLibrary(HMODULE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL EnumChildWindows(HWND, WNDENUMPROC, LPARAM) { return TRUE; }

int GetClassNameW(HWND, LPWSTR, int) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

BOOL QueryFullProcessImageNameW(HANDLE process, DWORD, LPWSTR name, DWORD* size) {
    Use use(process);
    if (!use || use->kind != Kind::Process || name == nullptr || size == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    char link[40];
    std::snprintf(link, sizeof link, "/proc/%d/exe", use->fd);
    char path[4096];
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length < 0) {
        SetLastError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED
                                                       : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    path[length] = '\0';
    const std::wstring wide = PosixArgumentToWide(path);
    if (wide.size() + 1 > *size) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    wide.copy(name, wide.size());
    name[wide.size()] = L'\0';
    *size = static_cast<DWORD>(wide.size());
    return TRUE;
}
