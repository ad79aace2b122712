// The capture thread as audio applications run theirs: registered with the
// multimedia class scheduler (MMCSS, task "Audio"), so that a busy machine
// does not starve it. avrt.dll is loaded at run time; where it or the
// registration is missing, the thread runs at normal priority and the run
// goes on.
#pragma once

#include "platform.h"

// Registers the calling thread for its lifetime; constructed and destroyed
// on the same thread.
class AudioThreadPriority {
public:
    AudioThreadPriority();
    AudioThreadPriority(const AudioThreadPriority&) = delete;
    AudioThreadPriority& operator=(const AudioThreadPriority&) = delete;
    ~AudioThreadPriority();

private:
    HMODULE avrt_ = nullptr;
    HANDLE task_ = nullptr;
};
