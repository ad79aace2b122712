// What the listing of audio applications asks of a platform: the audio
// sessions (Windows) or output streams (PipeWire) that exist now, the process
// table and the top-level windows. Each build links one implementation.
#pragma once

#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

struct AudioSessionInfo {
    DWORD processId = 0;
    bool active = false;          // playing a stream now
    float peak = 0.0f;            // loudest sample over the measuring window, 0..1
    std::wstring displayName;     // what the application calls its audio; may be empty
    bool systemSounds = false;    // the system's own sounds session
};

struct ProcessRecord {
    DWORD parent = 0;             // 0 when it has none we can see
    std::uint64_t started = 0;    // start time in the platform's units; orders processes
    std::wstring exe;             // full path, empty when the system does not give it
    std::wstring name;            // executable base name
};

struct TopLevelWindow {
    DWORD processId = 0;
    std::uint64_t window = 0;     // the value --window takes
    std::wstring title;
};

// Every session or stream of every active output device, with its peak
// sampled across measureMs. A failure means no list can be made.
HRESULT EnumerateAudioSessions(DWORD measureMs, std::vector<AudioSessionInfo>* sessions);

// false when no process has that id (or it is gone).
bool LookUpProcess(DWORD processId, ProcessRecord* record);

// The visible top-level windows with a title, in the window system's order;
// empty where there is no window system to ask.
std::vector<TopLevelWindow> EnumerateTopLevelWindows();
