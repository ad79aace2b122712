#include "capture_loop.h"

#include "last_error.h"
#include "output_stream.h"

#include <cstdlib>
#include <cstring>

namespace {

// Zeroed on growth only: nothing ever writes anything but zeros into it.
bool EnsureSilence(SilenceBuffer& buffer, std::size_t samples) {
    if (samples <= buffer.capacity) return true;
    if (samples > SIZE_MAX / sizeof(float)) return false;
    void* grown = std::realloc(buffer.samples, samples * sizeof(float));
    if (grown == nullptr) return false;
    buffer.samples = static_cast<float*>(grown);
    std::memset(buffer.samples + buffer.capacity, 0,
                (samples - buffer.capacity) * sizeof(float));
    buffer.capacity = samples;
    return true;
}

// A packet can hold more than 4 GiB of bytes in theory; writing it in pieces
// keeps the byte count from wrapping.
HRESULT WriteBytes(const BYTE* data, std::uint64_t bytes) {
    constexpr std::uint64_t kPiece = 0x40000000;
    while (bytes > 0) {
        const std::uint64_t piece = bytes < kPiece ? bytes : kPiece;
        const HRESULT hr = WriteFully(data, static_cast<std::uint32_t>(piece));
        if (FAILED(hr)) return hr;
        data += piece;
        bytes -= piece;
    }
    return S_OK;
}

}  // namespace

HRESULT RunCaptureLoop(IAudioCaptureClient* captureClient, const HANDLE waitList[2],
                       std::uint16_t frameSize, HRESULT startResult, SilenceBuffer& silence) {
    HRESULT result = startResult;
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0 + 1) return result;
        if (woken != WAIT_OBJECT_0) return LastErrorAsFailure();

        UINT32 frames = 0;
        result = captureClient->GetNextPacketSize(&frames);
        while (SUCCEEDED(result) && frames != 0) {
            BYTE* data = nullptr;
            DWORD flags = 0;
            UINT64 devicePosition = 0;
            UINT64 counterPosition = 0;
            result = captureClient->GetBuffer(&data, &frames, &flags, &devicePosition,
                                              &counterPosition);
            if (FAILED(result)) return result;

            const std::uint64_t bytes = static_cast<std::uint64_t>(frames) * frameSize;
            const BYTE* source = data;
            if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr) {
                const std::size_t samples = static_cast<std::size_t>(bytes / sizeof(float));
                if (!EnsureSilence(silence, samples)) {
                    captureClient->ReleaseBuffer(frames);
                    return E_OUTOFMEMORY;
                }
                source = reinterpret_cast<const BYTE*>(silence.samples);
            }
            if (FAILED(WriteBytes(source, bytes))) {
                captureClient->ReleaseBuffer(frames);
                return kBrokenPipe;
            }
            result = captureClient->ReleaseBuffer(frames);
            if (FAILED(result)) return result;

            frames = 0;
            result = captureClient->GetNextPacketSize(&frames);
        }
        if (FAILED(result)) return result;
    }
}
