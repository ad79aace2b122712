// A handle to an event that can signal it and nothing else, for a thread or
// callback that must outlive the owner's own handle.
#pragma once

#include "last_error.h"
#include "platform.h"

inline HRESULT DuplicateSignalOnly(HANDLE event, HANDLE* duplicate) {
    *duplicate = nullptr;
    HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, event, process, duplicate, EVENT_MODIFY_STATE, FALSE, 0)) {
        *duplicate = nullptr;
        return LastErrorAsFailure();
    }
    return S_OK;
}
