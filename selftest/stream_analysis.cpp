#include "stream_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace selftest {

namespace {

constexpr std::uint8_t kHeader[kHeaderBytes] = {'S', 'D', 'R', 'A', 1, 0, 0, 0,
                                                0x80, 0xBB, 0, 0, 2, 0, 32, 0};
// 10 ms: short enough that a lost packet shows as a phase step between
// neighbouring blocks, long enough that a Hann window keeps two tones a few
// hundred Hz apart out of each other's measurement.
constexpr std::size_t kBlockFrames = 480;
// Present and absent are far apart so that neither a mixer's gain nor a tone
// that starts mid-block can move a tone from one to the other.
constexpr double kPresentAmplitude = 0.0316;  // -30 dBFS
constexpr double kAbsentAmplitude = 0.00562;  // -45 dBFS
// A continuous tone keeps its phase; 0.3 rad is two frames of a tone near
// 1.2 kHz, and more than 20 ms at a frequency 2 Hz off.
constexpr double kBreakRadians = 0.3;
constexpr double kMostBlocks = 0.9;
constexpr std::size_t kDropOutFrames = 48;  // 1 ms

struct Block {
    double amplitude, phase;
};

// Phase against the stream's own frame count, so that it stays put from
// block to block as long as no frame is missing or repeated.
Block Measure(const std::vector<float>& interleaved, std::size_t first, double hz,
              Channel channel) {
    const double step = 2 * std::numbers::pi * hz / kSampleRate;
    double re = 0, im = 0;
    for (std::size_t i = 0; i < kBlockFrames; ++i) {
        const std::size_t n = first + i;
        const double window =
            0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / kBlockFrames);
        const double left = interleaved[2 * n], right = interleaved[2 * n + 1];
        const double x = (channel == Channel::Mix    ? 0.5 * (left + right)
                          : channel == Channel::Left ? left
                                                     : right) *
                         window;
        re += x * std::cos(step * static_cast<double>(n));
        im -= x * std::sin(step * static_cast<double>(n));
    }
    return {4 * std::hypot(re, im) / kBlockFrames, std::atan2(im, re)};
}

double PhaseDistance(double a, double b) {
    return std::abs(std::remainder(a - b, 2 * std::numbers::pi));
}

}  // namespace

bool HeaderMatches(const std::vector<std::uint8_t>& stream) {
    return stream.size() >= kHeaderBytes && std::memcmp(stream.data(), kHeader, kHeaderBytes) == 0;
}

std::vector<float> BodySamples(const std::vector<std::uint8_t>& stream) {
    if (stream.size() < kHeaderBytes) return {};
    const std::size_t frames = (stream.size() - kHeaderBytes) / kFrameBytes;
    std::vector<float> samples(frames * 2);
    if (frames != 0) std::memcpy(samples.data(), stream.data() + kHeaderBytes, frames * kFrameBytes);
    return samples;
}

ToneTrack TrackTone(const std::vector<float>& interleaved, double hz, Channel channel) {
    ToneTrack track;
    track.blocks = interleaved.size() / 2 / kBlockFrames;
    std::vector<Block> blocks;
    blocks.reserve(track.blocks);
    std::vector<double> amplitudes;
    amplitudes.reserve(track.blocks);
    bool broken = false;
    for (std::size_t b = 0; b < track.blocks; ++b) {
        blocks.push_back(Measure(interleaved, b * kBlockFrames, hz, channel));
        amplitudes.push_back(blocks.back().amplitude);
        const Presence level = Classify(blocks.back().amplitude);
        track.present += level == Presence::Present;
        track.absent += level == Presence::Absent;
        // Two blocks back: a splice inside the block between still shows its
        // whole step. One splice breaks once, however many blocks see it.
        const bool wasBroken = broken;
        broken = b >= 2 &&
                 std::all_of(blocks.end() - 3, blocks.end(),
                             [](const Block& k) { return Classify(k.amplitude) == Presence::Present; }) &&
                 PhaseDistance(blocks[b].phase, blocks[b - 2].phase) > kBreakRadians;
        track.breaks += broken && !wasBroken;
    }
    if (!amplitudes.empty()) {
        const auto middle = amplitudes.begin() + static_cast<std::ptrdiff_t>(amplitudes.size() / 2);
        std::nth_element(amplitudes.begin(), middle, amplitudes.end());
        track.medianAmplitude = *middle;
    }
    return track;
}

Presence Judge(const ToneTrack& track) {
    const double most = kMostBlocks * static_cast<double>(track.blocks);
    if (track.blocks == 0) return Presence::Unclear;
    if (static_cast<double>(track.present) >= most) return Presence::Present;
    if (static_cast<double>(track.absent) >= most) return Presence::Absent;
    return Presence::Unclear;
}

std::size_t DropOuts(const std::vector<float>& interleaved) {
    const std::size_t frames = interleaved.size() / 2;
    const auto zero = [&](std::size_t f) { return interleaved[2 * f] == 0 && interleaved[2 * f + 1] == 0; };
    std::size_t drops = 0, run = 0;
    bool sound = false;
    for (std::size_t f = 0; f < frames; ++f) {
        if (zero(f)) {
            ++run;
            continue;
        }
        drops += sound && run >= kDropOutFrames;
        sound = true;
        run = 0;
    }
    return drops;
}

double Dbfs(double amplitude) {
    return amplitude > 0 ? 20 * std::log10(amplitude) : -HUGE_VAL;
}

bool CoversRun(std::size_t frames, double runMs) {
    return static_cast<double>(frames) * 1000 / kSampleRate >= kMostBlocks * runMs;
}

ReadSizes SummariseReads(const std::vector<Arrival>& arrivals) {
    ReadSizes sizes;
    sizes.count = arrivals.size();
    if (arrivals.empty()) return sizes;
    std::vector<std::uint32_t> bytes;
    bytes.reserve(arrivals.size());
    for (const Arrival& a : arrivals) bytes.push_back(a.bytes);
    std::sort(bytes.begin(), bytes.end());
    sizes.min = bytes.front();
    sizes.median = bytes[bytes.size() / 2];
    sizes.max = bytes.back();
    return sizes;
}

std::optional<double> FirstSoundMs(const std::vector<Arrival>& arrivals,
                                   const std::vector<std::uint8_t>& stream) {
    const std::vector<float> samples = BodySamples(stream);
    const auto sound = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0; });
    if (sound == samples.end()) return std::nullopt;
    const std::size_t lastByte =
        kHeaderBytes + static_cast<std::size_t>(sound - samples.begin()) * sizeof(float) +
        sizeof(float) - 1;
    std::size_t end = 0;
    for (const Arrival& a : arrivals) {
        end += a.bytes;
        if (lastByte < end) return a.ms;
    }
    return std::nullopt;
}

std::vector<float> SamplesArrived(const std::vector<Arrival>& arrivals,
                                  const std::vector<std::uint8_t>& stream, double fromMs,
                                  double toMs) {
    const std::vector<float> samples = BodySamples(stream);
    const std::size_t frames = samples.size() / 2;
    std::size_t start = 0, first = frames, last = 0;
    for (const Arrival& a : arrivals) {
        const std::size_t end = start + a.bytes;
        if (a.ms >= fromMs && a.ms < toMs && end > kHeaderBytes) {
            const std::size_t from = std::max(start, kHeaderBytes) - kHeaderBytes;
            first = std::min(first, (from + kFrameBytes - 1) / kFrameBytes);
            last = std::max(last, std::min(frames, (end - kHeaderBytes + kFrameBytes - 1) / kFrameBytes));
        }
        start = end;
    }
    if (first >= last) return {};
    return {samples.begin() + static_cast<std::ptrdiff_t>(2 * first),
            samples.begin() + static_cast<std::ptrdiff_t>(2 * last)};
}

QuietSummary SummariseWindow(const std::vector<Arrival>& arrivals,
                             const std::vector<std::uint8_t>& stream, double fromMs,
                             double toMs) {
    QuietSummary summary;
    const std::vector<float> samples = BodySamples(stream);
    const std::size_t frames = samples.size() / 2;
    std::size_t start = 0;
    double previous = fromMs;
    for (const Arrival& a : arrivals) {
        const std::size_t end = start + a.bytes;
        if (a.ms >= fromMs && a.ms <= toMs) {
            ++summary.reads;
            summary.longestGapMs = std::max(summary.longestGapMs, a.ms - previous);
            previous = a.ms;
            // Frames are counted where they begin.
            const std::size_t from = std::max(start, kHeaderBytes) - kHeaderBytes;
            const std::size_t to = end > kHeaderBytes ? end - kHeaderBytes : 0;
            for (std::size_t f = (from + kFrameBytes - 1) / kFrameBytes;
                 f * kFrameBytes < to && f < frames; ++f) {
                ++summary.frames;
                if (samples[2 * f] == 0 && samples[2 * f + 1] == 0) ++summary.zeroFrames;
            }
        }
        start = end;
    }
    summary.longestGapMs = std::max(summary.longestGapMs, toMs - previous);
    return summary;
}

std::optional<std::uint32_t> FailureCode(const std::string& line) {
    const std::size_t at = line.find("(0x");
    if (at == std::string::npos || at + 12 > line.size() || line[at + 11] != ')')
        return std::nullopt;
    std::uint32_t code = 0;
    for (std::size_t i = at + 3; i < at + 11; ++i) {
        const char c = line[i];
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F') digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else return std::nullopt;
        code = code << 4 | digit;
    }
    return code;
}

bool MeansNoProcessLoopback(std::uint32_t code) {
    // ERROR_FILE_NOT_FOUND: no such virtual device (Wine; Windows 10 1809);
    // E_NOINTERFACE: it cannot give a client for it; E_ILLEGAL_METHOD_CALL:
    // what Windows before 10 answers an activation it cannot make.
    return code == 0x80070002u || code == 0x80004002u || code == 0x8000000Eu;
}

Presence Classify(double amplitude) {
    if (amplitude >= kPresentAmplitude) return Presence::Present;
    if (amplitude < kAbsentAmplitude) return Presence::Absent;
    return Presence::Unclear;
}

}  // namespace selftest
