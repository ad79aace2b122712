// The event rules the program relies on. Under Wine these run against the
// system's own events, so the Linux stand-ins are held to the same answers.
#include "platform.h"

#include <gtest/gtest.h>

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
    EXPECT_TRUE(CloseHandle(duplicate));
}

}  // namespace
