// The bytes on standard output: a fixed header, then raw frames.
#pragma once

#include "platform.h"

#include <array>
#include <cstdint>

inline constexpr HRESULT kBrokenPipe = static_cast<HRESULT>(0x8007006DL);

// "SDRA", version 1, 48000 Hz, 2 channels, 32 bits, all little-endian.
inline constexpr std::array<std::uint8_t, 16> StreamHeader = {
    0x53, 0x44, 0x52, 0x41,  // magic
    0x01, 0x00, 0x00, 0x00,  // version
    0x80, 0xBB, 0x00, 0x00,  // sample rate
    0x02, 0x00,              // channels
    0x20, 0x00,              // bits per sample
};

// Writes all of [data, data + length) to standard output, or returns
// kBrokenPipe when a write fails or takes nothing.
HRESULT WriteFully(const void* data, std::uint32_t length);
