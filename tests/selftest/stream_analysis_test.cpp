#include "promises.h"
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

constexpr double kA = 1238.2, kB = 1761.8;

// Every `every` frames, `count` frames are taken out (erase) or set to 0.
static std::vector<float> Cut(std::vector<float> s, std::size_t every, std::size_t count, bool erase) {
    for (std::size_t f = s.size() / 2 / every * every; f >= every; f -= every) {
        const auto at = s.begin() + static_cast<std::ptrdiff_t>(2 * (f - count));
        if (erase) s.erase(at, at + static_cast<std::ptrdiff_t>(2 * count));
        else std::fill(at, at + static_cast<std::ptrdiff_t>(2 * count), 0.0f);
    }
    return s;
}

static std::vector<float> Mix(std::vector<float> a, const std::vector<float>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    return a;
}

TEST(ToneTrack, PresenceContinuityAndDropOutsPerFault) {
    const auto a = Tone(kA, 0.25, 0, 96000), b = Tone(kB, 0.25, 0, 96000);
    struct Case {
        const char* fault;
        std::vector<float> samples;
        Presence a, b;
        std::size_t breaks, dropOuts;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"none", Mix(Tone(kA, 0.25, 333, 95667, 1), b), Presence::Present, Presence::Present, 0, 0},
             {"lost 10 ms packets", Cut(a, 9600, 480, true), Presence::Present, Presence::Absent, 9, 0},
             {"three frames lost", Cut(a, 48000, 3, true), Presence::Present, Presence::Absent, 1, 0},
             {"10 ms repeated", [&] { auto s = a; s.insert(s.begin() + 96000, a.begin() + 95040, a.begin() + 96000); return s; }(),
              Presence::Present, Presence::Absent, 1, 0},
             {"5 ms of zeros every 100 ms", Cut(a, 4800, 240, false), Presence::Present, Presence::Absent, 0, 19},
             {"a stray 440 Hz tone", Tone(440, 0.25, 0, 96000), Presence::Absent, Presence::Absent, 0, 0},
             {"tone in one 100 ms block", Tone(kA, 0.25, 91200, 4800), Presence::Absent, Presence::Absent, 0, 0},
             {"tone in half the stream", Tone(kA, 0.25, 48000, 48000), Presence::Unclear, Presence::Absent, 0, 0},
             {"shorter than a block", Tone(kA, 0.25, 0, 479), Presence::Unclear, Presence::Unclear, 0, 0}}) {
        const ToneTrack ta = TrackTone(c.samples, kA), tb = TrackTone(c.samples, kB);
        EXPECT_EQ(std::vector<int>({int(Judge(ta)), int(Judge(tb)), int(ta.breaks + tb.breaks), int(DropOuts(c.samples))}),
                  std::vector<int>({int(c.a), int(c.b), int(c.breaks), int(c.dropOuts)})) << c.fault;
    }
    EXPECT_NEAR(Dbfs(TrackTone(Tone(kA, 0.5, 0, 48000, 0, 0), kA).medianAmplitude), -12.04, 0.1);  // mono mix
    for (auto [db, want] : {std::pair{-29.9, Presence::Present}, {-30.1, Presence::Unclear},
                            {-44.9, Presence::Unclear}, {-45.1, Presence::Absent}})
        EXPECT_EQ(Classify(std::pow(10.0, db / 20)), want) << db;
    for (auto [frames, covers] : {std::pair{86400u, true}, {86399u, false}})  // 90 % of 2 s
        EXPECT_EQ(CoversRun(frames, 2000), covers) << frames;
}

TEST(Arrivals, FirstSoundAndQuietWindow) {
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
    EXPECT_EQ(SamplesArrived({{100, 20}, {600, 12}, {900, 16}, {1600, 48}}, s, 500, 1500),
              (std::vector<float>{1, 1, 0, 0, 0, 0}));  // frames 1 to 3 begin there; frame 0 began before
}

// Which codes mean "no process loopback" the Wine self-test shows end to end.
TEST(FailureLine, Code) {
    for (auto [line, code] : std::initializer_list<std::pair<const char*, std::optional<std::uint32_t>>>{
             {"Falha na captura de \xC3\xA1udio do processo (0x80070002): File not found.", 0x80070002u},
             {"x (0x800705b4): timed out", 0x800705B4u}, {"usage: x --pid <PID>", std::nullopt},
             {"(0x8007000G)", std::nullopt}, {"(0x800700021)", std::nullopt}, {"(0x80070002", std::nullopt}})
        EXPECT_EQ(FailureCode(line), code) << line;
}

// Each fault fails its own promise and no other.
TEST(Promises, EachFaultFailsOnlyItsPromise) {
    constexpr double kP = kPlayedAmplitude;
    const auto split = [](float gain, bool grandchild = true) {  // the left tone only left, the right one only right
        auto s = Mix(Tone(kLeftTone, kP * gain, 0, 48000, 0, 0), Tone(kGrandchildTone, grandchild ? kP * gain : 0, 0, 48000));
        const auto r = Tone(kRightTone, kP * gain, 0, 48000);
        for (std::size_t i = 1; i < s.size(); i += 2) s[i] += r[i];
        return s;
    };
    const auto minutes = [](std::initializer_list<double> floors, std::vector<MinuteFigures> m = {}) {
        for (double db : floors) m.push_back(Minute(Mix(Tone(kLeftTone, kP, 0, 48000), Tone(kProbeTone, std::pow(10, db / 20), 0, 48000))));
        return m;
    };
    const auto swapped = [](std::vector<float> s) { for (std::size_t i = 0; i < s.size(); i += 2) std::swap(s[i], s[i + 1]); return s; };
    const auto rightSilent = [](std::vector<float> s) { for (std::size_t i = 1; i < s.size(); i += 2) s[i] = 0; return s; };
    const auto exclude = Tone(kOtherTone, kP, 0, 48000);
    struct Case { const char* fault; std::vector<float> include, load; std::vector<MinuteFigures> minutes; const char* fails; };
    for (const Case& c : std::initializer_list<Case>{
             {"none", split(1), split(1), minutes({-130, -125, -128}), ""},
             {"swapped pair", swapped(split(1)), split(1), minutes({-130}), "channels"},
             {"one channel silent", rightSilent(split(1)), split(1), minutes({-130}), "channels"},
             {"3 dB loss", split(0.708f), split(1), minutes({-130}), "level"},
             {"2 ms drop-out under load", split(1), Cut(split(1), 24000, 96, false), minutes({-130}), "load"},
             {"slow drift in the noise floor", split(1), split(1), minutes({-110, -95, -80}), "long run"},
             {"missing grandchild tone", split(1, false), split(1), minutes({-130}), "include"}}) {
        const std::pair<const char*, Check> checks[] = {
            {"include", TreeCaptured(c.include, true)}, {"exclude", TreeCaptured(exclude, false)},
            {"channels", ChannelsKept(c.include)}, {"level", LevelHeld(c.include, exclude, 0)},
            {"load", Unbroken(c.load)}, {"long run", Steady(c.minutes)}};
        std::string fails;
        for (const auto& [name, check] : checks) fails += check.ok ? "" : name;
        EXPECT_EQ(fails, c.fails) << c.fault;
    }
    // The device's volume counts only where the capture follows it.
    const auto half = Tone(kOtherTone, kP / 2, 0, 48000);
    EXPECT_EQ(std::make_pair(LevelHeld(split(0.5f), half, 0).ok, LevelHeld(split(0.5f), half, -6.02).ok), std::make_pair(false, true));
}
