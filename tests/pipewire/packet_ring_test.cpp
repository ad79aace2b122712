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

TEST(PacketRing, FullRingDropsTheRestFlagsOnlyThePacketAfterTheGapAndFillsAgain) {
    PacketRing ring;
    ASSERT_TRUE(ring.Init(16, 4, 12));
    EXPECT_EQ(ring.Write(P(0, 20).first.data(), 20), 16u);
    EXPECT_EQ(Read(ring), P(0, 12));
    ASSERT_EQ(ring.Write(P(100, 8).first.data(), 8), 8u);
    EXPECT_EQ(Read(ring), P(12, 4));  // a packet never crosses the gap
    EXPECT_EQ(Read(ring), P(100, 8, true));
    ASSERT_EQ(ring.Write(P(108, 16).first.data(), 16), 16u);  // to the brim, across the end
    EXPECT_EQ(Read(ring), P(108, 12));
    EXPECT_EQ(Read(ring), P(120, 4));
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
