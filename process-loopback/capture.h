// The one request the front end makes of the capture engine.
#pragma once

#include "platform.h"

#include <cstdint>

struct CaptureTarget {
    std::uint32_t processId;
    PROCESS_LOOPBACK_MODE LoopbackMode;
};

// Blocks until capture has ended and everything it acquired is released.
// Negative = failure; the caller only looks at the sign.
HRESULT RunProcessLoopbackCapture(const CaptureTarget& target);
