// The audio sessions of the scripted platform, for --list. SONDREL_SESSIONS
// holds comma-separated sessions "PID:ACTIVE:PEAK:NAME" (PID "self" is the
// program's own; ACTIVE 0 or 1; NAME optional), or a code "0x..." the
// enumeration fails with. Unset, it fails as Wine does (E_NOTIMPL).
#include "audio_sessions.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

HRESULT EnumerateAudioSessions(DWORD, std::vector<AudioSessionInfo>* sessions) {
    sessions->clear();
    const char* scenario = std::getenv("SONDREL_SESSIONS");
    if (scenario == nullptr) return E_NOTIMPL;
    if (std::strncmp(scenario, "0x", 2) == 0)
        return static_cast<HRESULT>(std::strtoul(scenario, nullptr, 16));
    std::stringstream entries(scenario);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        std::stringstream fields(entry);
        std::string pid, active, peak, name;
        std::getline(fields, pid, ':');
        std::getline(fields, active, ':');
        std::getline(fields, peak, ':');
        std::getline(fields, name);
        AudioSessionInfo session;
        session.processId = pid == "self" ? GetCurrentProcessId()
                                          : static_cast<DWORD>(std::strtoul(pid.c_str(), nullptr, 10));
        session.active = active == "1";
        session.peak = std::strtof(peak.c_str(), nullptr);
        session.displayName.assign(name.begin(), name.end());
        sessions->push_back(session);
    }
    return S_OK;
}
