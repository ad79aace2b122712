// The audio sessions of the scripted platform, for --list: SONDREL_SESSIONS
// holds comma-separated sessions "PID:ACTIVE:PEAK:NAME" (ACTIVE 0 or 1).
// Unset, the enumeration fails as Wine's does (E_NOTIMPL).
#include "audio_sessions.h"

#include <cstdlib>
#include <sstream>
#include <string>

HRESULT EnumerateAudioSessions(DWORD, std::vector<AudioSessionInfo>* sessions) {
    const char* scenario = std::getenv("SONDREL_SESSIONS");
    if (scenario == nullptr) return E_NOTIMPL;
    std::stringstream entries(scenario);
    for (std::string pid, active, peak, name; std::getline(entries, pid, ':');) {
        std::getline(std::getline(std::getline(entries, active, ':'), peak, ':'), name, ',');
        sessions->push_back({static_cast<DWORD>(std::strtoul(pid.c_str(), nullptr, 10)), active == "1",
                             std::strtof(peak.c_str(), nullptr),
                             std::wstring(name.begin(), name.end()), false});
    }
    return S_OK;
}
