#include "stream_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

namespace selftest {
namespace {

const std::vector<std::uint8_t> kHeader = {'S', 'D', 'R', 'A', 1, 0, 0, 0, 0x80, 0xBB, 0, 0,
                                           2,   0,   32,  0};

// A captured stream: the header, then `frames` of (left, right).
std::vector<std::uint8_t> Stream(const std::vector<float>& interleaved) {
    std::vector<std::uint8_t> stream = kHeader;
    stream.resize(kHeader.size() + interleaved.size() * sizeof(float));
    if (!interleaved.empty())
        std::memcpy(stream.data() + kHeader.size(), interleaved.data(),
                    interleaved.size() * sizeof(float));
    return stream;
}

// `silentFrames` of zeros, then a sine starting at `phase`, on both channels.
std::vector<float> Tone(double hz, double amplitude, std::size_t silentFrames,
                        std::size_t toneFrames, double phase = 0) {
    std::vector<float> samples(2 * silentFrames, 0.0f);
    for (std::size_t n = 0; n < toneFrames; ++n) {
        const auto x = static_cast<float>(
            amplitude * std::sin(phase + 2 * std::numbers::pi * hz * static_cast<double>(n) / 48000));
        samples.push_back(x);
        samples.push_back(x);
    }
    return samples;
}

TEST(StreamHeader, OnlyTheExactSixteenBytesMatch) {
    EXPECT_TRUE(HeaderMatches(kHeader));
    EXPECT_TRUE(HeaderMatches(Stream({0.5f, -0.5f})));
    EXPECT_FALSE(HeaderMatches({kHeader.begin(), kHeader.end() - 1}));
    for (std::size_t at : {0u, 4u, 8u, 9u, 12u, 14u}) {  // magic, version, rate, channels, bits
        std::vector<std::uint8_t> changed = kHeader;
        changed[at] ^= 0x01;
        EXPECT_FALSE(HeaderMatches(changed)) << "byte " << at;
    }
}

TEST(StreamBody, WholeFramesOnlyAndSamplesUnchanged) {
    std::vector<std::uint8_t> stream = Stream({0.25f, -1.0f, 3.5f, 0.0f});
    stream.push_back(0x7F);  // a frame cut short by the end of the stream
    EXPECT_EQ(BodySamples(stream), (std::vector<float>{0.25f, -1.0f, 3.5f, 0.0f}));
    EXPECT_TRUE(BodySamples(kHeader).empty());
    EXPECT_TRUE(BodySamples({'S', 'D'}).empty());
}

TEST(ToneLevel, MeasuresAmplitudeAndTellsTheTwoTonesApart) {
    const std::vector<float> a = Tone(440, 0.25, 0, 96000);
    EXPECT_NEAR(Dbfs(ToneLevel(a, 440)), -12.04, 0.1);
    EXPECT_EQ(Classify(ToneLevel(a, 440)), Presence::Present);
    EXPECT_EQ(Classify(ToneLevel(a, 1000)), Presence::Absent);
    EXPECT_NEAR(ToneLevel(Tone(1000, 1.0, 0, 48000), 1000), 1.0, 0.01);

    // A tone that starts mid-block at an awkward phase (as when capture
    // begins before the target plays) must not leak into the other bin.
    for (const auto& [played, other] : {std::pair{440.0, 1000.0}, std::pair{1000.0, 440.0}}) {
        const std::vector<float> late = Tone(played, 0.25, 3111, 44889, std::numbers::pi / 2);
        EXPECT_EQ(Classify(ToneLevel(late, other)), Presence::Absent) << played;
        EXPECT_EQ(Classify(ToneLevel(late, played)), Presence::Present) << played;
    }

    // The loudest 100 ms counts: a tone heard only at the end is still heard.
    EXPECT_EQ(Classify(ToneLevel(Tone(1000, 0.25, 91200, 4800), 1000)), Presence::Present);
    // Shorter than one block: measured over what there is.
    EXPECT_NEAR(Dbfs(ToneLevel(Tone(1000, 0.25, 0, 2400), 1000)), -12.04, 0.5);
    // Only one channel playing halves the mono mix.
    std::vector<float> leftOnly = Tone(440, 0.5, 0, 48000);
    for (std::size_t i = 1; i < leftOnly.size(); i += 2) leftOnly[i] = 0;
    EXPECT_NEAR(Dbfs(ToneLevel(leftOnly, 440)), -12.04, 0.1);

    EXPECT_EQ(ToneLevel({}, 440), 0.0);
    EXPECT_EQ(Classify(ToneLevel(Tone(440, 0, 0, 48000), 440)), Presence::Absent);
    EXPECT_EQ(Dbfs(0), -HUGE_VAL);
}

TEST(ToneLevel, ThresholdsLeaveAGapBetweenPresentAndAbsent) {
    EXPECT_EQ(Classify(std::pow(10.0, -29.9 / 20)), Presence::Present);
    EXPECT_EQ(Classify(std::pow(10.0, -30.1 / 20)), Presence::Unclear);
    EXPECT_EQ(Classify(std::pow(10.0, -44.9 / 20)), Presence::Unclear);
    EXPECT_EQ(Classify(std::pow(10.0, -45.1 / 20)), Presence::Absent);
}

TEST(Arrivals, ReadSizesAndTheReadThatCarriedTheFirstSound) {
    EXPECT_EQ(SummariseReads({}).count, 0u);
    const ReadSizes sizes = SummariseReads({{1, 3840}, {2, 16}, {3, 7680}, {4, 3840}});
    EXPECT_EQ(sizes.count, 4u);
    EXPECT_EQ(sizes.min, 16u);
    EXPECT_EQ(sizes.median, 3840u);
    EXPECT_EQ(sizes.max, 7680u);

    // Header split over two reads, two silent frames, then sound whose
    // first sample's bytes straddle the third and fourth reads.
    const std::vector<std::uint8_t> stream = Stream({0, 0, 0, 0, 0.5f, 0.5f});
    EXPECT_EQ(FirstSoundMs({{10, 10}, {20, 6}, {30, 18}, {40, 6}}, stream), 40.0);
    EXPECT_EQ(FirstSoundMs({{10, 40}}, stream), 10.0);
    EXPECT_EQ(FirstSoundMs({{10, 40}}, Stream({0, 0, 0, 0})), std::nullopt);
    // -0.0f is silence too, though its bytes are not all zero.
    EXPECT_EQ(FirstSoundMs({{5, 24}}, Stream({-0.0f, 0})), std::nullopt);
}

TEST(Arrivals, WhatArrivedWhileThePlayerWasQuiet) {
    // Five reads of two frames each after the header; the middle three fall
    // in the window, one of them carrying sound.
    const std::vector<std::uint8_t> stream =
        Stream({1, 1, 1, 1, 0, 0, 0, 0, 0.2f, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1});
    const std::vector<Arrival> arrivals = {
        {100, 16 + 16}, {600, 16}, {900, 16}, {1400, 16}, {1600, 16}};
    QuietSummary quiet = SummariseWindow(arrivals, stream, 500, 1500);
    EXPECT_EQ(quiet.reads, 3u);
    EXPECT_EQ(quiet.frames, 6u);
    EXPECT_EQ(quiet.zeroFrames, 5u);
    EXPECT_DOUBLE_EQ(quiet.longestGapMs, 500);

    // Nothing at all: the whole window is one wait.
    quiet = SummariseWindow({{100, 32}, {1600, 64}}, stream, 500, 1500);
    EXPECT_EQ(quiet.reads, 0u);
    EXPECT_EQ(quiet.frames, 0u);
    EXPECT_DOUBLE_EQ(quiet.longestGapMs, 1000);

    // A read splitting a frame: the frame is counted in the read it begins in.
    quiet = SummariseWindow({{100, 20}, {600, 12}, {1600, 48}}, stream, 500, 1500);
    EXPECT_EQ(quiet.frames, 1u);
    EXPECT_EQ(quiet.zeroFrames, 0u);
}

TEST(FailureLine, CodeAndWhetherItMeansNoProcessLoopback) {
    const std::string wine = "Falha na captura de \xC3\xA1udio do processo (0x80070002): File not found.";
    ASSERT_EQ(FailureCode(wine), 0x80070002u);
    EXPECT_TRUE(MeansNoProcessLoopback(*FailureCode(wine)));
    EXPECT_EQ(FailureCode("x (0x80004002)"), 0x80004002u);
    EXPECT_TRUE(MeansNoProcessLoopback(0x80004002u));
    EXPECT_EQ(FailureCode("x (0x800705b4): timed out"), 0x800705B4u);
    EXPECT_FALSE(MeansNoProcessLoopback(0x800705B4u));
    EXPECT_FALSE(MeansNoProcessLoopback(0x88890004u));
    for (const char* line : {"", "usage: sondrel-process-loopback --pid <PID>", "(0x8007",
                             "(0x8007000G)", "(0x800700021)", "(0x80070002"})
        EXPECT_EQ(FailureCode(line), std::nullopt) << line;
}

}  // namespace
}  // namespace selftest
