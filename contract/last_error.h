// A failure read from GetLastError that must not pass for success when the
// platform left the error at 0.
#pragma once

#include "platform.h"

inline HRESULT LastErrorAsFailure() {
    const HRESULT hr = HRESULT_FROM_WIN32(static_cast<long>(GetLastError()));
    return FAILED(hr) ? hr : E_FAIL;
}
