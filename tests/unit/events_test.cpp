// The event rules the program relies on, held to Wine's own answers.
#include "platform.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <posix_test_hooks.h>
#endif

#include <cstdint>

namespace {

TEST(Events, AutoResetWakesOnceManualResetStaysAndTheLowerIndexWins) {
    HANDLE sample = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE both[2] = {sample, stop};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);  // created non-signalled
    SetEvent(stop), SetEvent(sample), SetEvent(sample);  // signals do not add up
    for (DWORD expected : {WAIT_OBJECT_0, WAIT_OBJECT_0 + 1, WAIT_OBJECT_0 + 1})
        EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), expected);
    CloseHandle(sample), CloseHandle(stop);
}

// A duplicate does what its rights allow and no more: the stop watcher's may only signal, a
// wait-only one must not signal; either outlives the handle it was made from.
TEST(Events, EachDuplicateDoesOnlyWhatItsRightsAllowAndOutlivesTheOriginal) {
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr), signalOnly = nullptr, waitOnly = nullptr;
    HANDLE process = GetCurrentProcess();
    ASSERT_TRUE(DuplicateHandle(process, stop, process, &signalOnly, EVENT_MODIFY_STATE, FALSE, 0));
    ASSERT_TRUE(DuplicateHandle(process, stop, process, &waitOnly, SYNCHRONIZE, FALSE, 0));
    EXPECT_EQ(WaitForSingleObject(signalOnly, 0), WAIT_FAILED);
    EXPECT_TRUE(!SetEvent(waitOnly) && GetLastError() == DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_TIMEOUT);  // refused, so nothing signalled
    EXPECT_TRUE(CloseHandle(stop) && SetEvent(signalOnly));  // the object lives while a handle does
    EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(signalOnly) && CloseHandle(waitOnly));
}

TEST(Events, AClosedOrNeverIssuedHandleFailsWithInvalidHandle) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr), copy = nullptr;
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE process = GetCurrentProcess(), never = reinterpret_cast<HANDLE>(std::uintptr_t{0x7FF0FFC});
    const auto invalid = [](bool failed) {
        return failed && GetLastError() == DWORD{ERROR_INVALID_HANDLE} && (SetLastError(0), true); };
    for (HANDLE bad : {closed, never}) {
        DWORD flags = 0;
        const bool answers[] = {  // evaluated in this order
            invalid(!SetEvent(bad)), invalid(WaitForSingleObject(bad, 0) == WAIT_FAILED),
            invalid(!DuplicateHandle(process, bad, process, &copy, EVENT_MODIFY_STATE, FALSE, 0)),
            invalid(!GetHandleInformation(bad, &flags)), invalid(!CloseHandle(bad))};
        for (const bool& ok : answers) EXPECT_TRUE(ok) << "call " << &ok - answers;
    }
#ifndef _WIN32
    // Here each reuse of a slot is a new generation: the old value still names nothing.
    HANDLE reused = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(!SetEvent(closed) && WaitForSingleObject(reused, 0) == WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(reused) && PosixOpenHandleCount() == 0);
#endif
}

// Far more runs than there are handle slots (4,095 here): every closed handle goes back to the pool.
TEST(Events, HandlesNeverRunOutWhenEachIsClosed) {
    const HANDLE process = GetCurrentProcess();
    for (int run = 0; run < 10000; ++run) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr), copy = nullptr;
        ASSERT_TRUE(event != nullptr && DuplicateHandle(process, event, process, &copy, SYNCHRONIZE, FALSE, 0))
            << "run " << run;
        ASSERT_TRUE(CloseHandle(event) && WaitForSingleObject(copy, 0) == WAIT_TIMEOUT && CloseHandle(copy));
    }
}

}  // namespace
