// The event rules the program relies on. Under Wine these run against the
// system's own events, so the Linux stand-ins are held to the same answers.
#include "platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

TEST(Events, AutoResetWakesOnceManualResetStaysAndTheLowerIndexWins) {
    HANDLE sample = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE both[2] = {sample, stop};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);  // created non-signalled

    SetEvent(stop);
    SetEvent(sample);
    SetEvent(sample);  // signals do not add up
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);

    EXPECT_EQ(WaitForSingleObject(sample, 0), WAIT_TIMEOUT);
    std::thread signaller([&] { SetEvent(sample); });
    EXPECT_EQ(WaitForSingleObject(sample, INFINITE), WAIT_OBJECT_0);
    signaller.join();
    CloseHandle(sample);
    CloseHandle(stop);
}

TEST(Events, SignalOnlyDuplicateSignalsTheSameEventAndOutlivesTheOriginal) {
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(process, stop, process, &duplicate, EVENT_MODIFY_STATE, FALSE, 0));
    EXPECT_EQ(WaitForSingleObject(duplicate, 0), WAIT_FAILED);  // may signal, not wait
    EXPECT_TRUE(SetEvent(duplicate));
    EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0);
    CloseHandle(stop);
    EXPECT_TRUE(SetEvent(duplicate));  // the object lives while a handle does

    HANDLE again = nullptr;  // a copy of the copy keeps its rights, no more
    ASSERT_TRUE(DuplicateHandle(process, duplicate, process, &again, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(SetEvent(again));
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(duplicate));
}

// Every call fails cleanly on a handle that is closed or was never issued.
TEST(Events, AClosedOrNeverIssuedHandleFailsWithInvalidHandle) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE never = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7FF0FFC));
    for (HANDLE bad : {closed, never}) {
        const auto expectInvalid = [](bool failed) {
            EXPECT_TRUE(failed);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            SetLastError(0);
        };
        expectInvalid(!SetEvent(bad));
        expectInvalid(WaitForSingleObject(bad, 0) == WAIT_FAILED);
        HANDLE process = GetCurrentProcess(), copy = nullptr;
        expectInvalid(!DuplicateHandle(process, bad, process, &copy, EVENT_MODIFY_STATE, FALSE, 0));
        DWORD flags = 0;
        expectInvalid(!GetHandleInformation(bad, &flags));
        expectInvalid(!CloseHandle(bad));
    }
#ifndef _WIN32
    // Windows hands a freed value out again; here each reuse of a slot is a
    // new generation, so the old value still names nothing.
    HANDLE reused = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(WaitForSingleObject(reused, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(reused));
    EXPECT_EQ(PosixOpenHandleCount(), 0);
#endif
}

// A handle closed while another thread signals through it: each call either
// signals the live object or fails as above, never anything else.
TEST(Events, ClosingWhileAnotherThreadSignalsIsSafe) {
    for (int round = 0; round < 200; ++round) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<bool> unexpected{false};
        std::thread signaller([&] {
            for (int i = 0; i < 20; ++i)
                if (!SetEvent(event) && GetLastError() != static_cast<DWORD>(ERROR_INVALID_HANDLE))
                    unexpected = true;
        });
        EXPECT_TRUE(CloseHandle(event));
        signaller.join();
        EXPECT_FALSE(unexpected);
    }
}

}  // namespace
