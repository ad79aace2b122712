// The bytes on standard output: a fixed header, then raw frames.
#pragma once

#include "capture_format.h"
#include "platform.h"

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr HRESULT kBrokenPipe = static_cast<HRESULT>(0x8007006DL);

inline constexpr std::uint32_t kStreamVersion = 1;

// "SDRA", the version, then the capture format's rate, channels and bits, all
// little-endian.
inline constexpr std::array<std::uint8_t, 16> StreamHeader = [] {
    std::array<std::uint8_t, 16> bytes{'S', 'D', 'R', 'A'};
    const auto put = [&bytes](std::size_t at, std::uint32_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(4, kStreamVersion, 4);
    put(8, kCaptureSampleRate, 4);
    put(12, kCaptureChannels, 2);
    put(14, kCaptureBitsPerSample, 2);
    return bytes;
}();

// Writes all of [data, data + length) to standard output. kBrokenPipe when
// the reader went away (or a write took nothing); any other failed write
// gives its own code, a full disk 0x80070070.
HRESULT WriteFully(const void* data, std::uint32_t length);
