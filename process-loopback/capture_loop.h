// The main loop: sleep until data or stop, drain every packet to stdout.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Zero samples for silent packets; grows, never shrinks, always all zeros.
struct SilenceBuffer {
    float* samples = nullptr;
    std::size_t capacity = 0;

    SilenceBuffer() = default;
    SilenceBuffer(const SilenceBuffer&) = delete;
    SilenceBuffer& operator=(const SilenceBuffer&) = delete;
    ~SilenceBuffer() { std::free(samples); }
};

// waitList: {SampleReadyEvent, StopEvent}. Returns the running result on stop,
// 0x8007006D when standard output is gone, E_OUTOFMEMORY when silence cannot
// be provided, or the first failing platform code.
HRESULT RunCaptureLoop(IAudioCaptureClient* captureClient, const HANDLE waitList[2],
                       std::uint16_t frameSize, HRESULT startResult, SilenceBuffer& silence);
