#include "packet_ring.h"

#include <cstring>
#include <new>

PacketRing::~PacketRing() {
    delete[] ring_;
    delete[] staging_;
    delete[] gapMarks_;
}

bool PacketRing::Init(std::uint32_t capacityFrames, std::uint32_t frameBytes,
                      std::uint32_t maxPacketFrames) {
    if (ring_ != nullptr || capacityFrames == 0 || (capacityFrames & (capacityFrames - 1)) != 0 ||
        frameBytes == 0 || maxPacketFrames == 0 || maxPacketFrames > capacityFrames)
        return false;
    ring_ = new (std::nothrow) std::uint8_t[std::size_t{capacityFrames} * frameBytes];
    staging_ = new (std::nothrow) std::uint8_t[std::size_t{maxPacketFrames} * frameBytes];
    gapMarks_ = new (std::nothrow) std::uint8_t[capacityFrames]();
    if (ring_ == nullptr || staging_ == nullptr || gapMarks_ == nullptr) {
        delete[] ring_;
        delete[] staging_;
        delete[] gapMarks_;
        ring_ = staging_ = gapMarks_ = nullptr;
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

    if (n > 0) {
        const auto offset = static_cast<std::uint32_t>(w & (capacity_ - 1));
        const std::uint32_t first = n < capacity_ - offset ? n : capacity_ - offset;
        const auto* source = static_cast<const std::uint8_t*>(data);
        std::memcpy(ring_ + std::size_t{offset} * frameBytes_, source,
                    std::size_t{first} * frameBytes_);
        std::memcpy(ring_, source + std::size_t{first} * frameBytes_,
                    std::size_t{n - first} * frameBytes_);
        if (lost_) {
            gapMarks_[offset] = 1;
            lost_ = false;
        }
        written_.store(w + n, std::memory_order_release);
    }
    if (n < frames) lost_ = true;
    return n;
}

std::uint32_t PacketRing::FramesBeforeGap(std::uint64_t from, std::uint32_t limit) const {
    // The first frame may carry a mark of its own; only later ones end the packet.
    for (std::uint32_t k = 1; k < limit;) {
        const auto offset = static_cast<std::uint32_t>((from + k) & (capacity_ - 1));
        std::uint32_t span = capacity_ - offset;
        if (span > limit - k) span = limit - k;
        const void* mark = std::memchr(gapMarks_ + offset, 1, span);
        if (mark != nullptr)
            return k + static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(mark) -
                                                  (gapMarks_ + offset));
        k += span;
    }
    return limit;
}

std::uint32_t PacketRing::NextPacketFrames() const {
    if (ring_ == nullptr) return 0;
    const std::uint64_t w = written_.load(std::memory_order_acquire);
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t pending = w - r;
    const auto limit = static_cast<std::uint32_t>(pending < maxPacket_ ? pending : maxPacket_);
    // A packet never spans a gap, so the flag lands on the first frame after it.
    return limit == 0 ? 0 : FramesBeforeGap(r, limit);
}

bool PacketRing::Acquire(const std::uint8_t** data, std::uint32_t* frames, bool* discontinuity) {
    *data = nullptr;
    *frames = 0;
    *discontinuity = false;
    if (acquired_ != 0) return false;
    const std::uint32_t n = NextPacketFrames();
    if (n == 0) return false;
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const auto offset = static_cast<std::uint32_t>(r & (capacity_ - 1));
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
    *discontinuity = gapMarks_[offset] != 0;
    *frames = n;
    acquired_ = n;
    return true;
}

bool PacketRing::Release(std::uint32_t frames) {
    if (frames != 0 && frames != acquired_) return false;
    if (frames != 0) {
        const std::uint64_t r = read_.load(std::memory_order_relaxed);
        gapMarks_[r & (capacity_ - 1)] = 0;  // before the slot goes back to the producer
        read_.store(r + frames, std::memory_order_release);
    }
    acquired_ = 0;
    return true;
}
