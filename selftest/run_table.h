// The figures of each run, one row per run, as they came.
#pragma once

#include <string>

#include "helper_run.h"

namespace selftest {

std::string TableHead();
std::string Row(const Run& run);

// What arrived while player 1 was quiet; what arrived before and after it
// ended.
std::string QuietLine(const Run& run);
std::string ExitLine(const Run& run);

// The stream before player 1 ended and after what was in flight had come.
struct ExitHalves {
    ToneTrack before, after;
    double afterSeconds = 0;
};
ExitHalves SplitAtExit(const Run& run);

std::string Share(const ToneTrack& track);

}  // namespace selftest
