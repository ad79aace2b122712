// The player role: a steady tone on the default output through the shared
// render path, until its standard input says otherwise.
#pragma once

namespace selftest {

// Standard input: 's' goes quiet (the stream is stopped), 't' plays again,
// any other byte or end of input ends the player. Standard output gets one
// line once the tone plays: the window handle in hexadecimal (0x0 without
// `ownWindow`). Returns the exit code.
int RunPlayer(double hz, bool ownWindow);

}  // namespace selftest
