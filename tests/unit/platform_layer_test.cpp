// The listing's process table (both builds) and windows (Windows; X11 is
// tested under Xvfb) against the real system.
#include "audio_sessions.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
struct Child {
    PROCESS_INFORMATION info{};
    // A copy of this program, held suspended so it cannot exit by itself.
    Child() {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                       &startup, &info);
    }
    DWORD Pid() const { return info.dwProcessId; }
    void End() {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
};
#else
struct Child {
    pid_t pid = fork();
    Child() {
        if (pid == 0) for (;;) pause();
    }
    DWORD Pid() const { return static_cast<DWORD>(pid); }
    void End() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};
#endif

TEST(LookUpProcess, ParentExecutableAndStartOfALiveProcessNothingForAnEndedOne) {
    ProcessRecord own, child;
    ASSERT_TRUE(LookUpProcess(GetCurrentProcessId(), &own));
    Child running;
    ASSERT_TRUE(LookUpProcess(running.Pid(), &child));
    running.End();
    EXPECT_EQ(child.parent, GetCurrentProcessId());
    EXPECT_EQ(child.exe, own.exe);
    EXPECT_EQ(own.exe.substr(own.exe.find_last_of(L"/\\") + 1), own.name);
    EXPECT_EQ(own.name.substr(0, 10), L"unit_tests");
    EXPECT_GE(child.started, own.started);
    EXPECT_GT(own.started, 0u);
    ProcessRecord gone;
    EXPECT_FALSE(LookUpProcess(running.Pid(), &gone));
    EXPECT_FALSE(LookUpProcess(0, &gone));
}

#ifdef _WIN32
TEST(EnumerateTopLevelWindows, AVisibleTitledWindowOfOursIsListedAHiddenOneNot) {
    HWND shown = CreateWindowExW(0, L"STATIC", L"Sondrel list \u00e9", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    HWND hidden = CreateWindowExW(0, L"STATIC", L"Sondrel hidden", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                  100, nullptr, nullptr, nullptr, nullptr);
    // Wine without a display driver makes no windows; test_list_wine.py runs this under Xvfb.
    if (shown == nullptr) GTEST_SKIP() << "no window can be made here";
    int found = 0;
    for (const TopLevelWindow& window : EnumerateTopLevelWindows()) {
        if (window.processId != GetCurrentProcessId()) continue;
        EXPECT_EQ(window.window, reinterpret_cast<std::uintptr_t>(shown));
        EXPECT_EQ(window.title, L"Sondrel list \u00e9");
        ++found;
    }
    EXPECT_EQ(found, 1);
    DestroyWindow(hidden);
    DestroyWindow(shown);
}
#endif

}  // namespace
