// The one request the front end makes of the capture engine.
#pragma once

#include "platform.h"

#include <cstdint>

struct CaptureTarget {
    std::uint32_t processId;
    std::uint32_t LoopbackMode;  // 0 = include the process tree, 1 = exclude it
};

// Blocks until capture has ended and everything it acquired is released.
// Negative = failure; the caller only looks at the sign.
HRESULT RunProcessLoopbackCapture(const CaptureTarget& target);
