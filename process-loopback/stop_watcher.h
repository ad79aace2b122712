// Turns any byte, end of input or read failure on stdin into the stop signal.
#pragma once

#include "platform.h"

// Duplicates stopEvent (signal right only) for a detached thread that owns
// the duplicate. On failure nothing is left running or open.
HRESULT StartStopWatcher(HANDLE stopEvent);
