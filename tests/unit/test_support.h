// Checks shared by the in-process tests: nothing the program opened is left.
#pragma once

#include "platform.h"
#include "scripted_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

inline long OpenHandles() {
#ifdef _WIN32
    return 0;  // Wine reports no handle count; the tests check given handles instead
#else
    return PosixOpenHandleCount();
#endif
}

inline bool HandleIsOpen(HANDLE handle) {
#ifdef _WIN32
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
#else
    (void)handle;
    return false;  // the stand-in's handles are counted instead
#endif
}

// Threads the program left behind (the stop watcher) end on their own; give
// them a moment before counting what is still open.
inline void ExpectEverythingReleased(long handlesBefore) {
    scripted::JoinCompletionThreads();
    for (int i = 0; i < 200 && OpenHandles() != handlesBefore; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(OpenHandles(), handlesBefore);
    EXPECT_EQ(scripted::LiveObjects(), 0);
}

inline scripted::Scenario MakeScenario(const char* text) {
    scripted::Scenario scenario;
    std::string error;
    EXPECT_TRUE(scripted::ParseScenario(text, scenario, error)) << error;
    return scenario;
}
