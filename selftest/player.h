// The player role: steady tones on the default output through the shared
// render path, until its standard input says otherwise.
#pragma once

namespace selftest {

struct Tones {
    double left = 0, right = 0;
    double grandchild = 0;  // 0: no grandchild
};

// Standard input: 's' goes quiet (the stream is stopped), 't' plays again,
// any other byte or end of input ends the player. Its own audio session is
// set to 100 % and unmuted while it plays. With a grandchild tone it starts
// a relay (RunRelay) that starts the grandchild's player, and waits for it.
// Standard output gets one line once the tones play: the window handle in
// hexadecimal (0x0 without `ownWindow`). Returns the exit code.
int RunPlayer(const Tones& tones, bool ownWindow);

// Starts a player of `hz` on both channels, passes its line on and ends it
// when standard input ends.
int RunRelay(double hz);

}  // namespace selftest
