// The part of a buffer's plane a peer's chunk may name. The chunk is the
// peer's word: its offset is kept inside the plane and its size to what is
// left after it, as PipeWire's own tools do. No PipeWire here; the tap's
// data thread calls it once per plane and block.
#pragma once

#include <cstdint>

struct ChunkSpan {
    std::uint32_t offset;   // bytes into the plane
    std::uint32_t samples;  // whole float samples from there
};

inline ChunkSpan ClampChunk(std::uint32_t offset, std::uint32_t size, std::uint32_t maxsize) {
    const std::uint32_t start = offset < maxsize ? offset : maxsize;
    const std::uint32_t left = maxsize - start;
    return {start, static_cast<std::uint32_t>((size < left ? size : left) / sizeof(float))};
}
