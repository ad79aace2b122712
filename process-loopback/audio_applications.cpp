#include "audio_applications.h"

#include "standard_error.h"
#include "output_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <map>

namespace {

// Deeper chains of one executable are not real applications; the bound also
// ends the walk should the table ever report a cycle.
constexpr int kMaxWalk = 64;

bool SamePath(const std::wstring& a, const std::wstring& b) {
#ifdef _WIN32
    // Windows paths differ in case only by accident.
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(x) == std::towlower(y);
           });
#else
    return a == b;
#endif
}

bool SameExecutable(const ProcessRecord& a, const ProcessRecord& b) {
    if (!a.exe.empty() && !b.exe.empty()) return SamePath(a.exe, b.exe);
    return !a.name.empty() && SamePath(a.name, b.name);
}

// Up through the parents while they run the same executable. A parent that
// started after its child holds a recycled pid: the real parent is gone.
// record: the process on entry, the application on return.
DWORD ApplicationOf(DWORD pid, ProcessRecord* record, const ProcessLookUp& lookUp) {
    const ProcessRecord process = *record;
    DWORD current = pid;
    for (int depth = 0; depth < kMaxWalk; ++depth) {
        const DWORD parent = record->parent;
        ProcessRecord up;
        if (parent == 0 || parent == current || !lookUp(parent, &up)) break;
        if (up.started > record->started || !SameExecutable(up, process)) break;
        current = parent;
        *record = std::move(up);
    }
    return current;
}

// Indirect strings ("@%SystemRoot%\...,-123") name a resource, not a title.
bool UsableName(const std::wstring& name) { return !name.empty() && name[0] != L'@'; }

void AppendJsonString(std::string& out, const std::wstring& text) {
    const std::string bytes = WideToUtf8(text.data(), text.size());
    out += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

struct Group {
    AudioApplication application;
    std::map<DWORD, float> peaks;  // per process
    std::wstring displayName;
    float namedPeak = -1.0f;       // peak of the session that gave displayName
};

}  // namespace

std::vector<AudioApplication> GroupAudioApplications(const std::vector<AudioSessionInfo>& sessions,
                                                     const ProcessLookUp& lookUp,
                                                     const std::vector<TopLevelWindow>& windows,
                                                     DWORD ownPid) {
    std::map<DWORD, Group> groups;  // by appPid
    std::map<DWORD, DWORD> applicationOf;
    std::map<DWORD, ProcessRecord> applications;
    for (const AudioSessionInfo& session : sessions) {
        if (session.systemSounds || session.processId == 0 || session.processId == ownPid)
            continue;
        auto known = applicationOf.find(session.processId);
        if (known == applicationOf.end()) {
            ProcessRecord app;
            if (!lookUp(session.processId, &app)) continue;  // gone since
            const DWORD appPid = ApplicationOf(session.processId, &app, lookUp);
            applications.emplace(appPid, std::move(app));
            known = applicationOf.emplace(session.processId, appPid).first;
        }
        Group& group = groups[known->second];
        const float peak = std::isfinite(session.peak) ? std::clamp(session.peak, 0.0f, 1.0f) : 0.0f;
        float& own = group.peaks[session.processId];
        own = std::max(own, peak);
        group.application.active = group.application.active || session.active;
        if (UsableName(session.displayName) && peak > group.namedPeak) {
            group.displayName = session.displayName;
            group.namedPeak = peak;
        }
    }

    std::vector<AudioApplication> result;
    for (auto& [appPid, group] : groups) {
        AudioApplication& app = group.application;
        app.appPid = appPid;
        const ProcessRecord& record = applications.at(appPid);
        app.name = record.name;
        app.exe = record.exe;
        app.peak = -1.0f;
        for (const auto& [pid, peak] : group.peaks) {  // ascending: ties go to the lower pid
            app.pids.push_back(pid);
            if (peak > app.peak) app.peak = peak, app.pid = pid;
        }
        // The application's own window first, then one of a process with a session.
        const TopLevelWindow* chosen = nullptr;
        for (const TopLevelWindow& window : windows)
            if (window.processId == appPid) { chosen = &window; break; }
        for (const TopLevelWindow& window : windows) {
            if (chosen != nullptr) break;
            if (group.peaks.count(window.processId) != 0) chosen = &window;
        }
        if (chosen != nullptr) app.window = chosen->window;
        app.title = UsableName(group.displayName) ? group.displayName
                    : chosen != nullptr && !chosen->title.empty() ? chosen->title
                                                                  : app.name;
        result.push_back(std::move(app));
    }
    std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        if (a.active != b.active) return a.active;
        return a.peak > b.peak;
    });
    return result;
}

std::string FormatAudioApplication(const AudioApplication& app) {
    std::string out = "{\"pid\":" + std::to_string(app.pid) + ",\"pids\":[";
    for (std::size_t i = 0; i < app.pids.size(); ++i) {
        if (i != 0) out += ',';
        out += std::to_string(app.pids[i]);
    }
    out += "],\"appPid\":" + std::to_string(app.appPid) + ",\"name\":";
    AppendJsonString(out, app.name);
    out += ",\"exe\":";
    if (app.exe.empty()) out += "null";
    else AppendJsonString(out, app.exe);
    out += ",\"title\":";
    AppendJsonString(out, app.title);
    out += ",\"window\":" + (app.window ? std::to_string(*app.window) : std::string("null"));
    out += app.active ? ",\"active\":true" : ",\"active\":false";
    char peak[32];
    std::snprintf(peak, sizeof peak, ",\"peak\":%.4f}\n",
                  std::isfinite(app.peak) ? std::clamp(app.peak, 0.0f, 1.0f) : 0.0f);
    return out + peak;
}

bool ParseListArguments(int argc, const wchar_t* const* argv, DWORD* measureMs) {
    if ((argc != 2 && argc != 3) || std::wcscmp(argv[1], L"--list") != 0) return false;
    *measureMs = kDefaultMeasureMs;
    if (argc == 2) return true;
    const wchar_t* digits = argv[2];
    DWORD value = 0;
    std::size_t count = 0;
    for (; digits[count] != L'\0'; ++count) {
        if (digits[count] < L'0' || digits[count] > L'9' || count >= 5) return false;
        value = value * 10 + static_cast<DWORD>(digits[count] - L'0');
    }
    if (count == 0 || value > kMaxMeasureMs) return false;
    *measureMs = value;
    return true;
}

int RunListCommand(DWORD measureMs) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        ReportFailure(kComFailurePrefix, hr);
        return 3;
    }
    std::vector<AudioSessionInfo> sessions;
    hr = EnumerateAudioSessions(measureMs, &sessions);
    if (SUCCEEDED(hr)) {
        // Whole, or nothing: a reader never sees part of a list.
        std::string out;
        const auto windows = sessions.empty() ? std::vector<TopLevelWindow>{}
                                              : EnumerateTopLevelWindows();
        for (const AudioApplication& app :
             GroupAudioApplications(sessions, LookUpProcess, windows, GetCurrentProcessId()))
            out += FormatAudioApplication(app);
        if (!out.empty()) hr = WriteFully(out.data(), static_cast<std::uint32_t>(out.size()));
        if (hr == kBrokenPipe) hr = S_OK;  // the reader went away: nothing left to tell it
    }
    if (FAILED(hr)) ReportFailure(kCaptureFailurePrefix, hr);
    CoUninitialize();
    return FAILED(hr) ? 4 : 0;
}
