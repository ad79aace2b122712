// WatchConsoleControl and StopWatchingConsoleControl run on the main thread,
// ConsoleStop on the capture loop's, ConsoleControl on the thread the system
// (or the Linux stand-in) calls it on.
#include "console_control.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex stopMutex;
// The loop's own stop event, valid while a ConsoleStop lives; guarded by
// stopMutex, so that it is never signalled after the loop let go of it.
HANDLE stopEvent = nullptr;
std::atomic<int> controlEvents{0};

BOOL WINAPI ConsoleControl(DWORD type) {
    // Closing the console, logging off and shutting down keep the default.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (controlEvents.fetch_add(1) > 0) return FALSE;  // the default: end at once
    const std::lock_guard<std::mutex> lock(stopMutex);
    if (stopEvent != nullptr) SetEvent(stopEvent);
    return TRUE;
}

}  // namespace

void WatchConsoleControl() { SetConsoleCtrlHandler(ConsoleControl, TRUE); }

void StopWatchingConsoleControl() { SetConsoleCtrlHandler(ConsoleControl, FALSE); }

ConsoleStop::ConsoleStop(HANDLE event) {
    const std::lock_guard<std::mutex> lock(stopMutex);
    stopEvent = event;
    if (controlEvents.load() > 0) SetEvent(stopEvent);
}

ConsoleStop::~ConsoleStop() {
    const std::lock_guard<std::mutex> lock(stopMutex);
    stopEvent = nullptr;
}
