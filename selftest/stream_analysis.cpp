#include "stream_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace selftest {

namespace {

constexpr std::uint8_t kHeader[kHeaderBytes] = {'S', 'D', 'R', 'A', 1, 0, 0, 0,
                                                0x80, 0xBB, 0, 0, 2, 0, 32, 0};
constexpr std::size_t kBlockFrames = 4800;  // 100 ms: 440 Hz and 1 kHz fall on whole bins

// Present and absent are far apart so that neither a mixer's gain nor the
// leakage of a tone that starts mid-block (about -55 dBFS from a -12 dBFS
// tone) can move a tone from one to the other.
constexpr double kPresentAmplitude = 0.0316;  // -30 dBFS
constexpr double kAbsentAmplitude = 0.00562;  // -45 dBFS

double BlockLevel(const std::vector<float>& interleaved, std::size_t first, std::size_t frames,
                  double hz) {
    const double coeff = 2 * std::cos(2 * std::numbers::pi * hz / kSampleRate);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t at = (first + i) * 2;
        const double s0 = 0.5 * (interleaved[at] + interleaved[at + 1]) + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = std::max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0);
    return 2 * std::sqrt(power) / static_cast<double>(frames);
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

double ToneLevel(const std::vector<float>& interleaved, double hz) {
    const std::size_t frames = interleaved.size() / 2;
    if (frames == 0) return 0;
    if (frames < kBlockFrames) return BlockLevel(interleaved, 0, frames, hz);
    double loudest = 0;
    for (std::size_t first = 0; first + kBlockFrames <= frames; first += kBlockFrames)
        loudest = std::max(loudest, BlockLevel(interleaved, first, kBlockFrames, hz));
    return loudest;
}

double Dbfs(double amplitude) {
    return amplitude > 0 ? 20 * std::log10(amplitude) : -HUGE_VAL;
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
    // ERROR_FILE_NOT_FOUND: no such virtual device; E_NOINTERFACE: it cannot
    // give a client for it.
    return code == 0x80070002u || code == 0x80004002u;
}

Presence Classify(double amplitude) {
    if (amplitude >= kPresentAmplitude) return Presence::Present;
    if (amplitude < kAbsentAmplitude) return Presence::Absent;
    return Presence::Unclear;
}

}  // namespace selftest
