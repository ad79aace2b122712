#include "promises.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace selftest {

namespace {

constexpr double kLevelToleranceDb = 1;
constexpr double kFloorLimitDb = -60, kFloorRiseDb = 6, kFloorSilentDb = -100;

template <typename... Args>
std::string Text(const char* format, Args... args) {
    char line[256];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

const char* Word(Presence presence) {
    return presence == Presence::Present  ? "present"
           : presence == Presence::Absent ? "absent"
                                          : "unclear";
}

double PlayedDb() { return Dbfs(kPlayedAmplitude); }

}  // namespace

Check TreeCaptured(const std::vector<float>& stream, bool include) {
    const ToneTrack player = TrackTone(stream, kLeftTone), grandchild =
                                                               TrackTone(stream, kGrandchildTone),
                    other = TrackTone(stream, kOtherTone);
    const ToneTrack& kept = include ? player : other;
    const Presence in = include ? Presence::Present : Presence::Absent;
    const Presence out = include ? Presence::Absent : Presence::Present;
    const std::size_t drops = DropOuts(stream);
    Check check;
    check.ok = Judge(player) == in && Judge(grandchild) == in && Judge(other) == out &&
               kept.breaks == 0 && drops == 0;
    check.figures = Text("%.1f Hz %s, grandchild's %.1f Hz %s, other player's %.1f Hz %s, "
                         "%zu phase breaks, %zu drop-outs",
                         kLeftTone, Word(Judge(player)), kGrandchildTone, Word(Judge(grandchild)),
                         kOtherTone, Word(Judge(other)), kept.breaks, drops);
    return check;
}

Check ChannelsKept(const std::vector<float>& stream) {
    const Presence leftLeft = Judge(TrackTone(stream, kLeftTone, Channel::Left));
    const Presence leftRight = Judge(TrackTone(stream, kLeftTone, Channel::Right));
    const Presence rightRight = Judge(TrackTone(stream, kRightTone, Channel::Right));
    const Presence rightLeft = Judge(TrackTone(stream, kRightTone, Channel::Left));
    Check check;
    check.ok = leftLeft == Presence::Present && leftRight == Presence::Absent &&
               rightRight == Presence::Present && rightLeft == Presence::Absent;
    check.figures = Text("%.1f Hz: left %s, right %s; %.1f Hz: right %s, left %s", kLeftTone,
                         Word(leftLeft), Word(leftRight), kRightTone, Word(rightRight),
                         Word(rightLeft));
    return check;
}

Check LevelHeld(const std::vector<float>& include, const std::vector<float>& exclude,
                double deviceDb) {
    struct Heard {
        double hz;
        const std::vector<float>* stream;
    };
    const Heard tones[] = {{kLeftTone, &include}, {kRightTone, &include},
                           {kGrandchildTone, &include}, {kOtherTone, &exclude}};
    std::vector<double> offsets;
    std::string figures;
    for (const Heard& tone : tones) {
        const ToneTrack left = TrackTone(*tone.stream, tone.hz, Channel::Left);
        const ToneTrack right = TrackTone(*tone.stream, tone.hz, Channel::Right);
        const ToneTrack& loud = left.medianAmplitude >= right.medianAmplitude ? left : right;
        if (!figures.empty()) figures += ", ";
        if (Judge(loud) != Presence::Present) {
            figures += Text("%.1f Hz not heard", tone.hz);
            continue;
        }
        const double db = Dbfs(loud.medianAmplitude);
        offsets.push_back(db - PlayedDb());
        figures += Text("%.1f Hz %.1f dBFS", tone.hz, db);
    }
    const auto within = [&](double expected) {
        return std::all_of(offsets.begin(), offsets.end(), [&](double offset) {
            return std::abs(offset - expected) <= kLevelToleranceDb;
        });
    };
    Check check;
    figures += Text(" (played %.1f dBFS", PlayedDb());
    if (offsets.empty()) {
        figures += ")";
    } else if (within(0)) {
        check.ok = true;
        figures += ")";
    } else if (deviceDb < -kLevelToleranceDb && within(deviceDb)) {
        check.ok = true;
        figures += Text("; the capture follows the device volume, %.1f dB)", deviceDb);
    } else {
        figures += ")";
    }
    check.figures = figures;
    return check;
}

Check Unbroken(const std::vector<float>& stream) {
    const ToneTrack tone = TrackTone(stream, kLeftTone);
    const std::size_t drops = DropOuts(stream);
    Check check;
    check.ok = Judge(tone) == Presence::Present && tone.breaks == 0 && drops == 0;
    check.figures = Text("%.1f Hz %s, %zu phase breaks, %zu drop-outs in %.1f s", kLeftTone,
                         Word(Judge(tone)), tone.breaks, drops,
                         static_cast<double>(stream.size() / 2) / kSampleRate);
    return check;
}

MinuteFigures Minute(const std::vector<float>& stream) {
    const ToneTrack tone = TrackTone(stream, kLeftTone, Channel::Left);
    return {Dbfs(tone.medianAmplitude), tone.breaks,
            Dbfs(TrackTone(stream, kProbeTone, Channel::Left).medianAmplitude)};
}

Check Steady(const std::vector<MinuteFigures>& minutes) {
    Check check;
    check.ok = !minutes.empty();
    for (std::size_t m = 0; m < minutes.size(); ++m) {
        const MinuteFigures& f = minutes[m];
        const double floorCap =
            std::min(kFloorLimitDb, std::max(minutes[0].floorDb + kFloorRiseDb, kFloorSilentDb));
        check.ok = check.ok && std::abs(f.levelDb - minutes[0].levelDb) <= kLevelToleranceDb &&
                   f.breaks == 0 && f.floorDb <= floorCap;
        check.figures += Text("%sminute %zu: %.1f dBFS, %zu breaks, floor %.0f dBFS",
                              m ? "; " : "", m + 1, f.levelDb, f.breaks,
                              std::max(f.floorDb, -999.0));
    }
    return check;
}

}  // namespace selftest
