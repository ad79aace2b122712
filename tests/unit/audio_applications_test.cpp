#include "audio_applications.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr DWORD kOwn = 99;

// The scripted process table: pid -> parent, start, exe. "gone" pids are absent.
const std::map<DWORD, ProcessRecord> kProcesses = {
    {1, {0, 1, L"/sbin/init", L"init"}},
    {10, {1, 10, L"/opt/b/browser", L"browser"}},       // the browser
    {20, {10, 20, L"/opt/b/browser", L"browser"}},      // its utility process
    {30, {20, 30, L"/opt/b/browser", L"browser"}},      // the audio service under it
    {31, {20, 31, L"/opt/b/browser", L"browser"}},      // a second one
    {40, {1, 40, L"/bin/sh", L"sh"}},
    {41, {40, 41, L"/usr/bin/player", L"player"}},      // a player under a shell
    {50, {1, 500, L"/usr/bin/game", L"game"}},          // pid 50 recycled after 51 started
    {51, {50, 51, L"/usr/bin/game", L"game"}},
    {60, {1, 60, L"/usr/bin/game", L"game"}},
    {61, {62, 61, L"/usr/bin/game", L"game"}},          // its parent 62 has gone
    {70, {1, 70, L"", L"daemon"}},                      // exe unreadable: the name decides
    {71, {70, 71, L"", L"daemon"}},
    {kOwn, {40, 99, L"/opt/s/helper", L"helper"}},
};

bool LookUp(DWORD pid, ProcessRecord* record) {
    const auto found = kProcesses.find(pid);
    if (found == kProcesses.end()) return false;
    *record = found->second;
    return true;
}

struct Expected {
    DWORD appPid, pid;
    std::vector<DWORD> pids;
    bool active;
    float peak;
    const wchar_t* title;
    std::optional<std::uint64_t> window;
};

TEST(GroupAudioApplications, WalksSameExecutableParentsAndMergesSessions) {
    const std::vector<TopLevelWindow> windows = {
        {41, 7, L"Player window"}, {10, 5, L"Browser window"}, {30, 6, L"Service window"}};
    const struct {
        const char* name;
        std::vector<AudioSessionInfo> sessions;
        std::vector<Expected> expected;
    } cases[] = {
        {"nested same-executable parents, a window of the application",
         {{30, true, 0.5f, L"", false}}, {{10, 30, {30}, true, 0.5f, L"Browser window", 5}}},
        {"a parent with another executable",
         {{41, false, 0.0f, L"", false}}, {{41, 41, {41}, false, 0.0f, L"Player window", 7}}},
        {"pid of the parent reused during the walk",
         {{51, true, 0.25f, L"", false}}, {{51, 51, {51}, true, 0.25f, L"game", std::nullopt}}},
        {"a gone parent ends the walk; a gone process is left out",
         {{61, true, 0.1f, L"Game", false}, {62, true, 0.9f, L"", false}},
         {{61, 61, {61}, true, 0.1f, L"Game", std::nullopt}}},
        {"no exe on either side: the same name",
         {{71, true, 0.3f, L"", false}}, {{70, 71, {71}, true, 0.3f, L"daemon", std::nullopt}}},
        {"two sessions of one application: loudest pid, any active, highest peak, named",
         {{30, false, 0.2f, L"", false}, {31, true, 0.6f, L"@%SystemRoot%\\x.dll,-1", false},
          {30, true, 0.4f, L"Browser", false}},
         {{10, 31, {30, 31}, true, 0.6f, L"Browser", 5}}},
        {"the helper's own session and system sounds left out; active first, then loudest",
         {{kOwn, true, 1.0f, L"", false}, {0, true, 1.0f, L"", true}, {41, true, 0.0f, L"", true},
          {60, false, 0.9f, L"", false}, {51, true, 0.1f, L"", false},
          {30, true, 0.7f, L"", false}},
         {{10, 30, {30}, true, 0.7f, L"Browser window", 5},
          {51, 51, {51}, true, 0.1f, L"game", std::nullopt},
          {60, 60, {60}, false, 0.9f, L"game", std::nullopt}}},
    };
    for (const auto& c : cases) {
        const auto got = GroupAudioApplications(c.sessions, LookUp, windows, kOwn);
        ASSERT_EQ(got.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const Expected& want = c.expected[i];
            EXPECT_EQ(got[i].appPid, want.appPid) << c.name;
            EXPECT_EQ(got[i].pid, want.pid) << c.name;
            EXPECT_EQ(got[i].pids, want.pids) << c.name;
            EXPECT_EQ(got[i].active, want.active) << c.name;
            EXPECT_FLOAT_EQ(got[i].peak, want.peak) << c.name;
            EXPECT_EQ(got[i].title, want.title) << c.name;
            EXPECT_EQ(got[i].window, want.window) << c.name;
            EXPECT_EQ(got[i].name, kProcesses.at(want.appPid).name) << c.name;
            EXPECT_EQ(got[i].exe, kProcesses.at(want.appPid).exe) << c.name;
        }
    }
}

TEST(FormatAudioApplication, OneJsonLineWithEscapesNullsAndAClampedPeak) {
    AudioApplication app;
    app.pid = 31;
    app.pids = {30, 31};
    app.appPid = 10;
    app.name = L"a\"b\\c";
    app.title = L"\u00e9\u4e2d\x01";
    app.active = true;
    app.peak = 1.5f;
    EXPECT_EQ(FormatAudioApplication(app),
              "{\"pid\":31,\"pids\":[30,31],\"appPid\":10,\"name\":\"a\\\"b\\\\c\",\"exe\":null,"
              "\"title\":\"\xc3\xa9\xe4\xb8\xad\\u0001\",\"window\":null,\"active\":true,"
              "\"peak\":1.0000}\n");
    app.exe = L"/x";
    app.window = 4294967296ull;
    app.active = false;
    app.peak = 0.12344f;
    const std::string line = FormatAudioApplication(app);
    EXPECT_NE(line.find("\"exe\":\"/x\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"window\":4294967296,\"active\":false,\"peak\":0.1234}"),
              std::string::npos) << line;
}

TEST(ParseListArguments, ListAloneOrWithAMeasuringWindowInMs) {
    const struct {
        std::vector<const wchar_t*> arguments;
        bool accepted;
        DWORD measureMs;
    } cases[] = {
        {{L"--list"}, true, 100},        {{L"--list", L"250"}, true, 250},
        {{L"--list", L"0"}, true, 0},    {{L"--list", L"10000"}, true, 10000},
        {{L"--list", L"10001"}, false, 0}, {{L"--list", L"0000000100"}, false, 0},
        {{L"--list", L"12a"}, false, 0}, {{L"--list", L"-1"}, false, 0},
        {{L"--list", L""}, false, 0},    {{L"--LIST"}, false, 0},
        {{L"--pid", L"42"}, false, 0},   {{L"--list", L"1", L"2"}, false, 0},
    };
    for (const auto& c : cases) {
        std::vector<const wchar_t*> argv = c.arguments;
        argv.insert(argv.begin(), L"sondrel-process-loopback.exe");
        DWORD ms = 0;
        EXPECT_EQ(ParseListArguments(static_cast<int>(argv.size()), argv.data(), &ms), c.accepted)
            << argv.size() << " " << argv[1];
        if (c.accepted) {
            EXPECT_EQ(ms, c.measureMs) << argv[1];
        }
    }
}

}  // namespace
