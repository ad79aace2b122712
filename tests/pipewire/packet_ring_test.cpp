#include "packet_ring.h"
#include "pw_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// One uint32 per frame carrying its sequence number, so order and loss show.
constexpr std::uint32_t kBytes = 4;

std::vector<std::uint32_t> Sequence(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint32_t> v(count);
    for (std::uint32_t i = 0; i < count; ++i) v[i] = first + i;
    return v;
}

struct Packet {
    std::vector<std::uint32_t> frames;
    bool discontinuity = false;
};

bool ReadPacket(PacketRing& ring, Packet* packet) {
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    bool gap = false;
    if (!ring.Acquire(&data, &frames, &gap)) return false;
    const auto* words = reinterpret_cast<const std::uint32_t*>(data);
    packet->frames.assign(words, words + frames);
    packet->discontinuity = gap;
    EXPECT_TRUE(ring.Release(frames));
    return true;
}

TEST(PacketRing, RejectsSizesItCannotServe) {
    PacketRing a, b, c, d;
    EXPECT_FALSE(a.Init(12, kBytes, 4));   // not a power of two
    EXPECT_FALSE(b.Init(16, kBytes, 32));  // packet larger than the ring
    EXPECT_FALSE(c.Init(16, 0, 4));
    ASSERT_TRUE(d.Init(16, kBytes, 4));
    EXPECT_FALSE(d.Init(16, kBytes, 4));  // only once
}

TEST(PacketRing, EmptyRingHasNothingToHandOut) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, kBytes, 8));
    EXPECT_EQ(ring.NextPacketFrames(), 0u);
    Packet p;
    EXPECT_FALSE(ReadPacket(ring, &p));
    EXPECT_FALSE(ring.Acquired());
    EXPECT_TRUE(ring.Release(0));
    EXPECT_FALSE(ring.Release(3));  // nothing acquired
}

TEST(PacketRing, HandsOutFramesInOrderInCappedPackets) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(32, kBytes, 8));
    const auto in = Sequence(100, 20);
    ASSERT_EQ(ring.Write(in.data(), 20), 20u);
    EXPECT_EQ(ring.NextPacketFrames(), 8u);

    std::vector<std::uint32_t> out;
    std::vector<std::uint32_t> sizes;
    Packet p;
    while (ReadPacket(ring, &p)) {
        EXPECT_FALSE(p.discontinuity);
        sizes.push_back(static_cast<std::uint32_t>(p.frames.size()));
        out.insert(out.end(), p.frames.begin(), p.frames.end());
    }
    EXPECT_EQ(out, in);
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{8, 8, 4}));
}

TEST(PacketRing, WrappedPacketArrivesContiguous) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, kBytes, 16));
    const auto first = Sequence(0, 12);
    ASSERT_EQ(ring.Write(first.data(), 12), 12u);
    Packet p;
    ASSERT_TRUE(ReadPacket(ring, &p));
    EXPECT_EQ(p.frames, first);

    // Occupies slots 12..15 and 0..5 of the ring.
    const auto second = Sequence(12, 10);
    ASSERT_EQ(ring.Write(second.data(), 10), 10u);
    ASSERT_TRUE(ReadPacket(ring, &p));
    EXPECT_EQ(p.frames, second);
    EXPECT_FALSE(p.discontinuity);
    EXPECT_EQ(ring.NextPacketFrames(), 0u);
}

TEST(PacketRing, PacketMustBeReleasedWholeAndInOrder) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, kBytes, 8));
    const auto in = Sequence(0, 6);
    ring.Write(in.data(), 6);
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    bool gap = false;
    ASSERT_TRUE(ring.Acquire(&data, &frames, &gap));
    EXPECT_TRUE(ring.Acquired());
    EXPECT_FALSE(ring.Release(frames - 1));
    EXPECT_TRUE(ring.Release(0));  // gives the packet back unread
    EXPECT_EQ(ring.NextPacketFrames(), 6u);
    ASSERT_TRUE(ring.Acquire(&data, &frames, &gap));
    EXPECT_TRUE(ring.Release(frames));
    EXPECT_EQ(ring.NextPacketFrames(), 0u);
}

TEST(PacketRing, FullRingDropsAndFlagsThePacketAfterTheGapOnce) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, kBytes, 16));
    const auto in = Sequence(0, 20);
    EXPECT_EQ(ring.Write(in.data(), 20), 16u);  // 16..19 lost
    const auto more = Sequence(50, 4);
    EXPECT_EQ(ring.Write(more.data(), 4), 0u);  // still full: lost too

    Packet p;
    ASSERT_TRUE(ReadPacket(ring, &p));
    EXPECT_EQ(p.frames, Sequence(0, 16));
    EXPECT_FALSE(p.discontinuity);

    const auto after = Sequence(60, 5);
    ASSERT_EQ(ring.Write(after.data(), 5), 5u);
    ASSERT_TRUE(ReadPacket(ring, &p));
    EXPECT_EQ(p.frames, after);
    EXPECT_TRUE(p.discontinuity);

    const auto later = Sequence(65, 3);
    ring.Write(later.data(), 3);
    ASSERT_TRUE(ReadPacket(ring, &p));
    EXPECT_FALSE(p.discontinuity);
}

TEST(PacketRing, PacketStopsAtTheGapSoTheFlagLandsOnTheFirstFrameAfterIt) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, kBytes, 16));
    const auto in = Sequence(0, 16);
    ring.Write(in.data(), 16);
    ring.Write(in.data(), 4);  // dropped: gap after frame 15
    Packet p;
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    bool gap = false;
    // Read the first half only, then new frames arrive behind the gap.
    ASSERT_TRUE(ring.Acquire(&data, &frames, &gap));
    ASSERT_TRUE(ring.Release(frames));
    EXPECT_EQ(frames, 16u);
    const auto after = Sequence(100, 8);
    ring.Write(after.data(), 8);
    ASSERT_TRUE(ReadPacket(ring, &p));
    EXPECT_EQ(p.frames, after);
    EXPECT_TRUE(p.discontinuity);

    // Gap in the middle of pending data: the packet before it must not cross it.
    PacketRing mid;
    ASSERT_TRUE(mid.Init(16, kBytes, 12));
    mid.Write(in.data(), 16);
    mid.Write(in.data(), 1);  // lost: the next frame written follows a gap
    ASSERT_TRUE(ReadPacket(mid, &p));
    EXPECT_EQ(p.frames, Sequence(0, 12));
    EXPECT_EQ(mid.Write(after.data(), 8), 8u);  // pending: 12..15, then 100..107
    EXPECT_EQ(mid.NextPacketFrames(), 4u);
    ASSERT_TRUE(ReadPacket(mid, &p));
    EXPECT_FALSE(p.discontinuity);
    EXPECT_EQ(p.frames, Sequence(12, 4));
    ASSERT_TRUE(ReadPacket(mid, &p));
    EXPECT_TRUE(p.discontinuity);
    EXPECT_EQ(p.frames, after);
}

TEST(PacketRing, ProductionSizeHoldsTwoSecondsOfQuantaWithoutLoss) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(kRingFrames, kFrameBytes, kMaxPacketFrames));
    constexpr std::uint32_t kQuantum = 1024;
    std::vector<std::uint8_t> quantum(kQuantum * kFrameBytes, 0x5a);
    std::uint32_t stored = 0;
    while (stored < 2 * 48000 + 8192) {  // two seconds plus a few quanta in flight
        ASSERT_EQ(ring.Write(quantum.data(), kQuantum), kQuantum) << "after " << stored;
        stored += kQuantum;
    }
    std::uint32_t read = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    bool gap = false;
    while (ring.Acquire(&data, &frames, &gap)) {
        EXPECT_FALSE(gap);
        EXPECT_LE(frames, kMaxPacketFrames);
        read += frames;
        ring.Release(frames);
    }
    EXPECT_EQ(read, stored);
}

// A producer thread against the consumer: every frame arrives in order, and
// frames go missing only right before a packet flagged as a discontinuity.
TEST(PacketRing, ConcurrentProducerAndConsumerKeepOrderAndFlagEveryLoss) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(256, kBytes, 64));
    constexpr std::uint32_t kTotal = 400000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<std::uint32_t> chunk(48);
        for (std::uint32_t next = 0; next < kTotal;) {
            for (std::uint32_t i = 0; i < chunk.size(); ++i) chunk[i] = next + i;
            ring.Write(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
            next += static_cast<std::uint32_t>(chunk.size());
            if (next % 4800 == 0) std::this_thread::yield();
        }
        done.store(true);
    });
    std::int64_t expected = 0;
    std::uint64_t received = 0, unflaggedJumps = 0, flagged = 0;
    Packet p;
    for (;;) {
        const bool finished = done.load();
        if (!ReadPacket(ring, &p)) {
            if (finished) break;
            continue;
        }
        if (static_cast<std::int64_t>(p.frames.front()) != expected && !p.discontinuity)
            ++unflaggedJumps;
        if (p.discontinuity) ++flagged;
        for (std::size_t i = 1; i < p.frames.size(); ++i)
            ASSERT_EQ(p.frames[i], p.frames[i - 1] + 1) << "a packet spans a gap";
        ASSERT_GE(static_cast<std::int64_t>(p.frames.front()), expected) << "frames reordered";
        expected = p.frames.back() + 1;
        received += p.frames.size();
    }
    producer.join();
    EXPECT_EQ(unflaggedJumps, 0u);
    EXPECT_EQ(received == kTotal, flagged == 0);
}

}  // namespace
