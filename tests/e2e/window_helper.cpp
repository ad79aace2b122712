// Owns a message-only window (works without a display) and prints
// "<window handle> <process id>", then waits for its stdin to close. With
// the argument "exit259" it prints instead the id of a child that has exited
// with code 259 (STILL_ACTIVE's value), kept open so that the id stays its.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "child") == 0) return 259;
    unsigned long pid = GetCurrentProcessId();
    HWND window = nullptr;
    PROCESS_INFORMATION child{};
    if (argc == 2 && std::strcmp(argv[1], "exit259") == 0) {
        char line[MAX_PATH + 16];
        std::snprintf(line, sizeof line, "\"%s\" child", argv[0]);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
            return 1;
        WaitForSingleObject(child.hProcess, INFINITE);
        pid = child.dwProcessId;
    } else {
        window = CreateWindowExW(0, L"STATIC", L"sondrel-window-helper", 0, 0, 0, 0, 0,
                                 HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (window == nullptr) return 1;
    }
    std::printf("0x%llx %lu\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), pid);
    std::fflush(stdout);
    char received = 0;
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &received, 1, &read, nullptr);
    if (window != nullptr) DestroyWindow(window);
    if (child.hProcess != nullptr) CloseHandle(child.hProcess), CloseHandle(child.hThread);
    return 0;
}
