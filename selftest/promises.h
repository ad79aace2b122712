// What each promise asks of a captured stream, judged on the stream alone.
// Plain C++, so that every fault it must catch is checked on every build.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "stream_analysis.h"

namespace selftest {

// Tones no instrument or alert sound uses, so that other sounds on the
// machine do not pass for them, 500 Hz or more apart so that one 10 ms block
// keeps each out of the others' measurement. Player 1 plays kLeftTone on its
// left channel and kRightTone on its right, its grandchild kGrandchildTone
// and player 2 kOtherTone on both. 12.382 cycles per 10 ms packet: a lost
// packet moves the left tone's phase by more than a third of a cycle.
constexpr double kLeftTone = 1238.2, kRightTone = 2338.2, kGrandchildTone = 2861.8,
                 kOtherTone = 1761.8;
// Where no tone plays: the noise floor of a long run.
constexpr double kProbeTone = 6000.0;
constexpr double kPlayedAmplitude = 0.25;  // -12 dBFS: room for all four tones

struct Check {
    bool ok = false;
    std::string figures;
};

// Include: player 1's and its grandchild's tones there, player 1's unbroken
// and without drop-outs, player 2's absent; exclude: the other way round.
Check TreeCaptured(const std::vector<float>& stream, bool include);

// Player 1's left tone only on the left, its right tone only on the right.
Check ChannelsKept(const std::vector<float>& stream);

// Every tone heard, on the channel where it is loudest, within 1 dB of the
// played level; or, on a device whose master volume is deviceDb (below
// -1 dB) and which the capture follows, of the played level plus that.
// Tones that are not heard are the other promises' concern, as long as one
// is heard.
Check LevelHeld(const std::vector<float>& include, const std::vector<float>& exclude,
                double deviceDb);

// Player 1's left tone throughout: no phase break, no drop-out of 1 ms.
Check Unbroken(const std::vector<float>& stream);

struct MinuteFigures {
    double levelDb = 0;      // the left tone on the left channel, median
    std::size_t breaks = 0;  // of the left tone
    double floorDb = 0;      // at kProbeTone, median over its blocks
};
MinuteFigures Minute(const std::vector<float>& stream);

// Each minute: the level within 1 dB of the first minute's, no phase
// break, and the floor below -60 dBFS and no more than 6 dB above the first
// minute's (a floor below -100 dBFS is silence, however it moves).
Check Steady(const std::vector<MinuteFigures>& minutes);

}  // namespace selftest
