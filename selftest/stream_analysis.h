// What the self-test reads out of one captured stream. Plain C++, so the
// arithmetic is checked on every build, not only on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace selftest {

constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kFrameBytes = 8;
constexpr double kSampleRate = 48000.0;

// One read from the helper's standard output, timed from the helper's start.
struct Arrival {
    double ms = 0;
    std::uint32_t bytes = 0;
};

struct ReadSizes {
    std::size_t count = 0;
    std::uint32_t min = 0, median = 0, max = 0;
};

struct QuietSummary {
    std::size_t reads = 0;
    std::size_t frames = 0;      // frames that arrived in the quiet window
    std::size_t zeroFrames = 0;  // of those, frames with both samples 0
    double longestGapMs = 0;     // between reads, inside the window
};

bool HeaderMatches(const std::vector<std::uint8_t>& stream);

// Whole frames after the header, first channel then second.
std::vector<float> BodySamples(const std::vector<std::uint8_t>& stream);

// Amplitude (1.0 = full-scale sine) of `hz` in the loudest 100 ms block of
// the mono mix; a short stream is one block.
double ToneLevel(const std::vector<float>& interleaved, double hz);

double Dbfs(double amplitude);

ReadSizes SummariseReads(const std::vector<Arrival>& arrivals);

// Time of the read that carried the first body sample that is not 0, or
// nothing when every sample is 0.
std::optional<double> FirstSoundMs(const std::vector<Arrival>& arrivals,
                                   const std::vector<std::uint8_t>& stream);

// What arrived between two moments of the run.
QuietSummary SummariseWindow(const std::vector<Arrival>& arrivals,
                             const std::vector<std::uint8_t>& stream, double fromMs,
                             double toMs);

// The code in a failure line "... (0x80070002): ...", if there is one.
std::optional<std::uint32_t> FailureCode(const std::string& line);

// The activation answers of a system without process-loopback capture.
bool MeansNoProcessLoopback(std::uint32_t code);

enum class Presence { Present, Absent, Unclear };
Presence Classify(double amplitude);

}  // namespace selftest
