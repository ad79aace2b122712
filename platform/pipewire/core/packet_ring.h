// Single-producer single-consumer frame ring between PipeWire's real-time
// thread (producer) and the capture thread (consumer). Neither side locks or
// allocates after Init.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class PacketRing {
public:
    PacketRing() = default;
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;
    ~PacketRing();

    // capacityFrames must be a power of two. False when out of memory or the
    // sizes make no sense.
    bool Init(std::uint32_t capacityFrames, std::uint32_t frameBytes,
              std::uint32_t maxPacketFrames);

    // ---- producer ----
    // Copies what fits; the rest is dropped and the packet that follows the
    // gap is flagged as a discontinuity. Returns the frames stored.
    std::uint32_t Write(const void* data, std::uint32_t frames);

    // ---- consumer ----
    // Frames the next packet will hold, 0 when nothing is pending.
    std::uint32_t NextPacketFrames() const;
    // Hands out the next packet; it stays valid until Release. Returns false
    // when nothing is pending. A packet that wraps the ring end is copied
    // into a staging area so the caller always sees contiguous frames.
    bool Acquire(const std::uint8_t** data, std::uint32_t* frames, bool* discontinuity);
    // Only the whole acquired packet (or 0 frames) may be released.
    bool Release(std::uint32_t frames);
    bool Acquired() const { return acquired_ != 0; }


private:
    // Distance from frame `from` to the next frame that follows a gap, within
    // `limit` frames; `limit` when there is none.
    std::uint32_t FramesBeforeGap(std::uint64_t from, std::uint32_t limit) const;

    std::uint8_t* ring_ = nullptr;
    std::uint8_t* staging_ = nullptr;
    // One byte per ring slot: 1 marks the first frame written after frames
    // were lost. Set by the producer before publishing the frame, cleared by
    // the consumer before giving the slot back, so every gap keeps its mark.
    std::uint8_t* gapMarks_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t frameBytes_ = 0;
    std::uint32_t maxPacket_ = 0;

    // Frame counters since Init; they never wrap in practice (2^64 frames).
    alignas(64) std::atomic<std::uint64_t> written_{0};
    bool lost_ = false;  // producer-only: frames were dropped since the last write
    alignas(64) std::atomic<std::uint64_t> read_{0};
    std::uint32_t acquired_ = 0;  // consumer-only
};
