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

// One tone followed through a stream in 10 ms blocks of the mono mix.
struct ToneTrack {
    std::size_t blocks = 0;
    std::size_t present = 0, absent = 0;  // blocks at either level (see Classify)
    // Neighbouring present blocks whose phase disagrees: audio went missing
    // between them, or came twice.
    std::size_t breaks = 0;
    double medianAmplitude = 0;  // 1.0 = full-scale sine
};

// Which samples a tone is looked for in.
enum class Channel { Mix, Left, Right };

ToneTrack TrackTone(const std::vector<float>& interleaved, double hz,
                    Channel channel = Channel::Mix);

// Present when it is there in most blocks, absent when it is missing from
// most; a stream with no whole block is neither.
enum class Presence { Present, Absent, Unclear };
Presence Judge(const ToneTrack& track);

// Runs of at least 1 ms of frames that are exactly 0 with sound both before
// and after them: packets the platform or the helper gave as silence.
std::size_t DropOuts(const std::vector<float>& interleaved);

double Dbfs(double amplitude);

// Whether `frames` of audio make up at least 90 % of `runMs`.
bool CoversRun(std::size_t frames, double runMs);

ReadSizes SummariseReads(const std::vector<Arrival>& arrivals);

// Time of the read that carried the first body sample that is not 0, or
// nothing when every sample is 0.
std::optional<double> FirstSoundMs(const std::vector<Arrival>& arrivals,
                                   const std::vector<std::uint8_t>& stream);

// The frames, interleaved, whose first byte arrived in [fromMs, toMs).
std::vector<float> SamplesArrived(const std::vector<Arrival>& arrivals,
                                  const std::vector<std::uint8_t>& stream, double fromMs,
                                  double toMs);

// What arrived between two moments of the run.
QuietSummary SummariseWindow(const std::vector<Arrival>& arrivals,
                             const std::vector<std::uint8_t>& stream, double fromMs,
                             double toMs);

// The code in a failure line "... (0x80070002): ...", if there is one.
std::optional<std::uint32_t> FailureCode(const std::string& line);

// The activation answers of a system without process-loopback capture.
bool MeansNoProcessLoopback(std::uint32_t code);

// One block's amplitude against the two levels.
Presence Classify(double amplitude);

}  // namespace selftest
