#include "stream_mixer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace {

constexpr std::uint32_t kClock = 30;
constexpr std::uint32_t kQuantum = 4;

struct Mixer {
    PacketRing ring;
    StreamMixer mixer;
    std::deque<std::vector<PortGains>> gainSets;  // outlive every input
    Mixer() {
        EXPECT_TRUE(ring.Init(256, 8, 64));
        EXPECT_TRUE(mixer.Init(&ring, 8));
    }
    const PortGains* Gains(std::vector<PortGains> gains) {
        gainSets.push_back(std::move(gains));
        return gainSets.back().data();
    }
    MixerInput Add(std::vector<PortGains> gains) {
        mixer.AddInput();
        const auto ports = static_cast<std::uint32_t>(gains.size());
        return MixerInput{Gains(std::move(gains)), ports};
    }
    // One block of cycle n where every port of the input carries `value`.
    bool Block(MixerInput& input, std::uint64_t n, float value, std::uint32_t frames = kQuantum,
               std::uint32_t clock = kClock) {
        const std::vector<float> samples(frames, value);
        const std::vector<const float*> planes(input.ports, samples.data());
        return mixer.Mix(input, clock, n * kQuantum, planes.data(), frames);
    }
    // Everything written so far, as left/right pairs.
    std::vector<float> Out() {
        std::vector<float> all;
        const std::uint8_t* data = nullptr;
        std::uint32_t frames = 0;
        bool gap = false;
        while (ring.Acquire(&data, &frames, &gap)) {
            const auto* f = reinterpret_cast<const float*>(data);
            all.insert(all.end(), f, f + 2 * frames);
            ring.Release(frames);
        }
        return all;
    }
};

std::vector<float> Frames(std::uint32_t count, float l, float r) {
    std::vector<float> v;
    for (std::uint32_t i = 0; i < count; ++i) v.insert(v.end(), {l, r});
    return v;
}

std::vector<float> Cat(std::vector<float> a, const std::vector<float>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(StreamMixer, CycleIsSummedWithPortGainsOnceEveryInputDelivered) {
    Mixer m;
    MixerInput surround = m.Add({{1, 0}, {0, 1}, {0.5f, 0.5f}});  // FL FR FC
    MixerInput mono = m.Add({{1, 1}});
    EXPECT_FALSE(m.Block(surround, 0, 0.25f));
    EXPECT_TRUE(m.Out().empty());
    EXPECT_TRUE(m.Block(mono, 0, 0.125f));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 0.25f + 0.125f + 0.125f, 0.25f + 0.125f + 0.125f));

    // A silent port (null) and a port with no gain add nothing; the longer
    // block sets the cycle's length, cut at the mixer's largest cycle.
    MixerInput left = m.Add({{1, 0}, {0, 0}});
    const std::vector<float> ones(16, 1.0f);
    const float* planes[3] = {ones.data(), nullptr, ones.data()};
    EXPECT_FALSE(m.mixer.Mix(surround, kClock, kQuantum, planes, 16));
    EXPECT_FALSE(m.Block(mono, 1, 0.5f, 2));
    EXPECT_TRUE(m.Block(left, 1, 0.25f, 3));
    EXPECT_EQ(m.Out(), Cat(Cat(Frames(2, 2.25f, 1.0f), Frames(1, 1.75f, 0.5f)),
                           Frames(5, 1.5f, 0.5f)));

    // New gains (the application's own layout became known) apply from the
    // next block on, to that input only.
    surround.gains.store(m.Gains({{0, 0}, {0, 0}, {0.25f, 0.75f}}));
    EXPECT_FALSE(m.Block(surround, 2, 1));
    EXPECT_FALSE(m.Block(mono, 2, 0.5f));
    EXPECT_TRUE(m.Block(left, 2, 0.5f));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 0.25f + 0.5f + 0.5f, 0.75f + 0.5f));
}

TEST(StreamMixer, StalledInputHoldsTheOthersBackOneCycleAtMostAndRejoinsInStep) {
    Mixer m;
    MixerInput a = m.Add({{1, 0}});
    MixerInput b = m.Add({{0, 1}});
    EXPECT_TRUE((m.Block(a, 0, 1), m.Block(b, 0, 2)));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 1, 2));

    // b stalls: cycle 1 goes out when a delivers cycle 2, cycle 2 at once.
    EXPECT_FALSE(m.Block(a, 1, 3));
    EXPECT_TRUE(m.Block(a, 2, 4));
    EXPECT_EQ(m.Out(), Cat(Frames(kQuantum, 3, 0), Frames(kQuantum, 4, 0)));
    EXPECT_TRUE(m.Block(a, 3, 5));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 5, 0));

    // b comes back after its cycle went out: dropped, not shifted into the
    // next one, and from then on the cycle waits for b again.
    EXPECT_FALSE(m.Block(b, 3, 9));
    EXPECT_TRUE(m.Out().empty());
    EXPECT_FALSE(m.Block(a, 4, 6));
    EXPECT_TRUE(m.Block(b, 4, 7));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 6, 7));

    // A block of another clock (a second sink) joins the open cycle; one of
    // a later cycle of the same clock ends it, even from an input that has
    // not delivered to it.
    EXPECT_FALSE(m.Block(a, 5, 1));
    EXPECT_TRUE(m.Block(b, 5, 1, kQuantum, kClock + 1));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 1, 1));
    // b skipped a cycle, so cycle 8 waits for a, who delivered the last one.
    EXPECT_FALSE(m.Block(a, 6, 1));
    EXPECT_TRUE(m.Block(b, 8, 2));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 1, 0));
    EXPECT_TRUE(m.Block(a, 8, 1));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 1, 2));
}

TEST(StreamMixer, NewInputsFirstBlockFindsItsCycleOpenAfterTheOthersDelivered) {
    Mixer m;
    MixerInput a = m.Add({{1, 1}});
    EXPECT_TRUE(m.Block(a, 0, 1));
    // n is announced when its stream is made; its link becomes active a few
    // cycles later, and its first block may come after a's in that cycle.
    MixerInput n = m.Add({{1, 1}});
    EXPECT_FALSE(m.Block(a, 1, 1));
    EXPECT_TRUE(m.Block(a, 2, 1));  // cycle 1 goes out when the graph moves on
    EXPECT_EQ(m.Out(), Cat(Frames(kQuantum, 1, 1), Frames(kQuantum, 1, 1)));
    EXPECT_TRUE(m.Block(n, 2, 2));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 3, 3));
    // Joined: from now on a cycle goes out as soon as both delivered.
    EXPECT_FALSE(m.Block(n, 3, 2));
    EXPECT_TRUE(m.Block(a, 3, 1));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 3, 3));

    // A burst from silence: nothing goes out before the last newcomer came.
    MixerInput x = m.Add({{1, 0}});
    MixerInput y = m.Add({{0, 1}});
    EXPECT_FALSE(m.Block(a, 4, 1));
    EXPECT_FALSE(m.Block(n, 4, 2));
    EXPECT_FALSE(m.Block(y, 4, 4));
    EXPECT_TRUE(m.Block(x, 4, 8));
    EXPECT_EQ(m.Out(), Frames(kQuantum, 11, 7));

    // Stopping writes out the open cycle, once.
    EXPECT_FALSE(m.Block(a, 5, 1));
    EXPECT_TRUE(m.mixer.Flush());
    EXPECT_FALSE(m.mixer.Flush());
    EXPECT_EQ(m.Out(), Frames(kQuantum, 1, 1));
}

TEST(StreamMixer, NewInputThatNeverPlaysDelaysCyclesByOneUntilForgottenOrASecondPassed) {
    Mixer m;
    MixerInput a = m.Add({{1, 1}});
    EXPECT_TRUE(m.Block(a, 0, 1));
    {
        MixerInput gone = m.Add({{1, 1}});
        EXPECT_FALSE(m.Block(a, 1, 1));
        m.mixer.ForgetInput(gone);
    }
    EXPECT_TRUE(m.Block(a, 2, 2));  // cycles 1 and 2 at once
    EXPECT_EQ(m.Out(), Cat(Cat(Frames(kQuantum, 1, 1), Frames(kQuantum, 1, 1)),
                           Frames(kQuantum, 2, 2)));

    // Never forgotten: held for 48000 frames of output, not longer.
    MixerInput silent = m.Add({{1, 1}});
    std::uint64_t held = 0;
    for (std::uint64_t n = 3; n < 3 + 48000 / 8 + 2; ++n) {
        m.Block(a, n, static_cast<float>(n), 8);
        const std::vector<float> out = m.Out();
        if (!out.empty() && out.back() == static_cast<float>(n)) break;  // its own cycle went out
        ++held;
    }
    EXPECT_EQ(held, 48000u / 8);
    m.mixer.ForgetInput(silent);
}

}  // namespace
