// The process a --window value targets.
#pragma once

#include "platform.h"

// The owner of the window; for a Store (UWP) app's frame, the app's own
// process when its CoreWindow is there. 0 when the window has no owner.
DWORD WindowProcess(HWND window);
