// Ctrl+C and Ctrl+Break (SIGINT and SIGTERM on Linux) as a stop: the first
// one stops the capture as a stop byte does, so what was captured is still
// written; a second one ends the process at once, as the system's default.
#pragma once

#include "platform.h"

// Front end, main thread: installs and removes the handler around a run.
void WatchConsoleControl();
void StopWatchingConsoleControl();

// Capture loop, its thread: while it lives a control event signals the
// loop's stop event; one that came before signals it at once.
class ConsoleStop {
public:
    explicit ConsoleStop(HANDLE stopEvent);
    ConsoleStop(const ConsoleStop&) = delete;
    ConsoleStop& operator=(const ConsoleStop&) = delete;
    ~ConsoleStop();
};
