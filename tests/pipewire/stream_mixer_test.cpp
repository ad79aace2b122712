#include "stream_mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr std::uint32_t kClock = 30, kQ = 4;
constexpr std::uint64_t kSecond = 1000000000;
using Out = std::vector<float>;

Out F(std::uint32_t count, float l, float r, Out rest = {}) {
    for (std::uint32_t i = 0; i < count; ++i) rest.insert(rest.begin(), {l, r});
    return rest;
}

struct Mixer {
    PacketRing ring;
    StreamMixer mixer;
    std::vector<std::vector<PortGains>> gainSets;  // outlive every input
    explicit Mixer(std::uint32_t frames = 256, std::uint32_t packets = 64, std::uint32_t cycle = 8) {
        EXPECT_TRUE(ring.Init(frames, 8, packets) && mixer.Init(&ring, cycle));
    }
    MixerInput Add(std::vector<PortGains> g) {
        mixer.AddInput();
        const auto ports = static_cast<std::uint32_t>(g.size());
        return MixerInput{gainSets.emplace_back(std::move(g)).data(), ports};
    }
    bool Block(MixerInput& in, std::uint64_t n, float value, std::uint32_t frames = kQ,
               std::uint32_t clock = kClock) {
        const std::vector<float> samples(frames, value);
        const std::vector<const float*> planes(in.ports, samples.data());
        return mixer.Mix(in, {clock, n * kQ, kSecond + n * kQ * kSecond / 48000}, planes.data(), frames);
    }
    Out Take(Out all = {}) {  // appended to `all`
        const std::uint8_t* data = nullptr;
        std::uint32_t frames = 0;
        for (bool gap = false; ring.Acquire(&data, &frames, &gap); ring.Release(frames)) {
            EXPECT_FALSE(gap);
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
    EXPECT_FALSE(m.mixer.Mix(surround, {kClock, kQ, kSecond + kQ * kSecond / 48000}, planes, 16) ||
                 m.Block(mono, 1, 0.5f, 2));
    EXPECT_TRUE(m.Block(left, 1, 0.25f, 3));
    EXPECT_EQ(m.Take(), F(2, 2.25f, 1, F(1, 1.75f, 0.5f, F(5, 1.5f, 0.5f))));
}

// b stalls after cycle 0 and comes back at cycle 5; the others go on. Its
// absence costs them at most the cycles its clock may lag, once, and no audio.
TEST(StreamMixer, StalledInputHoldsOthersBackOnceAndItsLateBlockIsDropped) {
    struct Step { std::size_t input; std::uint32_t clock; std::uint64_t n; std::size_t framesOut; };
    const struct { const char* name; std::vector<Step> steps; Out out; } cases[] = {
        {"same clock, its sibling's next cycle",
         {{0, kClock, 0, 0}, {1, kClock, 0, 4}, {0, kClock, 1, 4}, {0, kClock, 2, 12},
          {1, kClock, 2, 12}, {0, kClock, 3, 12}, {1, kClock, 5, 16}, {0, kClock, 5, 20}},
         F(kQ, 1, 2, F(kQ, 2, 0, F(kQ, 3, 0, F(kQ, 4, 0, F(kQ, 6, 7)))))},
        {"same clock, a third input's later cycle",
         {{0, kClock, 0, 0}, {1, kClock, 0, 0}, {2, kClock, 0, 4}, {0, kClock, 1, 4},
          {2, kClock, 2, 8}, {0, kClock, 2, 12}, {1, kClock, 3, 12}, {0, kClock, 3, 12},
          {2, kClock, 3, 16}},
         F(kQ, 1, 2 + 3, F(kQ, 2, 0, F(kQ, 3, 5, F(kQ, 4, 5 + 6))))},
        {"a clock of its own, the other clock's later cycles",
         {{0, kClock, 0, 0}, {1, kClock + 1, 0, 0}, {0, kClock, 1, 4}, {0, kClock, 2, 4},
          {0, kClock, 3, 16}, {0, kClock, 4, 20}, {1, kClock + 1, 5, 20}, {0, kClock, 5, 24}},
         F(kQ, 1, 2, F(kQ, 2, 0, F(kQ, 3, 0, F(kQ, 4, 0, F(kQ, 5, 0, F(kQ, 6, 7))))))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Mixer m;
        MixerInput in[3] = {m.Add({{1, 0}}), m.Add({{0, 1}}), m.Add({{0, 1}})};
        if (c.steps.size() < 9) m.mixer.ForgetInput(in[2]);  // two inputs only
        Out all;
        for (const Step& step : c.steps) {
            // Values tell cycles apart: input 0 plays n + 1 left, the others n + 2 or n + 3 right.
            m.Block(in[step.input], step.n, static_cast<float>(step.n + 1 + step.input), kQ, step.clock);
            all = m.Take(std::move(all));
            EXPECT_EQ(all.size() / 2, step.framesOut) << "after input " << step.input << " cycle " << step.n;
        }
        EXPECT_EQ(all, c.out);
    }
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
    for (; c < 5 + 48000 / kQ + 2; ++c) {
        m.Block(a, c, static_cast<float>(c));
        const Out out = m.Take();
        if (!out.empty() && out.back() == static_cast<float>(c)) break;
    }
    EXPECT_EQ(c, 5u + 48000 / kQ);
    m.mixer.ForgetInput(silent);
}

// Input 0 plays a ramp (1, 2, 3...) on the left in blocks of 256 frames, the
// others 0.5 on the right; each step is one block of an input, of cycle k of
// a clock whose time says it starts at frame `at`. What comes out is the
// ramp's every break: (zero frames before it, its step).
struct Step { int input; std::uint32_t clock; std::uint64_t k; std::int64_t at; };
using Breaks = std::vector<std::pair<std::size_t, float>>;

Breaks Play(const std::vector<Step>& steps) {
    constexpr std::uint32_t q = 256;
    Mixer m(1u << 13, 4096, 1024);
    MixerInput in[3] = {m.Add({{1, 0}}), m.Add({{0, 1}}), m.Add({{0, 1}})};
    for (MixerInput& i : in)
        if (std::none_of(steps.begin(), steps.end(), [&](const Step& s) { return &in[s.input] == &i; }))
            m.mixer.ForgetInput(i);
    float ramp = 1;
    for (const Step& s : steps) {
        std::vector<float> block(q, 0.5f);
        for (float& v : block) v = s.input == 0 ? ramp++ : v;
        const float* planes[1] = {block.data()};
        const auto nsec = static_cast<std::uint64_t>(s.at) * kSecond / 48000 + kSecond;
        m.mixer.Mix(in[s.input], {s.clock, s.k * q, nsec}, planes, q);
    }
    m.mixer.Flush();
    const Out out = m.Take();
    Breaks breaks;
    std::size_t zeros = 0;
    float previous = 0;
    for (std::size_t i = 0; i < out.size(); i += 2) {
        if (out[i] == 0) {
            ++zeros;
            continue;
        }
        if (previous != 0 && (zeros != 0 || out[i] != previous + 1))
            breaks.push_back({zeros, out[i] - previous});
        previous = out[i], zeros = 0;
    }
    return breaks;
}

// A clock whose time moves by 5 ms or less follows its last cycle and takes
// the distance up one sample a cycle; beyond, either way, it starts again
// where its time puts it, and keeps that offset. An input moved to another
// clock (a player to another device) never overlaps its own last block.
TEST(StreamMixer, ClocksFollowWithin5MsStartAgainBeyondAndAMovedInputNeverOverlapsItself) {
    const auto jumped = [](std::int64_t jump) {  // T (input 0) two cycles behind R
        std::vector<Step> steps = {{1, 40, 0, 0}, {0, 41, 0, 0}, {1, 40, 1, 256}, {1, 40, 2, 512}};
        for (std::int64_t k = 1; k < 8; ++k)
            steps.insert(steps.end(), {{0, 41, std::uint64_t(k), k * 256 + (k >= 2 ? jump : 0)},
                                       {1, 40, std::uint64_t(k + 2), (k + 2) * 256}});
        return steps;
    };
    const Breaks repeats(6, {0, 0}), drops(6, {0, 2});
    const struct { const char* name; std::vector<Step> steps; Breaks breaks; } cases[] = {
        {"6.25 ms late: at its time", jumped(300), {{300, 1}}},
        {"4.2 ms late: follows", jumped(200), repeats},
        {"6.25 ms early: after what it wrote", jumped(-300), {}},
        {"4.2 ms early: follows", jumped(-200), drops},
        {"12.5 ms late, past the furthest: there, and follows from there", jumped(600), {{512, 1}}},
        {"moved to a new clock that starts before its block ended",
         {{0, 40, 0, 0}, {1, 40, 0, 0}, {0, 40, 1, 256}, {0, 41, 0, 356}, {1, 40, 1, 256},
          {0, 41, 1, 612}, {1, 40, 2, 512}, {0, 41, 2, 868}, {1, 40, 3, 768}}, {}},
        {"moved into a running clock's cycle that starts before its block ended",
         {{0, 40, 0, 0}, {2, 41, 0, 128}, {1, 40, 0, 0}, {0, 40, 1, 256}, {1, 40, 1, 256},
          {0, 41, 1, 384}, {2, 41, 1, 384}, {0, 41, 2, 640}, {2, 41, 2, 640}}, {{0, 129}}},
    };
    for (const auto& c : cases) EXPECT_EQ(Play(c.steps), c.breaks) << c.name;
}

}  // namespace
