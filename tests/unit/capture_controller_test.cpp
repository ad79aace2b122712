#include "capture.h"
#include "std_redirect.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const Calls kUpToStart = {"ActivateAudioInterfaceAsync 1 42 0", "ActivateCompleted",
                          "GetActivateResult", "Initialize", "SetEventHandle", "GetService",
                          "Start"};

Calls Prefix(std::size_t count) { return Calls(kUpToStart.begin(), kUpToStart.begin() + count); }

// The calls up to the first release, in order.
Calls CallsBeforeReleases() {
    Calls calls;
    for (const std::string& call : scripted::Calls()) {
        if (call[0] == '~') break;
        calls.push_back(call);
    }
    return calls;
}

struct Outcome {
    HRESULT result;
    std::vector<std::uint8_t> output;
};

// One capture with standard input at end (stop at once) unless told otherwise.
Outcome Capture(const char* scenario, bool stdinAtEnd = true) {
    scripted::SetScenario(MakeScenario(scenario));
    StdPipe input(StdPipe::Stream::Input);
    if (stdinAtEnd) input.CloseTestEnd();
    OutputCollector output;
    const HRESULT result = RunProcessLoopbackCapture({42, 0});
    return {result, output.Finish()};
}

TEST(RunProcessLoopbackCapture, EachFailureReturnsItsCodeAndReleasesEverything) {
    struct Row {
        const char* scenario;
        HRESULT result;
        std::size_t callsBeforeRelease;  // of kUpToStart
        bool headerWritten;
    } rows[] = {
        {"activate=0x80070005", static_cast<HRESULT>(0x80070005), 1, false},
        {"result=code:0x88890008", static_cast<HRESULT>(0x88890008), 3, false},
        {"result=fail:0x80004005", E_FAIL, 3, false},
        {"result=none", E_UNEXPECTED, 3, false},
        {"result=other", E_NOINTERFACE, 3, false},
        {"initialize=0x88890008", static_cast<HRESULT>(0x88890008), 4, false},
        {"seteventhandle=0x80070057", E_INVALIDARG, 5, false},
        {"getservice=0x80004002", E_NOINTERFACE, 6, false},
        {"start=0x88890001", static_cast<HRESULT>(0x88890001), 7, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.scenario);
        const long handles = OpenHandles();
        const Outcome outcome = Capture(row.scenario);
        EXPECT_EQ(outcome.result, row.result);
        EXPECT_EQ(CallsBeforeReleases(), Prefix(row.callsBeforeRelease));
        EXPECT_EQ(outcome.output.size(), row.headerWritten ? 16u : 0u);
        if (scripted::EventHandleGiven() != nullptr) {
            EXPECT_FALSE(HandleIsOpen(scripted::EventHandleGiven()));
        }
        ExpectEverythingReleased(handles);
    }
}

TEST(RunProcessLoopbackCapture, PacketFailuresStopTheClientFirst) {
    for (const char* scenario : {"pace=prequeue packets=480x3 fail=getnext:1:0x88890004",
                                 "pace=prequeue packets=480x3 fail=getbuffer:1:0x88890004",
                                 "pace=prequeue packets=480x3 fail=release:1:0x88890004"}) {
        SCOPED_TRACE(scenario);
        const long handles = OpenHandles();
        const Outcome outcome = Capture(scenario, false);
        EXPECT_EQ(outcome.result, static_cast<HRESULT>(0x88890004));
        Calls expected = kUpToStart;
        expected.push_back("Stop");
        EXPECT_EQ(CallsBeforeReleases(), expected);
        ExpectEverythingReleased(handles);
    }
}

TEST(RunProcessLoopbackCapture, ActivatesAndInitializesWithTheFixedRequest) {
    const long handles = OpenHandles();
    scripted::SetScenario(MakeScenario("pace=prequeue packets=480"));
    StdPipe input(StdPipe::Stream::Input);
    input.CloseTestEnd();
    OutputCollector output;
    EXPECT_EQ(RunProcessLoopbackCapture({0xFFFFFFFFu, 1}), S_OK);
    const std::vector<std::uint8_t> bytes = output.Finish();

    const scripted::ActivationRecord activation = scripted::LastActivation();
    EXPECT_EQ(activation.path, L"VAD\\Process_Loopback");
    EXPECT_TRUE(activation.audioClientIid);
    EXPECT_EQ(activation.variantType, VT_BLOB);
    EXPECT_EQ(activation.blobSize, 12u);
    EXPECT_EQ(activation.params[0], 1u);
    EXPECT_EQ(activation.params[1], 0xFFFFFFFFu);
    EXPECT_EQ(activation.params[2], 1u);

    const scripted::InitializeRecord init = scripted::LastInitialize();
    EXPECT_EQ(init.shareMode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(init.flags, 0x88060000u);
    EXPECT_EQ(init.duration, 0);
    EXPECT_EQ(init.periodicity, 0);
    EXPECT_TRUE(init.sessionGuidNull);
    EXPECT_EQ(init.format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(init.format.nChannels, 2);
    EXPECT_EQ(init.format.nSamplesPerSec, 48000u);
    EXPECT_EQ(init.format.nAvgBytesPerSec, 384000u);
    EXPECT_EQ(init.format.nBlockAlign, 8);
    EXPECT_EQ(init.format.wBitsPerSample, 32);
    EXPECT_EQ(init.format.cbSize, 0);

    EXPECT_EQ(bytes.size(), 16u + 480 * 8);
    EXPECT_EQ(scripted::PacketsReleased(), 1u);
    ExpectEverythingReleased(handles);
}

TEST(RunProcessLoopbackCapture, StopsOnAByteWithStdinKeptOpen) {
    const long handles = OpenHandles();
    scripted::SetScenario(MakeScenario("pace=realtime repeat packets=480"));
    StdPipe input(StdPipe::Stream::Input);
    OutputCollector output;
    HRESULT result = E_PENDING;
    std::thread capture([&] { result = RunProcessLoopbackCapture({42, 0}); });
    for (int i = 0; i < 2000 && scripted::PacketsReleased() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    input.Write("\x7f", 1);
    capture.join();
    EXPECT_EQ(result, S_OK);
    const std::vector<std::uint8_t> bytes = output.Finish();
    EXPECT_EQ((bytes.size() - 16) % (480 * 8), 0u);
    EXPECT_GE(bytes.size(), 16u + 3 * 480 * 8);
    input.CloseTestEnd();
    ExpectEverythingReleased(handles);
}

TEST(RunProcessLoopbackCapture, ReaderGoneIsSuccessMidStreamButFailureBeforeTheHeader) {
    {
        const long handles = OpenHandles();
        scripted::SetScenario(MakeScenario("pace=prequeue packets=480"));
        StdPipe input(StdPipe::Stream::Input);
        StdPipe output(StdPipe::Stream::Output);
        output.CloseTestEnd();
        EXPECT_EQ(RunProcessLoopbackCapture({42, 0}), static_cast<HRESULT>(0x8007006D));
        EXPECT_EQ(CallsBeforeReleases(), Prefix(6));
        ExpectEverythingReleased(handles);
    }
    {
        const long handles = OpenHandles();
        scripted::SetScenario(MakeScenario("pace=fast repeat packets=480"));
        StdPipe input(StdPipe::Stream::Input);
        StdPipe output(StdPipe::Stream::Output);
        HRESULT result = E_PENDING;
        std::thread capture([&] { result = RunProcessLoopbackCapture({42, 0}); });
        std::uint8_t chunk[4096];
        std::size_t got = 0;
        while (got < 100000) {
            const std::size_t read = output.Read(chunk, sizeof chunk);
            if (read == 0) {
                ADD_FAILURE() << "the stream ended early";
                break;
            }
            got += read;
        }
        output.CloseTestEnd();
        capture.join();
        EXPECT_EQ(result, S_OK);
        EXPECT_EQ(CallsBeforeReleases().back(), "Stop");
        input.CloseTestEnd();
        ExpectEverythingReleased(handles);
    }
}

#ifndef _WIN32
// The header is out and the client runs when the stop watcher cannot start:
// the run must still stop the client, release everything and fail.
TEST(RunProcessLoopbackCapture, StopWatcherThatCannotStartStopsTheClientAndFails) {
    const long handles = OpenHandles();
    PosixFailThreadStarts(1);
    const Outcome outcome = Capture("pace=prequeue packets=480", false);
    PosixFailThreadStarts(0);
    EXPECT_EQ(outcome.result, static_cast<HRESULT>(0x80070008));  // not enough memory
    EXPECT_EQ(outcome.output.size(), 16u);
    Calls expected = kUpToStart;
    expected.push_back("Stop");
    EXPECT_EQ(CallsBeforeReleases(), expected);
    ExpectEverythingReleased(handles);
}
#endif

// The platform never answers in time; its answer comes later still, after
// the controller has closed its event and returned.
TEST(RunProcessLoopbackCapture, LateCompletionAfterTheTimeoutTouchesNothingClosed) {
    const long handles = OpenHandles();
    const Outcome outcome = Capture("completion=late:10400");
    EXPECT_EQ(outcome.result, static_cast<HRESULT>(0x800705B4));
    EXPECT_TRUE(outcome.output.empty());
    ExpectEverythingReleased(handles);  // waits for the late completion
    const Calls calls = scripted::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "GetActivateResult"), calls.end());
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "Initialize"), calls.end());
}

}  // namespace
