// A process of its own that owns a message-only window, for --window. Prints
// "<window handle> <process id>", then waits for its stdin to close.
// window_helper PARENT CLASS: the window is instead a child of PARENT (a
// window of another process) of window class CLASS, as a Store app's
// CoreWindow is inside its frame. window_helper exit259: prints instead the
// id of a child that has exited with code 259 (STILL_ACTIVE's value), kept
// open so that the id stays its.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"child") == 0) return 259;
    unsigned long pid = GetCurrentProcessId();
    HWND window = nullptr;
    PROCESS_INFORMATION child{};
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (argc == 2 && std::wcscmp(argv[1], L"exit259") == 0) {
        wchar_t line[MAX_PATH + 16];
        std::swprintf(line, sizeof line / sizeof line[0], L"\"%ls\" child", argv[0]);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
            return 1;
        WaitForSingleObject(child.hProcess, INFINITE);
        pid = child.dwProcessId;
    } else if (argc == 3) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = argv[2];
        const auto parent = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::wcstoull(argv[1], nullptr, 0)));
        // Made message-only, then moved: Wine with no display creates no
        // child of another process's window directly.
        if (RegisterClassW(&windowClass) != 0)
            window = CreateWindowExW(0, argv[2], L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
        SetWindowLongPtrW(window, GWL_STYLE, WS_CHILD);
        if (window != nullptr && SetParent(window, parent) == nullptr) window = nullptr;
        if (window == nullptr) return 1;
    } else {
        window = CreateWindowExW(0, L"STATIC", L"sondrel-window-helper", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, instance, nullptr);
        if (window == nullptr) return 1;
    }
    std::printf("0x%llx %lu\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), pid);
    std::fflush(stdout);
    char received = 0;
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &received, 1, &read, nullptr);
    // A child's destruction notifies its parent, whose thread serves no
    // messages here; process exit takes the window without that.
    if (window != nullptr && argc == 1) DestroyWindow(window);
    if (child.hProcess != nullptr) CloseHandle(child.hProcess), CloseHandle(child.hThread);
    return 0;
}
