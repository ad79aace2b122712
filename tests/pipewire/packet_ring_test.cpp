#include "packet_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
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

TEST(PacketRing, FullRingDropsAndFlagsOnlyThePacketAfterTheGap) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, 4, 12));
    EXPECT_EQ(Write(ring, Seq(0, 20)), 16u);
    Frames got;
    bool gap = false;
    ASSERT_TRUE(Read(ring, &got, &gap));
    EXPECT_EQ(got, Seq(0, 12));
    EXPECT_FALSE(gap);
    ASSERT_EQ(Write(ring, Seq(100, 8)), 8u);
    // A packet must not cross the gap, or the flag would mark the wrong frame.
    ASSERT_TRUE(Read(ring, &got, &gap));
    EXPECT_EQ(got, Seq(12, 4));
    EXPECT_FALSE(gap);
    ASSERT_TRUE(Read(ring, &got, &gap));
    EXPECT_EQ(got, Seq(100, 8));
    EXPECT_TRUE(gap);
    ASSERT_EQ(Write(ring, Seq(108, 3)), 3u);
    ASSERT_TRUE(Read(ring, &got, &gap));
    EXPECT_FALSE(gap);
}

}  // namespace
