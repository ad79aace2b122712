#include "capture_loop.h"

#include "audio_thread.h"
#include "console_control.h"
#include "last_error.h"

namespace {

constexpr DWORD kStop = WAIT_OBJECT_0;
constexpr DWORD kWriterDone = WAIT_OBJECT_0 + 1;
constexpr DWORD kSampleReady = WAIT_OBJECT_0 + 2;

// Copies pending packets into the ring and hands each back at once. A pass
// ends when none is pending, or after a whole ring's worth (capped) so that a
// platform that keeps up with the copying cannot hold off a stop.
HRESULT Drain(IAudioCaptureClient* captureClient, OutputRing& ring, HRESULT& result,
              bool& capped) {
    std::uint64_t taken = 0;
    UINT32 frames = 0;
    result = captureClient->GetNextPacketSize(&frames);
    while (SUCCEEDED(result) && frames != 0) {
        if (taken >= kRingKeptFrames) {
            capped = true;
            return result;
        }
        BYTE* data = nullptr;
        DWORD flags = 0;
        UINT64 devicePosition = 0;
        UINT64 counterPosition = 0;
        result = captureClient->GetBuffer(&data, &frames, &flags, &devicePosition,
                                          &counterPosition);
        if (FAILED(result)) return result;
        if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0) ring.MarkDiscontinuity();
        const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr;
        ring.Append(silent ? nullptr : data, frames);
        taken += frames;
        result = captureClient->ReleaseBuffer(frames);
        if (FAILED(result)) return result;
        frames = 0;
        result = captureClient->GetNextPacketSize(&frames);
    }
    return result;
}

}  // namespace

HRESULT RunCaptureLoop(IAudioCaptureClient* captureClient, const HANDLE waitList[3],
                       OutputWriter& writer, HRESULT startResult) {
    const AudioThreadPriority priority;
    const ConsoleStop consoleStop(waitList[0]);
    HRESULT result = startResult;
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(3, waitList, FALSE, INFINITE);
        if (woken == kStop || woken == kWriterDone) return result;
        if (woken != kSampleReady) return LastErrorAsFailure();
        for (bool capped = true; capped;) {
            capped = false;
            Drain(captureClient, writer.ring, result, capped);
            SetEvent(writer.wake);
            if (FAILED(result)) return result;
            if (!capped) break;
            const DWORD now = WaitForMultipleObjects(2, waitList, FALSE, 0);
            if (now == kStop || now == kWriterDone) return result;
            if (now != WAIT_TIMEOUT) return LastErrorAsFailure();
        }
    }
}

HRESULT DrainStoppedClient(IAudioCaptureClient* captureClient, OutputWriter& writer,
                           HRESULT result) {
    bool capped = false;
    Drain(captureClient, writer.ring, result, capped);
    SetEvent(writer.wake);
    return result;
}
