#include "run_table.h"

#include <cmath>
#include <optional>

#include "system_facts.h"

namespace selftest {

namespace {

// What the platform still had in flight when the target went.
constexpr double kExitSettleMs = 300;

std::string Level(double amplitude) {
    const double db = Dbfs(amplitude);
    return db < -120 ? std::string("<-120") : Format("%.1f", db);
}

std::string Millis(std::optional<double> ms) {
    return ms ? Format("%.0f", *ms) : std::string("-");
}

constexpr char kColumns[] = "%-9s %6s %6s %6s %7s %5s %7s %5s %6s %5s %18s %6s %6s\n";

}  // namespace

std::string Share(const ToneTrack& track) {
    return track.blocks ? Format("%.0f%%", 100.0 * static_cast<double>(track.present) /
                                               static_cast<double>(track.blocks))
                        : std::string("-");
}

std::string TableHead() {
    const std::string a = Format("%.1f Hz", kLeftTone), b = Format("%.1f Hz", kOtherTone);
    return Format(kColumns, "run", "exit", "audio", "run", a.c_str(), "", b.c_str(), "", "phase",
                  "drop-", "bytes per read", "header", "sound") +
           Format(kColumns, "", "code", "s", "s", "dBFS", "here", "dBFS", "here", "breaks", "outs",
                  "min/median/max", "ms", "ms");
}

std::string Row(const Run& run) {
    if (FAILED(run.startResult))
        return Format("%-9s could not be started or read (%s)\n", run.name,
                      Hresult(run.startResult).c_str());
    const std::vector<float> samples = BodySamples(run.stream);
    const ToneTrack a = TrackTone(samples, kLeftTone), b = TrackTone(samples, kOtherTone);
    const ReadSizes reads = SummariseReads(run.arrivals);
    const std::string exitCode =
        run.terminated ? std::string("killed") : Format("%lu", static_cast<unsigned long>(run.exitCode));
    const std::string sizes =
        reads.count ? Format("%u/%u/%u", reads.min, reads.median, reads.max) : std::string("-");
    const std::string length =
        run.stopMs >= 0 ? Format("%.2f", (run.stopMs - run.headerMs) / 1000) : std::string("-");
    const bool blocks = a.blocks != 0;
    return Format(kColumns, run.name, exitCode.c_str(),
                  Format("%.2f", static_cast<double>(samples.size() / 2) / kSampleRate).c_str(),
                  length.c_str(), blocks ? Level(a.medianAmplitude).c_str() : "-", Share(a).c_str(),
                  blocks ? Level(b.medianAmplitude).c_str() : "-", Share(b).c_str(),
                  blocks ? std::to_string(a.breaks + b.breaks).c_str() : "-",
                  blocks ? std::to_string(DropOuts(samples)).c_str() : "-", sizes.c_str(),
                  Millis(run.headerMs >= 0 ? std::optional(run.headerMs) : std::nullopt).c_str(),
                  Millis(FirstSoundMs(run.arrivals, run.stream)).c_str());
}

std::string QuietLine(const Run& run) {
    const QuietSummary q = SummariseWindow(run.arrivals, run.stream, run.quietFromMs, run.quietToMs);
    std::string line = Format("while player 1 was stopped (%.0f-%.0f ms): %zu reads, %.3f s of audio",
                              run.quietFromMs, run.quietToMs, q.reads,
                              static_cast<double>(q.frames) / kSampleRate);
    if (q.frames != 0)
        line += Format(", %.1f%% of its frames zero",
                       100.0 * static_cast<double>(q.zeroFrames) / static_cast<double>(q.frames));
    return line + Format(", longest wait for a read %.0f ms\n", q.longestGapMs);
}

ExitHalves SplitAtExit(const Run& run) {
    ExitHalves halves;
    if (run.targetExitMs < 0) return halves;
    halves.before =
        TrackTone(SamplesArrived(run.arrivals, run.stream, 0, run.targetExitMs), kLeftTone);
    const std::vector<float> after =
        SamplesArrived(run.arrivals, run.stream, run.targetExitMs + kExitSettleMs, HUGE_VAL);
    halves.after = TrackTone(after, kLeftTone);
    halves.afterSeconds = static_cast<double>(after.size() / 2) / kSampleRate;
    return halves;
}

std::string ExitLine(const Run& run) {
    const ExitHalves h = SplitAtExit(run);
    return Format("after player 1 ended (at %.0f ms): %.3f s of audio came, %.1f Hz in %s of its "
                  "blocks (before: %s); the helper %s\n",
                  run.targetExitMs, h.afterSeconds, kLeftTone, Share(h.after).c_str(),
                  Share(h.before).c_str(),
                  run.endedBeforeStop ? "ended by itself" : "ran until stopped");
}

}  // namespace selftest
