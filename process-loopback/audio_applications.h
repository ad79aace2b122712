// --list: which applications have audio output now, one JSON object per line.
// The grouping and naming are the same on every platform; what they are fed
// comes from the platform layer declared in audio_sessions.h.
#pragma once

#include "audio_sessions.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

inline constexpr DWORD kDefaultMeasureMs = 100;
inline constexpr DWORD kMaxMeasureMs = 10000;

struct AudioApplication {
    DWORD pid = 0;            // the loudest of pids
    std::vector<DWORD> pids;  // every process of it with a session, sorted
    DWORD appPid = 0;         // what --pid takes to capture all of it
    std::wstring name;
    std::wstring exe;         // empty: unknown
    std::wstring title;
    std::optional<std::uint64_t> window;
    bool active = false;
    float peak = 0.0f;
};

using ProcessLookUp = std::function<bool(DWORD, ProcessRecord*)>;

// Sessions of one application merged; the helper's own (ownPid) and the
// system sounds left out, as are sessions whose process is gone. Loudest
// first (active ones before the rest), then by appPid.
std::vector<AudioApplication> GroupAudioApplications(const std::vector<AudioSessionInfo>& sessions,
                                                     const ProcessLookUp& lookUp,
                                                     const std::vector<TopLevelWindow>& windows,
                                                     DWORD ownPid);

// One line of the listing, ending in "\n".
std::string FormatAudioApplication(const AudioApplication& application);

// "--list" alone, or followed by the measuring window in ms (decimal digits
// only, at most kMaxMeasureMs). False for anything else.
bool ParseListArguments(int argc, const wchar_t* const* argv, DWORD* measureMs);

// The whole command: COM apartment, platform, grouping, standard output.
// Returns the exit code (0, 3 or 4), failure lines written.
int RunListCommand(DWORD measureMs);
