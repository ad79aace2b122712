// The event rules the program relies on, held to Wine's own answers.
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

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

TEST(Events, SignalOnlyDuplicateSignalsTheSameEventAndOutlivesTheOriginal) {
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr), duplicate = nullptr;
    HANDLE process = GetCurrentProcess();
    ASSERT_TRUE(DuplicateHandle(process, stop, process, &duplicate, EVENT_MODIFY_STATE, FALSE, 0));
    EXPECT_EQ(WaitForSingleObject(duplicate, 0), WAIT_FAILED);  // may signal, not wait
    EXPECT_TRUE(SetEvent(duplicate) && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(stop) && SetEvent(duplicate));  // the object lives while a handle does
    EXPECT_TRUE(CloseHandle(duplicate));
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

TEST(Events, ClosingWhileAnotherThreadSignalsIsSafe) {
    for (int round = 0; round < 200; ++round) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        bool unexpected = false;  // read only after the join
        std::thread signaller([&] {
            for (int i = 0; i < 20; ++i)
                unexpected |= !SetEvent(event) && GetLastError() != DWORD{ERROR_INVALID_HANDLE};
        });
        EXPECT_TRUE(CloseHandle(event));
        signaller.join();
        EXPECT_FALSE(unexpected);
    }
}

}  // namespace
