// The loop against a capture client whose answers the test sets, for orders
// an end-to-end run cannot make happen on demand.
#include "capture_loop.h"
#include "output_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

struct Planned {
    UINT32 frames;
    bool silent;
};

// Packet n carries bytes of the value n + 1.
class FakeCaptureClient final : public IAudioCaptureClient {
public:
    std::deque<Planned> packets;
    const char* failingCall = nullptr;  // "next", "get" or "release"
    int failOnCall = 0;                 // 1-based count of that call
    HRESULT failure = static_cast<HRESULT>(0x88890004L);
    int gets = 0, releases = 0, nexts = 0;
    bool held = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        *frames = 0;
        if (Fails("next", ++nexts)) return failure;
        if (!packets.empty()) *frames = packets.front().frames;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                        UINT64*) override {
        if (Fails("get", gets + 1)) return failure;
        if (packets.empty() || held) return AUDCLNT_E_OUT_OF_ORDER;
        ++gets;
        held = true;
        bytes_.assign(std::size_t{packets.front().frames} * 8, static_cast<BYTE>(gets));
        *data = bytes_.data();
        *frames = packets.front().frames;
        *flags = packets.front().silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (!held || frames != packets.front().frames) return AUDCLNT_E_OUT_OF_ORDER;
        ++releases;
        held = false;
        packets.pop_front();
        return Fails("release", releases) ? failure : S_OK;
    }

private:
    bool Fails(const char* call, int count) const {
        return failingCall != nullptr && std::string(failingCall) == call && count == failOnCall;
    }
    std::vector<BYTE> bytes_;
};

// Standard output goes into a pipe while the object lives; nothing may print
// meanwhile. With readerGone the pipe's reader is gone before any write.
class CapturedStdout {
public:
    explicit CapturedStdout(bool readerGone) {
#ifdef _WIN32
        CreatePipe(&read_, &write_, nullptr, 1 << 20);
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, write_);
        if (readerGone) CloseHandle(read_), read_ = nullptr;
#else
        std::signal(SIGPIPE, SIG_IGN);  // as the program's entry does
        int ends[2];
        if (pipe(ends) != 0) return;
        read_ = ends[0];
        saved_ = dup(1);
        dup2(ends[1], 1);
        close(ends[1]);
        if (readerGone) close(read_), read_ = -1;
#endif
    }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;
    ~CapturedStdout() { Finish(); }

    // Gives standard output back and returns what was written.
    std::vector<BYTE> Finish() {
        std::vector<BYTE> bytes;
        BYTE chunk[4096];
#ifdef _WIN32
        if (write_ == nullptr) return bytes;
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(write_), write_ = nullptr;
        DWORD got = 0;
        while (read_ != nullptr && ReadFile(read_, chunk, sizeof chunk, &got, nullptr) && got > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        if (read_ != nullptr) CloseHandle(read_);
#else
        if (saved_ < 0) return bytes;
        dup2(saved_, 1);
        close(saved_), saved_ = -1;
        ssize_t got = 0;
        while (read_ >= 0 && (got = read(read_, chunk, sizeof chunk)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        if (read_ >= 0) close(read_);
#endif
        return bytes;
    }

private:
#ifdef _WIN32
    HANDLE read_ = nullptr, write_ = nullptr, saved_ = nullptr;
#else
    int read_ = -1, saved_ = -1;
#endif
};

struct Outcome {
    HRESULT result;
    std::vector<BYTE> written;
};

// Runs the loop with its sample-ready and stop events signalled as asked.
// Standard input stays open in the program while this runs, so nothing else
// signals the stop; should the loop wait anyway, a stop after 5 s ends it and
// fails the test. Every run must end with no buffer held.
Outcome RunLoop(FakeCaptureClient& client, bool sampleReady, bool stop,
                HRESULT startResult = S_OK, bool readerGone = false) {
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, sampleReady, nullptr),
                        CreateEventW(nullptr, TRUE, stop, nullptr)};
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> stopNeeded{false};
    std::thread watchdog([&] {
        if (WaitForSingleObject(finished, 5000) == WAIT_TIMEOUT) {
            stopNeeded = true;
            SetEvent(events[1]);
        }
    });
    SilenceBuffer silence;
    CapturedStdout out(readerGone);
    const HRESULT result = RunCaptureLoop(&client, events, 8, startResult, silence);
    std::vector<BYTE> written = out.Finish();
    SetEvent(finished);
    watchdog.join();
    for (HANDLE event : {events[0], events[1], finished}) CloseHandle(event);
    EXPECT_FALSE(stopNeeded.load()) << "the loop did not end on its own";
    EXPECT_FALSE(client.held);
    return {result, std::move(written)};
}

std::vector<BYTE> Bytes(std::initializer_list<std::pair<std::size_t, BYTE>> runs) {
    std::vector<BYTE> bytes;
    for (const auto& [count, value] : runs) bytes.insert(bytes.end(), count, value);
    return bytes;
}

TEST(CaptureLoop, PacketsPendingWithTheStopAreAllWrittenFirstAndAStopAloneEndsAtOnce) {
    FakeCaptureClient client;
    client.packets = {{16, false}, {4, true}, {8, false}};
    Outcome o = RunLoop(client, true, true, S_FALSE);  // both before the loop first waits
    EXPECT_EQ(o.result, S_OK);  // the last packet-size answer, not the start result
    EXPECT_EQ(o.written, Bytes({{128, 1}, {32, 0}, {64, 3}}));
    EXPECT_EQ(client.releases, 3);

    FakeCaptureClient unannounced;
    unannounced.packets = {{16, false}};  // pending, but never announced
    o = RunLoop(unannounced, false, true, S_FALSE);
    EXPECT_EQ(o.result, S_FALSE);
    EXPECT_TRUE(o.written.empty());
    EXPECT_EQ(unannounced.nexts, 0);
}

TEST(CaptureLoop, AFailingPacketCallEndsTheLoopWithItsCodeWhileNoStopComes) {
    const struct {
        const char* call;
        int onCall;
        int released;  // packets handed back before the failure
        std::size_t written;
    } cases[] = {
        {"next", 1, 0, 0},   {"next", 2, 1, 128}, {"get", 1, 0, 0},
        {"get", 2, 1, 128},  {"release", 1, 1, 128}, {"release", 2, 2, 256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.onCall));
        FakeCaptureClient client;
        client.packets = {{16, false}, {16, false}, {16, false}};
        client.failingCall = c.call;
        client.failOnCall = c.onCall;
        const Outcome o = RunLoop(client, true, false);
        EXPECT_EQ(o.result, client.failure);
        EXPECT_EQ(client.releases, c.released);
        EXPECT_EQ(o.written.size(), c.written);
    }
}

TEST(CaptureLoop, AWriteThatFailsHandsThePacketBackAndEndsWithTheBrokenPipe) {
    for (const bool silent : {false, true}) {
        FakeCaptureClient client;
        client.packets = {{16, silent}, {16, false}};
        EXPECT_EQ(RunLoop(client, true, false, S_OK, true).result, kBrokenPipe);
        EXPECT_EQ(client.gets, 1);
        EXPECT_EQ(client.releases, 1);
    }
}

}  // namespace
