// The one audio format of the program: what the platform is asked to deliver,
// and what the stream header announces.
#pragma once

#include "platform.h"

#include <cstdint>

inline constexpr std::uint16_t kCaptureChannels = 2;
inline constexpr std::uint32_t kCaptureSampleRate = 48000;
inline constexpr std::uint16_t kCaptureBitsPerSample = 32;  // IEEE float
inline constexpr std::uint16_t kCaptureFrameBytes =
    static_cast<std::uint16_t>(kCaptureChannels * kCaptureBitsPerSample / 8);

inline WAVEFORMATEX CaptureFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = kCaptureChannels;
    format.nSamplesPerSec = kCaptureSampleRate;
    format.nAvgBytesPerSec = kCaptureSampleRate * kCaptureFrameBytes;
    format.nBlockAlign = kCaptureFrameBytes;
    format.wBitsPerSample = kCaptureBitsPerSample;
    format.cbSize = 0;
    return format;
}
