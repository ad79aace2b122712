#include "capture_loop.h"
#include "output_stream.h"
#include "stop_watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <tuple>
#include <thread>

#ifndef _WIN32
#include <posix_test_hooks.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Packet n carries bytes of the value n + 1; failingCall fails on its failOnCall-th call.
// With endless set, a packet of 480 frames is always pending, up to that many frames.
struct FakeCaptureClient final : IAudioCaptureClient {
    std::deque<std::pair<UINT32, bool>> packets;  // frames, silent
    std::uint64_t endless = 0;
    std::string failingCall;  // "next", "get" or "release"
    int failOnCall = 0, gets = 0, releases = 0, nexts = 0;
    HRESULT failure = static_cast<HRESULT>(0x88890004L);
    bool held = false;  // a buffer taken and not yet handed back
    std::vector<BYTE> bytes;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** o) override { return *o = nullptr, E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        if (packets.empty() && endless >= 480) packets.push_back({480, false}), endless -= 480;
        *frames = packets.empty() ? 0 : packets.front().first;
        return Fails("next", ++nexts) ? failure : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                        UINT64*) override {
        if (Fails("get", gets + 1)) return failure;
        if (packets.empty() || held) return AUDCLNT_E_OUT_OF_ORDER;
        bytes.assign(std::size_t{packets.front().first} * 8, static_cast<BYTE>(++gets));
        *data = bytes.data(), *frames = packets.front().first, held = true;
        *flags = packets.front().second ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (!held || frames != packets.front().first) return AUDCLNT_E_OUT_OF_ORDER;
        held = false, packets.pop_front();
        return Fails("release", ++releases) ? failure : S_OK;
    }
    bool Fails(const char* call, int count) const { return failingCall == call && count == failOnCall; }
};

struct Outcome {
    HRESULT loop, writer;
    std::vector<BYTE> written;
};

// The loop and its writer thread; stdout goes to a pipe (reader gone first with
// readerGone); a hang is stopped after 5 s.
Outcome RunLoop(FakeCaptureClient& client, bool sampleReady, bool stop, HRESULT startResult = S_OK,
                bool readerGone = false) {
    OutputWriter writer;
    EXPECT_TRUE(writer.ring.Init(8));
    writer.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writer.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE events[3] = {CreateEventW(nullptr, TRUE, stop, nullptr), writer.done,
                        CreateEventW(nullptr, FALSE, sampleReady, nullptr)},
           finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool stopNeeded = false;  // read only after the join
    std::thread watchdog([&] {
        if (WaitForSingleObject(finished, 5000) == WAIT_TIMEOUT) stopNeeded = true, SetEvent(events[0]); });
    std::vector<BYTE> written, chunk(4096);
    HRESULT writerResult = E_FAIL;
    const auto run = [&] {
        EXPECT_EQ(StartOutputWriter(writer), S_OK);
        HRESULT result = RunCaptureLoop(&client, events, writer, startResult);
        if (SUCCEEDED(result)) result = DrainStoppedClient(&client, writer, result);  // as the controller
        writerResult = FinishOutputWriter(writer);
        return result;
    };
    // Read while the loop runs: the writer must not block on a full pipe.
#ifdef _WIN32
    HANDLE read = nullptr, write = nullptr, saved = GetStdHandle(STD_OUTPUT_HANDLE);
    CreatePipe(&read, &write, nullptr, 1 << 16), SetStdHandle(STD_OUTPUT_HANDLE, write);
    if (readerGone) CloseHandle(read), read = nullptr;
    std::thread reader([&] {
        for (DWORD got = 0; read != nullptr && ReadFile(read, chunk.data(), 4096, &got, nullptr) && got > 0;)
            written.insert(written.end(), chunk.begin(), chunk.begin() + got);
    });
    const HRESULT result = run();
    SetStdHandle(STD_OUTPUT_HANDLE, saved), CloseHandle(write), reader.join();
    if (read != nullptr) CloseHandle(read);
#else
    std::signal(SIGPIPE, SIG_IGN);  // as the program's entry does
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    const int saved = dup(1);
    dup2(ends[1], 1), close(ends[1]);
    if (readerGone) close(ends[0]);
    std::thread reader([&] {
        for (ssize_t got; !readerGone && (got = read(ends[0], chunk.data(), chunk.size())) > 0;)
            written.insert(written.end(), chunk.begin(), chunk.begin() + got);
    });
    const HRESULT result = run();
    dup2(saved, 1), close(saved), reader.join();
    if (!readerGone) close(ends[0]);
#endif
    SetEvent(finished), watchdog.join();
    for (HANDLE event : {events[0], events[2], finished, writer.wake, writer.done}) CloseHandle(event);
    EXPECT_FALSE(stopNeeded || client.held) << "the loop hung or kept a buffer";
    return {result, writerResult, written};
}

// Packets pending with the stop, announced or not, are still written, before the run ends.
TEST(CaptureLoop, PacketsPendingWithTheStopAreAllWrittenFirst) {
    for (const bool announced : {true, false}) {
        FakeCaptureClient client;
        client.packets = {{16, false}, {4, true}, {8, false}};
        const Outcome out = RunLoop(client, announced, true, S_FALSE);
        std::vector<BYTE> expected(128, 1);
        expected.insert(expected.end(), 32, 0), expected.insert(expected.end(), 64, 3);
        EXPECT_EQ(std::pair(out.loop, out.writer), std::pair(S_OK, S_OK));  // the last packet-size answer
        EXPECT_EQ(out.written, expected);
    }
}

// A platform that always has a packet pending: the stop still ends the run after at most
// one more pass, a ring's worth, not after everything it would ever deliver.
TEST(CaptureLoop, AStopEndsTheRunWhateverThePlatformKeepsDelivering) {
    FakeCaptureClient client;
    const std::uint64_t offered = 8 * std::uint64_t{kRingKeptFrames};
    client.endless = offered;
    const Outcome out = RunLoop(client, true, true);
    EXPECT_EQ(std::pair(out.loop, out.writer), std::pair(S_OK, S_OK));
    EXPECT_LE(offered - client.endless, kRingKeptFrames + 960u);  // the last taken, one announced
}

// A failing packet call or write (reader gone) ends the loop with its code, no stop needed.
TEST(CaptureLoop, AFailingPacketCallOrWriteEndsTheLoopWithItsCode) {
    const struct { const char* call; int onCall, released; bool silent = false, readerGone = false; } cases[] = {
        {"next", 1, 0}, {"next", 2, 1}, {"get", 1, 0}, {"get", 2, 1}, {"release", 1, 1},
        {"release", 2, 2}, {"", 0, 1, false, true}, {"", 0, 1, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        FakeCaptureClient client;
        client.packets = {{16, c.silent}, {16, false}, {16, false}};
        client.failingCall = c.call, client.failOnCall = c.onCall;
        const Outcome out = RunLoop(client, true, false, S_OK, c.readerGone);
        // The writer's end, not the loop's, tells of the reader.
        EXPECT_EQ(std::pair(out.loop, out.writer), c.readerGone ? std::pair(S_OK, kBrokenPipe)
                                                                : std::pair(client.failure, S_OK));
        if (c.readerGone) continue;  // the loop may have taken more before it heard
        EXPECT_EQ(std::pair(client.gets, client.releases), std::pair(c.released, c.released));
        EXPECT_EQ(out.written.size(), std::size_t(c.released) * 128);
    }
}

// Frames carry their own number; the writer holds one block out (stalled) while far more
// than the ring arrives: that block stays intact, the oldest queued audio goes, and what
// remains is whole frames, in order, with one gap: the held block and 65 whole blocks. Each
// block's start is the number of its first frame.
TEST(OutputRing, AStalledWriterLosesTheOldestQueuedAudioNeverTheBlockItWrites) {
    OutputRing ring;
    ASSERT_TRUE(ring.Init(8));
    std::uint64_t next = 0;
    const auto append = [&](std::uint32_t frames) {
        std::vector<std::uint64_t> packet(frames);
        for (auto& frame : packet) frame = next++;
        ring.Append(reinterpret_cast<const BYTE*>(packet.data()), frames);
    };
    append(1000);
    OutputRing::Block held{};
    ASSERT_TRUE(ring.Claim(&held));
    while (next < 1000 + 3 * 65 * 4096) append(4096);
    std::vector<std::uint64_t> out;
    std::size_t starts = 0;
    for (OutputRing::Block b = held; b.data != nullptr; b = {}, ring.Claim(&b)) {
        const std::size_t at = out.size();
        out.resize(at + b.frames);
        std::memcpy(out.data() + at, b.data, b.bytes);
        starts += out[at] == b.start;
        ring.Free(b.index);
    }
    std::size_t gaps = 0;
    for (std::size_t i = 1; i < out.size(); ++i) gaps += out[i] != out[i - 1] + 1;
    EXPECT_EQ(std::tuple(gaps, out.back(), out.size(), starts),
              std::tuple(std::size_t{1}, next - 1, std::size_t{267240}, std::size_t{66}));
}

// Silence is zeros in blocks the ring reuses too: after far more than its 66 blocks of audio,
// a run of silent packets comes out all zero, whole.
TEST(OutputRing, SilenceInReusedBlocksIsAllZeros) {
    OutputRing ring;
    ASSERT_TRUE(ring.Init(8));
    const std::vector<BYTE> loud(480 * 8, 0xFF);
    for (int i = 0; i < 700; ++i) ring.Append(i < 600 ? loud.data() : nullptr, 480);
    std::vector<BYTE> out;
    for (OutputRing::Block b{}; ring.Claim(&b); ring.Free(b.index))
        out.insert(out.end(), b.data, b.data + b.bytes);
    ASSERT_GE(out.size(), 100u * 480 * 8);
    EXPECT_EQ(std::count(out.end() - 100 * 480 * 8, out.end(), BYTE{0}), 100 * 480 * 8);
}

#ifndef _WIN32
// A handler installed without SA_RESTART, as a host or a library may do: a blocking read or write
// it interrupts returns EINTR, and must be made again.
sem_t handled;
void CountSignal(int) { sem_post(&handled); }

// Sends SIGUSR1 `count` times, each once the last was handled; `thread` 0 sends it to the
// process, so whichever thread does not block it takes it. Stops early when none takes it.
void Interrupt(pthread_t thread, int count) {
    for (int i = 0; i < count; ++i) {
        thread == pthread_t{} ? kill(getpid(), SIGUSR1) : pthread_kill(thread, SIGUSR1);
        timespec guard{};
        clock_gettime(CLOCK_REALTIME, &guard), guard.tv_sec += 5;
        if (sem_timedwait(&handled, &guard) != 0) return;
    }
}

TEST(StandardStreams, SignalsDuringABlockedReadOrWriteNeitherStopTheCaptureNorBreakTheStream) {
    struct sigaction action{}, saved{};
    action.sa_handler = CountSignal;
    sem_init(&handled, 0, 0), sigaction(SIGUSR1, &action, &saved);
    sigset_t usr1, unblocked;
    sigemptyset(&usr1), sigaddset(&usr1, SIGUSR1);
    int in[2], out[2];
    ASSERT_TRUE(pipe(in) == 0 && pipe(out) == 0);
    const int savedIn = dup(0), savedOut = dup(1);
    dup2(in[0], 0), dup2(out[1], 1), close(out[1]);  // what the test reports waits for the end

    // A write blocked on a full pipe takes every signal: all of it must still arrive.
    std::vector<BYTE> sent(1 << 20), got;
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<BYTE>(i * 7 / 5);
    pthread_sigmask(SIG_BLOCK, &usr1, &unblocked);
    std::thread reader([&, writer = pthread_self()] {
        const int size = fcntl(out[0], F_GETPIPE_SZ);
        for (int queued = 0; ioctl(out[0], FIONREAD, &queued) == 0 && queued < size;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // until the writer waits
        Interrupt(writer, 20);
        std::vector<BYTE> chunk(1 << 16);
        for (ssize_t n; (n = read(out[0], chunk.data(), chunk.size())) > 0;)
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
    });
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    const HRESULT written = WriteFully(sent.data(), static_cast<std::uint32_t>(sent.size()));
    dup2(savedOut, 1), close(savedOut);  // the reader sees the end
    reader.join();

    // The stop watcher, blocked on stdin, takes every signal: the capture must stop only on the byte.
    const long handles = PosixOpenHandleCount();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(StartStopWatcher(stop), S_OK);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    Interrupt(pthread_t{}, 20);
    ASSERT_EQ(write(in[1], "q", 1), 1);
    int unread = -1;
    EXPECT_TRUE(WaitForSingleObject(stop, 5000) == WAIT_OBJECT_0 && ioctl(in[0], FIONREAD, &unread) == 0 &&
                unread == 0) << "stopped before the byte came";
    CloseHandle(stop);
    for (int ms = 0; PosixOpenHandleCount() != handles && ms < 5000; ++ms)  // the watcher lets go of its own
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(PosixOpenHandleCount(), handles);
    EXPECT_EQ(written, S_OK);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    dup2(savedIn, 0), close(savedIn);
    for (int fd : {in[0], in[1], out[0]}) close(fd);
    sigaction(SIGUSR1, &saved, nullptr), sem_destroy(&handled);
}
#endif

}  // namespace
