#include "stream_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace selftest;

const std::vector<std::uint8_t> kHeader = {'S', 'D', 'R', 'A', 1, 0, 0, 0, 0x80, 0xBB, 0, 0, 2, 0, 32, 0};

static std::vector<std::uint8_t> Stream(const std::vector<float>& samples, std::vector<std::uint8_t> stream = kHeader) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
    stream.insert(stream.end(), bytes, bytes + samples.size() * sizeof(float));
    return stream;
}

static std::vector<float> Tone(double hz, double a, std::size_t zeros, std::size_t n, double phase = 0, float right = 1) {
    std::vector<float> s(2 * zeros, 0.0f);
    for (double i = 0; i < static_cast<double>(n); ++i)
        for (float channel : {1.0f, right})
            s.push_back(channel * static_cast<float>(a * std::sin(phase + 2 * std::numbers::pi * hz * i / 48000)));
    return s;
}

TEST(Stream, HeaderAndWholeFramesUnchanged) {
    EXPECT_FALSE(HeaderMatches({kHeader.begin(), kHeader.end() - 1}));
    for (std::size_t at : {0u, 4u, 8u, 9u, 12u, 14u})  // magic, version, rate, channels, bits
        EXPECT_FALSE(HeaderMatches([at] { auto c = kHeader; c[at] ^= 1; return c; }())) << at;
    const auto stream = Stream({0.25f, -1.0f, 3.5f, 0.0f, 7.0f});  // its last frame is cut short below
    EXPECT_TRUE(HeaderMatches(stream));
    EXPECT_EQ(BodySamples({stream.begin(), stream.end() - 1}), (std::vector<float>{0.25f, -1.0f, 3.5f, 0.0f}));
}

TEST(ToneLevel, AmplitudeBinsLoudestBlockAndThresholds) {
    EXPECT_NEAR(Dbfs(ToneLevel(Tone(440, 0.5, 0, 48000, 0, 0), 440)), -12.04, 0.1);  // mono mix
    EXPECT_EQ(Classify(ToneLevel(Tone(1000, 0.25, 91200, 4800), 1000)), Presence::Present);  // loudest 100 ms
    for (auto [hz, other] : {std::pair{440.0, 1000.0}, {1000.0, 440.0}})  // starts mid-block
        for (auto [bin, want] : {std::pair{hz, Presence::Present}, {other, Presence::Absent}})
            EXPECT_EQ(Classify(ToneLevel(Tone(hz, 0.25, 3111, 44889, std::numbers::pi / 2), bin)), want) << bin;
    for (auto [db, want] : {std::pair{-29.9, Presence::Present}, {-30.1, Presence::Unclear},
                            {-44.9, Presence::Unclear}, {-45.1, Presence::Absent}})
        EXPECT_EQ(Classify(std::pow(10.0, db / 20)), want) << db;
}

TEST(Arrivals, ReadSizesFirstSoundAndQuietWindow) {
    const ReadSizes r = SummariseReads({{1, 3840}, {2, 16}, {3, 7680}, {4, 3840}});
    EXPECT_EQ(std::vector<std::size_t>({r.count, r.min, r.median, r.max}), std::vector<std::size_t>({4, 16, 3840, 7680}));
    // Header split over two reads; the first sound's bytes straddle reads three and four.
    EXPECT_EQ(FirstSoundMs({{10, 10}, {20, 6}, {30, 18}, {40, 6}}, Stream({0, 0, 0, 0, 0.5f, 0.5f})), 40.0);
    EXPECT_EQ(FirstSoundMs({{5, 24}}, Stream({-0.0f, 0})), std::nullopt);
    const auto s = Stream({1, 1, 1, 1, 0, 0, 0, 0, 0.2f, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1});
    for (auto [arrivals, want] : std::initializer_list<std::pair<std::vector<Arrival>, std::vector<double>>>{
             {{{100, 32}, {600, 16}, {900, 16}, {1400, 16}, {1600, 16}}, {3, 6, 5, 500}},
             {{{100, 32}, {1600, 64}}, {0, 0, 0, 1000}},  // nothing: the whole window is one wait
             {{{100, 20}, {600, 12}, {1600, 48}}, {1, 1, 0, 900}}}) {  // a frame counts where it begins
        const QuietSummary q = SummariseWindow(arrivals, s, 500, 1500);
        EXPECT_EQ(std::vector<double>({double(q.reads), double(q.frames), double(q.zeroFrames), q.longestGapMs}), want);
    }
}

TEST(FailureLine, CodeAndWhetherItMeansNoProcessLoopback) {
    for (auto [line, code] : std::initializer_list<std::pair<const char*, std::optional<std::uint32_t>>>{
             {"Falha na captura de \xC3\xA1udio do processo (0x80070002): File not found.", 0x80070002u},
             {"x (0x800705b4): timed out", 0x800705B4u}, {"usage: x --pid <PID>", std::nullopt},
             {"(0x8007000G)", std::nullopt}, {"(0x800700021)", std::nullopt}, {"(0x80070002", std::nullopt}})
        EXPECT_EQ(FailureCode(line), code) << line;
    for (auto [code, none] : {std::pair{0x80070002u, true}, {0x80004002u, true}, {0x800705B4u, false}, {0x88890004u, false}})
        EXPECT_EQ(MeansNoProcessLoopback(code), none) << code;
}
