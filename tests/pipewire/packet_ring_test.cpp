#include "packet_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// One uint32 per frame holding its sequence number, so order and loss show.
using Frames = std::vector<std::uint32_t>;

Frames Seq(std::uint32_t first, std::uint32_t count) {
    Frames v(count);
    for (std::uint32_t i = 0; i < count; ++i) v[i] = first + i;
    return v;
}

std::uint32_t Write(PacketRing& ring, const Frames& frames) {
    return ring.Write(frames.data(), static_cast<std::uint32_t>(frames.size()));
}

bool Read(PacketRing& ring, Frames* frames, bool* gap) {
    const std::uint8_t* data = nullptr;
    std::uint32_t count = 0;
    if (!ring.Acquire(&data, &count, gap)) return false;
    const auto* words = reinterpret_cast<const std::uint32_t*>(data);
    frames->assign(words, words + count);
    EXPECT_TRUE(ring.Release(count));
    return true;
}

TEST(PacketRing, EmptyThenAWrappedPacketArrivesWholeAndInOrder) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, 4, 16));
    Frames got;
    bool gap = false;
    EXPECT_EQ(ring.NextPacketFrames(), 0u);
    EXPECT_FALSE(Read(ring, &got, &gap));
    ASSERT_EQ(Write(ring, Seq(0, 12)), 12u);
    ASSERT_TRUE(Read(ring, &got, &gap));
    ASSERT_EQ(Write(ring, Seq(12, 10)), 10u);  // slots 12..15, then 0..5
    ASSERT_TRUE(Read(ring, &got, &gap));
    EXPECT_EQ(got, Seq(12, 10));
    EXPECT_FALSE(gap);
    EXPECT_FALSE(Read(ring, &got, &gap));
}

// Reads one packet: frames first..first+count-1, flagged or not.
void ExpectPacket(PacketRing& ring, std::uint32_t first, std::uint32_t count, bool flagged) {
    Frames got;
    bool gap = !flagged;
    ASSERT_TRUE(Read(ring, &got, &gap));
    EXPECT_EQ(got, Seq(first, count));
    EXPECT_EQ(gap, flagged) << "packet from " << first;
}

TEST(PacketRing, FullRingDropsTheRestFlagsOnlyThePacketAfterTheGapAndFillsAgain) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, 4, 12));
    EXPECT_EQ(Write(ring, Seq(0, 20)), 16u);
    ExpectPacket(ring, 0, 12, false);
    ASSERT_EQ(Write(ring, Seq(100, 8)), 8u);
    // A packet must not cross the gap, or the flag would mark the wrong frame.
    ExpectPacket(ring, 12, 4, false);
    ExpectPacket(ring, 100, 8, true);
    // Drained, then filled to the brim across the end: all of it comes back,
    // and only what follows the next drop is flagged.
    ASSERT_EQ(Write(ring, Seq(108, 16)), 16u);
    EXPECT_EQ(Write(ring, Seq(124, 1)), 0u);
    ExpectPacket(ring, 108, 12, false);
    ExpectPacket(ring, 120, 4, false);
    ASSERT_EQ(Write(ring, Seq(125, 16)), 16u);
    ExpectPacket(ring, 125, 12, true);
    ExpectPacket(ring, 137, 4, false);
}

// The real-time writer and the reading thread at once: every frame read is
// the one written, in order; a jump is always flagged and never goes back.
TEST(PacketRing, ConcurrentWriterAndReaderKeepOrderAndFlagEveryGap) {
    constexpr std::uint32_t kTotal = 1u << 20;
    PacketRing ring;
    ASSERT_TRUE(ring.Init(256, 4, 64));
    std::atomic<bool> done{false};
    std::uint32_t stored = 0;
    std::thread writer([&] {
        Frames block;
        for (std::uint32_t next = 0; next < kTotal;) {
            const std::uint32_t n = 1 + next % 97;
            block = Seq(next, n);
            stored += Write(ring, block);
            next += n;
            if (next % 7 == 0) std::this_thread::yield();
        }
        done.store(true, std::memory_order_release);
    });
    std::uint64_t read = 0, gaps = 0, flagged = 0;
    std::uint32_t expected = 0;
    Frames got;
    bool gap = false;
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        if (!Read(ring, &got, &gap)) {
            if (finished) break;
            std::this_thread::yield();
            continue;
        }
        ASSERT_FALSE(got.empty());
        flagged += gap ? 1 : 0;
        if (got[0] != expected) {
            ASSERT_GT(got[0], expected);
            ASSERT_TRUE(gap) << "unflagged jump from " << expected << " to " << got[0];
            ++gaps;
        }
        for (std::size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i], got[0] + i);
        expected = got.back() + 1;
        read += got.size();
    }
    writer.join();
    EXPECT_EQ(read, stored);
    EXPECT_EQ(flagged, gaps);
}

}  // namespace
