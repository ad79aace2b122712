#include "packet_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ranges>
#include <thread>
#include <vector>

namespace {

using Packet = std::pair<std::vector<std::uint32_t>, bool>;  // frame numbers, gap flag

Packet P(std::uint32_t first, std::uint32_t count, bool flagged = false) {
    const auto seq = std::views::iota(first, first + count);
    return {{seq.begin(), seq.end()}, flagged};
}

Packet Read(PacketRing& ring) {
    const std::uint8_t* data = nullptr;
    std::uint32_t count = 0;
    Packet p;
    if (!ring.Acquire(&data, &count, &p.second)) return {};
    const auto* words = reinterpret_cast<const std::uint32_t*>(data);
    p.first.assign(words, words + count);
    EXPECT_TRUE(ring.Release(count));
    return p;
}

// Writes and packets that end exactly at the ring's end, each followed by the next from slot 0; a
// full ring drops the rest, and only the packet after the gap is flagged, never one across it.
TEST(PacketRing, ExactFitsAtTheEndAndGapsAnywhereKeepEveryFrameInOrder) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, 4, 12));
    ring.Write(P(0, 5).first.data(), 5), Read(ring);
    ASSERT_EQ(ring.Write(P(5, 11).first.data(), 11), 11u);  // slots 5-15
    ASSERT_EQ(ring.Write(P(16, 4).first.data(), 4), 4u);    // slots 0-3
    EXPECT_EQ(Read(ring), P(5, 12));
    EXPECT_EQ(Read(ring), P(17, 3));
    ASSERT_EQ(ring.Write(P(20, 12).first.data(), 12), 12u);  // slots 4-15
    EXPECT_EQ(ring.Write(P(32, 5).first.data(), 5), 4u);     // slots 0-3, the last frame lost
    EXPECT_EQ(Read(ring), P(20, 12));  // slots 4-15
    ASSERT_EQ(ring.Write(P(40, 11).first.data(), 11), 11u);  // after the loss: slots 4-14
    EXPECT_EQ(Read(ring), P(32, 4));
    EXPECT_EQ(Read(ring), P(40, 11, true));
    ASSERT_EQ(ring.Write(P(51, 16).first.data(), 16), 16u);  // slots 15, 0-14
    EXPECT_EQ(ring.Write(P(67, 1).first.data(), 1), 0u);
    EXPECT_EQ(Read(ring), P(51, 12));  // slots 15, 0-10
    ASSERT_EQ(ring.Write(P(70, 2).first.data(), 2), 2u);  // after the loss: slots 15, 0
    EXPECT_EQ(Read(ring), P(63, 4));   // slots 11-14, up to the gap in the last slot
    EXPECT_EQ(Read(ring), P(70, 2, true));
    EXPECT_EQ(ring.NextPacketFrames(), 0u);
}

TEST(PacketRing, ConcurrentWriterAndReaderKeepOrderAndFlagEveryGap) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(256, 4, 64));
    std::atomic<bool> done{false};
    std::uint64_t stored = 0, read = 0;
    std::thread writer([&] {
        for (std::uint32_t next = 0, n = 1; next < (1u << 20); next += n, n = 1 + next % 97)
            stored += ring.Write(P(next, n).first.data(), n);
        done.store(true, std::memory_order_release);
    });
    for (std::uint32_t expected = 0; !done.load() || ring.NextPacketFrames() != 0;) {
        const auto [got, gap] = Read(ring);
        if (got.empty()) continue;
        ASSERT_EQ(got, P(got[0], static_cast<std::uint32_t>(got.size())).first);
        ASSERT_TRUE(got[0] >= expected && gap == (got[0] != expected)) << expected << " " << got[0];
        read += got.size(), expected = got.back() + 1;
    }
    writer.join();
    EXPECT_EQ(read, stored);
}

}  // namespace
