#include "stream_mixer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::uint32_t kClock = 30, kQ = 4;
using Out = std::vector<float>;

Out F(std::uint32_t count, float l, float r, Out rest = {}) {
    for (std::uint32_t i = 0; i < count; ++i) rest.insert(rest.begin(), {l, r});
    return rest;
}

struct Mixer {
    PacketRing ring;
    StreamMixer mixer;
    std::vector<std::vector<PortGains>> gainSets;  // outlive every input
    Mixer() { EXPECT_TRUE(ring.Init(256, 8, 64) && mixer.Init(&ring, 8)); }
    MixerInput Add(std::vector<PortGains> g) {
        mixer.AddInput();
        const auto ports = static_cast<std::uint32_t>(g.size());
        return MixerInput{gainSets.emplace_back(std::move(g)).data(), ports};
    }
    bool Block(MixerInput& in, std::uint64_t n, float value, std::uint32_t frames = kQ) {
        const std::vector<float> samples(frames, value);
        const std::vector<const float*> planes(in.ports, samples.data());
        return mixer.Mix(in, kClock, n * kQ, planes.data(), frames);
    }
    Out Take() {
        Out all;
        const std::uint8_t* data = nullptr;
        std::uint32_t frames = 0;
        for (bool gap = false; ring.Acquire(&data, &frames, &gap); ring.Release(frames)) {
            const auto* f = reinterpret_cast<const float*>(data);
            all.insert(all.end(), f, f + 2 * frames);
        }
        return all;
    }
};

TEST(StreamMixer, CycleIsSummedWithPortGainsOnceEveryInputDelivered) {
    Mixer m;
    MixerInput surround = m.Add({{1, 0}, {0, 1}, {0.5f, 0.5f}});  // FL FR FC
    MixerInput mono = m.Add({{1, 1}});
    EXPECT_FALSE(m.Block(surround, 0, 0.25f));
    EXPECT_TRUE(m.Take().empty());
    EXPECT_TRUE(m.Block(mono, 0, 0.125f));
    EXPECT_EQ(m.Take(), F(kQ, 0.5f, 0.5f));
    // Null and gainless ports add nothing; the longest block sets the length, cut at 8.
    MixerInput left = m.Add({{1, 0}, {0, 0}});
    const std::vector<float> ones(16, 1.0f);
    const float* planes[3] = {ones.data(), nullptr, ones.data()};
    EXPECT_FALSE(m.mixer.Mix(surround, kClock, kQ, planes, 16) || m.Block(mono, 1, 0.5f, 2));
    EXPECT_TRUE(m.Block(left, 1, 0.25f, 3));
    EXPECT_EQ(m.Take(), F(2, 2.25f, 1, F(1, 1.75f, 0.5f, F(5, 1.5f, 0.5f))));
}

TEST(StreamMixer, StalledInputHoldsOthersOneCycleAtMostAndItsLateBlockIsDropped) {
    Mixer m;
    MixerInput a = m.Add({{1, 0}}), b = m.Add({{0, 1}});
    EXPECT_TRUE((m.Block(a, 0, 1), m.Block(b, 0, 2)));
    EXPECT_FALSE(m.Block(a, 1, 3));  // b stalls from here
    EXPECT_TRUE(m.Block(a, 2, 4) && m.Block(a, 3, 5));
    EXPECT_EQ(m.Take(), F(kQ, 1, 2, F(kQ, 3, 0, F(kQ, 4, 0, F(kQ, 5, 0)))));
    EXPECT_FALSE(m.Block(b, 3, 9) || m.Block(a, 4, 6));  // late: dropped, not put in cycle 4
    EXPECT_TRUE(m.Block(b, 4, 7));
    EXPECT_EQ(m.Take(), F(kQ, 6, 7));
}

TEST(StreamMixer, NewInputJoinsItsCycleLateOrHoldsOthersOneSecondAtMostAndStopFlushesOnce) {
    Mixer m;
    MixerInput a = m.Add({{1, 1}});
    EXPECT_TRUE(m.Block(a, 0, 1));
    MixerInput n = m.Add({{1, 1}});  // its first block comes cycles later, after a's
    EXPECT_FALSE(m.Block(a, 1, 1));
    EXPECT_TRUE(m.Block(a, 2, 1) && m.Block(n, 2, 2));
    EXPECT_TRUE(!m.Block(n, 3, 2) && m.Block(a, 3, 1));  // joined: the cycle waits for it
    EXPECT_TRUE(!m.Block(a, 4, 1) && m.mixer.Flush() && !m.mixer.Flush());  // stop: once
    EXPECT_EQ(m.Take(), F(2 * kQ, 1, 1, F(2 * kQ, 3, 3, F(kQ, 1, 1))));
    m.mixer.ForgetInput(n);
    MixerInput silent = m.Add({{1, 1}});  // never plays: held 48000 frames, not longer
    std::uint64_t c = 5;
    for (; c < 5 + 48000 / 8 + 2; ++c) {
        m.Block(a, c, static_cast<float>(c), 8);
        const Out out = m.Take();
        if (!out.empty() && out.back() == static_cast<float>(c)) break;
    }
    EXPECT_EQ(c, 5u + 48000 / 8);
    m.mixer.ForgetInput(silent);
}

}  // namespace
