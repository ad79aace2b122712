// The event rules the program relies on. Under Wine these run against the
// system's own events, so the Linux stand-ins are held to the same answers.
#include "platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Events, AutoResetWakesOneWaitManualResetStaysSignalled) {
    HANDLE autoReset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE manualReset = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(autoReset, nullptr);
    ASSERT_NE(manualReset, nullptr);

    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);  // created non-signalled
    EXPECT_EQ(WaitForSingleObject(manualReset, 0), WAIT_TIMEOUT);

    SetEvent(autoReset);
    SetEvent(autoReset);  // signals do not add up
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);

    SetEvent(manualReset);
    EXPECT_EQ(WaitForSingleObject(manualReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manualReset, 0), WAIT_OBJECT_0);
    ResetEvent(manualReset);
    EXPECT_EQ(WaitForSingleObject(manualReset, 0), WAIT_TIMEOUT);

    CloseHandle(autoReset);
    CloseHandle(manualReset);
}

TEST(Events, WaitOnTwoReportsTheLowerSignalledIndexFirst) {
    HANDLE sample = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE both[2] = {sample, stop};

    SetEvent(stop);
    SetEvent(sample);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);

    ResetEvent(stop);
    std::thread signaller([&] { SetEvent(sample); });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
    signaller.join();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), WAIT_TIMEOUT);

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
