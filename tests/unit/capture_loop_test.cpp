#include "capture_loop.h"
#include "stop_watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <tuple>
#include <thread>

#ifndef _WIN32
#include <posix_test_hooks.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// A platform that always has a packet of 480 frames pending, `left` frames in all; the stop
// comes once the first is taken.
struct EndlessCaptureClient final : IAudioCaptureClient {
    std::uint64_t left = 0;
    HANDLE stop = nullptr;
    std::vector<BYTE> bytes = std::vector<BYTE>(480 * 8);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** o) override { return *o = nullptr, E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return *frames = left >= 480 ? 480 : 0, S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override {
        return *data = bytes.data(), *frames = 480, *flags = 0, S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        return left -= frames, SetEvent(stop), S_OK;
    }
};

// A stop during a pass, the platform delivering as fast as it is taken: the run still ends
// after that pass and the drain after Stop, each at most a ring's worth, not after
// everything the platform would ever deliver. No writer: the ring just drops.
TEST(CaptureLoop, AStopEndsTheRunWhateverThePlatformKeepsDelivering) {
    OutputWriter writer;
    ASSERT_TRUE(writer.ring.Init(8));
    writer.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE events[3] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                              CreateEventW(nullptr, TRUE, FALSE, nullptr),
                              CreateEventW(nullptr, FALSE, TRUE, nullptr)};
    EndlessCaptureClient client;
    const std::uint64_t offered = 8 * std::uint64_t{kRingKeptFrames};
    client.left = offered, client.stop = events[0];
    EXPECT_EQ(RunCaptureLoop(&client, events, writer, S_OK), S_OK);
    EXPECT_EQ(DrainStoppedClient(&client, writer, S_OK), S_OK);
    EXPECT_LE(offered - client.left, 2 * std::uint64_t{kRingKeptFrames} + 960);
    for (HANDLE event : {events[0], events[1], events[2], writer.wake}) CloseHandle(event);
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
// A handler installed without SA_RESTART, as a host or a library may do: a blocking read (or
// write: the same loop) it interrupts returns EINTR, and must be made again.
sem_t handled;
void CountSignal(int) { sem_post(&handled); }

// The stop watcher, blocked on stdin, takes SIGUSR1 20 times, each once the last was handled:
// the capture must stop only on the byte, and the watcher let go of its own handle.
TEST(StandardStreams, SignalsDuringABlockedReadDoNotStopTheCapture) {
    struct sigaction action{}, saved{};
    action.sa_handler = CountSignal;
    sem_init(&handled, 0, 0), sigaction(SIGUSR1, &action, &saved);
    sigset_t usr1, unblocked;
    sigemptyset(&usr1), sigaddset(&usr1, SIGUSR1);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    const int savedIn = dup(0);
    dup2(in[0], 0);
    const long handles = PosixOpenHandleCount();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(StartStopWatcher(stop), S_OK);
    pthread_sigmask(SIG_BLOCK, &usr1, &unblocked);  // the watcher, which does not block it, takes it
    for (int i = 0; i < 20; ++i) {
        kill(getpid(), SIGUSR1);
        timespec guard{};
        clock_gettime(CLOCK_REALTIME, &guard), guard.tv_sec += 5;
        if (sem_timedwait(&handled, &guard) != 0) break;
    }
    ASSERT_EQ(write(in[1], "q", 1), 1);
    int unread = -1;
    EXPECT_TRUE(WaitForSingleObject(stop, 5000) == WAIT_OBJECT_0 && ioctl(in[0], FIONREAD, &unread) == 0 &&
                unread == 0) << "stopped before the byte came";
    CloseHandle(stop);
    for (int ms = 0; PosixOpenHandleCount() != handles && ms < 5000; ++ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(PosixOpenHandleCount(), handles);
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    dup2(savedIn, 0), close(savedIn);
    for (int fd : {in[0], in[1]}) close(fd);
    sigaction(SIGUSR1, &saved, nullptr), sem_destroy(&handled);
}
#endif

}  // namespace
