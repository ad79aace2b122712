// The trace, written to the file named by SONDREL_TRACE: each Release the
// program makes, by interface, with whether the program's sample event was
// still open ("events=open|closed", once it was given); Stop with the same
// and whether a packet was still held ("buffer=held|free"); a line for a
// completion that used a closed handle, or a standard descriptor that holds
// an event; at the end "exit live=N handles=M": objects still alive and
// program handles still open at exit.
// Record runs on any thread: the main thread, the engine's and the
// completion's.
#include "scripted.h"

#ifndef _WIN32
#include <posix_test_hooks.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

std::atomic<HANDLE> eventGiven{nullptr};
std::atomic<long> liveObjects{0};
thread_local bool onCompletionThread = false;

namespace {

std::mutex traceMutex;

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && GetHandleInformation(handle, &flags);
}

long OpenHandles() {
#ifdef _WIN32
    return IsOpen(eventGiven.load()) ? 1 : 0;
#else
    return PosixOpenHandleCount();
#endif
}

// Before main: the apartment and the failures the program will find; at
// exit: what is left.
struct ProcessHooks {
    ProcessHooks() {
        if (TheScenario().singleThreadedApartment) CoInitializeEx(nullptr, 0x2);
#ifndef _WIN32
        PosixLimitWriteBytes(TheScenario().writeLimit);
        if (TheScenario().openProcessError != 0)
            PosixFailNextOpenProcess(TheScenario().openProcessError);
#endif
    }
    ~ProcessHooks() {
        JoinCompletions();
        // The stop watcher closes its handle right after signalling.
        for (int i = 0; i < 100 && OpenHandles() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Record("exit live=%ld handles=%ld", liveObjects.load(), OpenHandles());
    }
} processHooks;

}  // namespace

void Record(const char* format, ...) {
    const DWORD lastError = GetLastError();
    const char* path = std::getenv("SONDREL_TRACE");
    std::lock_guard<std::mutex> lock(traceMutex);
    FILE* trace = path != nullptr ? std::fopen(path, "a") : nullptr;
    if (trace != nullptr) {
        va_list values;
        va_start(values, format);
        std::vfprintf(trace, format, values);
        va_end(values);
        std::fputc('\n', trace);
        std::fclose(trace);
    }
    SetLastError(lastError);
}

const char* EventState() {
    const HANDLE given = eventGiven.load();
    if (given == nullptr) return "";
    return IsOpen(given) ? " events=open" : " events=closed";
}

// A file the program opened must never have landed on a standard descriptor
// the parent left closed.
void CheckStandardDescriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        char link[64] = {};
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strstr(link, "eventfd"))
            Record("standard descriptor %d holds an event", fd);
    }
#endif
}
