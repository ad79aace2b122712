#include "packet_ring.h"

#include <cstring>
#include <new>

PacketRing::~PacketRing() {
    delete[] ring_;
    delete[] staging_;
}

bool PacketRing::Init(std::uint32_t capacityFrames, std::uint32_t frameBytes,
                      std::uint32_t maxPacketFrames) {
    if (ring_ != nullptr || capacityFrames == 0 || (capacityFrames & (capacityFrames - 1)) != 0 ||
        frameBytes == 0 || maxPacketFrames == 0 || maxPacketFrames > capacityFrames)
        return false;
    const std::size_t ringBytes = std::size_t{capacityFrames} * frameBytes;
    const std::size_t stagingBytes = std::size_t{maxPacketFrames} * frameBytes;
    ring_ = new (std::nothrow) std::uint8_t[ringBytes];
    staging_ = new (std::nothrow) std::uint8_t[stagingBytes];
    if (ring_ == nullptr || staging_ == nullptr) {
        delete[] ring_;
        delete[] staging_;
        ring_ = staging_ = nullptr;
        return false;
    }
    capacity_ = capacityFrames;
    frameBytes_ = frameBytes;
    maxPacket_ = maxPacketFrames;
    return true;
}

std::uint32_t PacketRing::Write(const void* data, std::uint32_t frames) {
    if (ring_ == nullptr || frames == 0) return 0;
    const std::uint64_t w = written_.load(std::memory_order_relaxed);
    const std::uint64_t r = read_.load(std::memory_order_acquire);
    const auto space = static_cast<std::uint32_t>(capacity_ - (w - r));
    const std::uint32_t n = frames < space ? frames : space;

    const std::uint32_t offset = static_cast<std::uint32_t>(w & (capacity_ - 1));
    const std::uint32_t first = n < capacity_ - offset ? n : capacity_ - offset;
    const auto* source = static_cast<const std::uint8_t*>(data);
    std::memcpy(ring_ + std::size_t{offset} * frameBytes_, source, std::size_t{first} * frameBytes_);
    std::memcpy(ring_, source + std::size_t{first} * frameBytes_,
                std::size_t{n - first} * frameBytes_);

    // The gap mark must be visible no later than the frames that follow it.
    if (n < frames) gapAt_.store(w + n, std::memory_order_relaxed);
    written_.store(w + n, std::memory_order_release);
    return n;
}

std::uint32_t PacketRing::NextPacketFrames() const {
    if (ring_ == nullptr) return 0;
    const std::uint64_t w = written_.load(std::memory_order_acquire);
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t gap = gapAt_.load(std::memory_order_relaxed);
    std::uint64_t pending = w - r;
    // A packet never spans a gap, so the flag lands on the first frame after it.
    if (gap != kNoGap && gap > r && gap < w) pending = gap - r;
    return static_cast<std::uint32_t>(pending < maxPacket_ ? pending : maxPacket_);
}

bool PacketRing::Acquire(const std::uint8_t** data, std::uint32_t* frames, bool* discontinuity) {
    *data = nullptr;
    *frames = 0;
    *discontinuity = false;
    const std::uint32_t n = NextPacketFrames();
    if (n == 0) return false;
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint32_t offset = static_cast<std::uint32_t>(r & (capacity_ - 1));
    if (n <= capacity_ - offset) {
        *data = ring_ + std::size_t{offset} * frameBytes_;
    } else {
        const std::uint32_t first = capacity_ - offset;
        std::memcpy(staging_, ring_ + std::size_t{offset} * frameBytes_,
                    std::size_t{first} * frameBytes_);
        std::memcpy(staging_ + std::size_t{first} * frameBytes_, ring_,
                    std::size_t{n - first} * frameBytes_);
        *data = staging_;
    }
    const std::uint64_t gap = gapAt_.load(std::memory_order_relaxed);
    if (gap == r && flaggedGap_ != gap) {
        *discontinuity = true;
        flaggedGap_ = gap;
    }
    *frames = n;
    acquired_ = n;
    return true;
}

bool PacketRing::Release(std::uint32_t frames) {
    if (frames != 0 && frames != acquired_) return false;
    if (frames != 0)
        read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
    acquired_ = 0;
    return true;
}
