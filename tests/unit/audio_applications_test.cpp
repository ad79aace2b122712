#include "audio_applications.h"
#include "front_end.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr DWORD kOwn = 99;

// pid -> parent, start, exe, name; pids not here are gone.
const std::map<DWORD, ProcessRecord> kProcesses = {
    {1, {0, 1, L"/sbin/init", L"init"}},
    {10, {1, 10, L"/opt/b/browser", L"browser"}},   // a browser, its utility process,
    {20, {10, 20, L"/opt/b/browser", L"browser"}},  // and two audio services under it
    {30, {20, 30, L"/opt/b/browser", L"browser"}},
    {31, {20, 31, L"/opt/b/browser", L"browser"}},
    {40, {1, 40, L"/bin/sh", L"sh"}},
    {41, {40, 41, L"/usr/bin/player", L"player"}},  // a player under a shell
    {50, {1, 500, L"/usr/bin/game", L"game"}},      // pid 50 reused after 51 started
    {51, {50, 51, L"/usr/bin/game", L"game"}},
    {60, {1, 60, L"/usr/bin/game", L"game"}},
    {61, {62, 61, L"/usr/bin/game", L"game"}},      // its parent 62 has gone
    {70, {1, 70, L"", L"daemon"}},                  // no exe readable: the name decides
    {71, {70, 71, L"", L"daemon"}},
    {kOwn, {40, 99, L"/opt/s/helper", L"helper"}},
};

bool LookUp(DWORD pid, ProcessRecord* record) {
    const auto found = kProcesses.find(pid);
    if (found != kProcesses.end()) *record = found->second;
    return found != kProcesses.end();
}

// "appPid pid [pids] active peak name exe title window"
std::string Describe(const AudioApplication& a) {
    std::string pids;
    for (DWORD pid : a.pids) pids += (pids.empty() ? "" : ",") + std::to_string(pid);
    char peak[16];
    std::snprintf(peak, sizeof peak, "%.2f", a.peak);
    return std::to_string(a.appPid) + " " + std::to_string(a.pid) + " [" + pids + "] " +
           (a.active ? "on " : "off ") + peak + " " + WideToUtf8(a.name.data(), a.name.size()) +
           " " + WideToUtf8(a.exe.data(), a.exe.size()) + " " +
           WideToUtf8(a.title.data(), a.title.size()) + " " +
           (a.window ? std::to_string(*a.window) : "-");
}

TEST(GroupAudioApplications, WalksSameExecutableParentsAndMergesSessions) {
    const std::vector<TopLevelWindow> windows = {
        {41, 7, L"Player window"}, {10, 5, L"Browser window"}, {30, 6, L"Service window"}};
    const struct {
        const char* name;
        std::vector<AudioSessionInfo> sessions;
        std::vector<std::string> expected;
    } cases[] = {
        {"nested same-executable parents; the application's window", {{30, true, 0.5f, L"", false}},
         {"10 30 [30] on 0.50 browser /opt/b/browser Browser window 5"}},
        {"a parent with another executable", {{41, false, 0.0f, L"", false}},
         {"41 41 [41] off 0.00 player /usr/bin/player Player window 7"}},
        {"the parent's pid reused during the walk", {{51, true, 0.25f, L"", false}},
         {"51 51 [51] on 0.25 game /usr/bin/game game -"}},
        {"a gone parent ends the walk; a gone process is left out",
         {{61, true, 0.1f, L"Game", false}, {62, true, 0.9f, L"", false}},
         {"61 61 [61] on 0.10 game /usr/bin/game Game -"}},
        {"no exe on either side: the same name", {{71, true, 0.3f, L"", false}},
         {"70 71 [71] on 0.30 daemon  daemon -"}},
        {"two sessions of one application: loudest pid, any active, highest peak, a usable name",
         {{30, false, 0.2f, L"", false}, {31, true, 0.6f, L"@%SystemRoot%\\x.dll,-1", false},
          {30, true, 0.4f, L"Browser", false}},
         {"10 31 [30,31] on 0.60 browser /opt/b/browser Browser 5"}},
        {"the helper's own session and system sounds left out; active first, then loudest",
         {{kOwn, true, 1.0f, L"", false}, {0, true, 1.0f, L"", true}, {41, true, 0.0f, L"", true},
          {60, false, 0.9f, L"", false}, {51, true, 0.1f, L"", false}, {30, true, 0.7f, L"", false}},
         {"10 30 [30] on 0.70 browser /opt/b/browser Browser window 5",
          "51 51 [51] on 0.10 game /usr/bin/game game -", "60 60 [60] off 0.90 game /usr/bin/game game -"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        for (const auto& app : GroupAudioApplications(c.sessions, LookUp, windows, kOwn))
            got.push_back(Describe(app));
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(FormatAudioApplication, OneJsonLineWithEscapesNullsAndAClampedPeak) {
    AudioApplication app{31, {30, 31}, 10, L"a\"b\\c", L"", L"\u00e9\u4e2d\x01", {}, true, 1.5f};
    AudioApplication other{1, {1}, 1, L"x", L"/x", L"t", 4294967296ull, false, 0.12344f};
    EXPECT_EQ(FormatAudioApplication(app) + FormatAudioApplication(other),
              "{\"pid\":31,\"pids\":[30,31],\"appPid\":10,\"name\":\"a\\\"b\\\\c\",\"exe\":null,"
              "\"title\":\"\xc3\xa9\xe4\xb8\xad\\u0001\",\"window\":null,\"active\":true,\"peak\":1.0000}\n"
              "{\"pid\":1,\"pids\":[1],\"appPid\":1,\"name\":\"x\",\"exe\":\"/x\",\"title\":\"t\","
              "\"window\":4294967296,\"active\":false,\"peak\":0.1234}\n");
}

TEST(ParseListArguments, ListAloneOrWithAMeasuringWindowInMs) {
    const struct {
        std::vector<const wchar_t*> arguments;
        DWORD measureMs;  // 1: refused
    } cases[] = {
        {{L"--list"}, 100}, {{L"--list", L"250"}, 250}, {{L"--list", L"0"}, 0},
        {{L"--list", L"10000"}, 10000}, {{L"--list", L"10001"}, 1}, {{L"--list", L"0000000100"}, 1},
        {{L"--list", L"12a"}, 1}, {{L"--list", L"-1"}, 1}, {{L"--list", L""}, 1}, {{L"--LIST"}, 1},
        {{L"--pid", L"42"}, 1}, {{L"--list", L"1", L"2"}, 1},
    };
    for (const auto& c : cases) {
        std::vector<const wchar_t*> argv = c.arguments;
        argv.insert(argv.begin(), L"sondrel-process-loopback.exe");
        DWORD ms = 1;
        const bool accepted = ParseListArguments(static_cast<int>(argv.size()), argv.data(), &ms);
        EXPECT_EQ(accepted ? ms : 1, c.measureMs) << argv.size() << " " << argv[1];
    }
}

}  // namespace
