// The listing's process table (both builds) and windows (Windows; run under
// Xvfb by test_list_wine.py; X11's are tested in tests/x11).
#include "audio_sessions.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

TEST(LookUpProcess, ParentExecutableAndStartOfALiveProcessNothingForAnEndedOne) {
    ProcessRecord own, child, gone;
    ASSERT_TRUE(LookUpProcess(GetCurrentProcessId(), &own));
#ifdef _WIN32  // a copy of this program, held suspended so it cannot exit by itself
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &info));
    const DWORD pid = info.dwProcessId;
    EXPECT_TRUE(LookUpProcess(pid, &child));
    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
#else
    const pid_t pid = fork();
    if (pid == 0) for (;;) pause();
    EXPECT_TRUE(LookUpProcess(static_cast<DWORD>(pid), &child));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
#endif
    EXPECT_EQ(child.parent, GetCurrentProcessId());
    EXPECT_EQ(child.exe, own.exe);
    EXPECT_EQ(own.exe.substr(own.exe.find_last_of(L"/\\") + 1), own.name);
    EXPECT_EQ(own.name.substr(0, 10), L"unit_tests");
    EXPECT_GE(child.started, own.started);
    EXPECT_GT(own.started, 0u);
    EXPECT_FALSE(LookUpProcess(static_cast<DWORD>(pid), &gone));
    EXPECT_FALSE(LookUpProcess(0, &gone));
}

#ifdef _WIN32
TEST(EnumerateTopLevelWindows, AVisibleTitledWindowOfOursIsListedAHiddenOneNot) {
    const auto make = [](const wchar_t* title, DWORD style) {
        return CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW | style, 0, 0, 100, 100,
                               nullptr, nullptr, nullptr, nullptr);
    };
    HWND shown = make(L"Sondrel list \u00e9", WS_VISIBLE), hidden = make(L"Sondrel hidden", 0);
    if (shown == nullptr) GTEST_SKIP() << "Wine without a display driver makes no windows";
    std::vector<TopLevelWindow> ours;
    for (const TopLevelWindow& window : EnumerateTopLevelWindows())
        if (window.processId == GetCurrentProcessId()) ours.push_back(window);
    ASSERT_EQ(ours.size(), 1u);
    EXPECT_EQ(ours[0].window, reinterpret_cast<std::uintptr_t>(shown));
    EXPECT_EQ(ours[0].title, L"Sondrel list \u00e9");
    DestroyWindow(hidden);
    DestroyWindow(shown);
}
#endif
