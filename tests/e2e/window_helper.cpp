// Owns a message-only window (works without a display) and prints
// "<window handle> <process id>", then waits for its stdin to close.
// window_helper PARENT CLASS: the window is instead a child of PARENT (a
// window of another process) of window class CLASS, as a Store app's
// CoreWindow is inside its frame.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    HWND window = nullptr;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (argc == 3) {
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
    } else {
        window = CreateWindowExW(0, L"STATIC", L"sondrel-window-helper", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, instance, nullptr);
    }
    if (window == nullptr) return 1;
    std::printf("0x%llx %lu\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)),
                static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    char received = 0;
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &received, 1, &read, nullptr);
    // A child's destruction notifies its parent, whose thread serves no
    // messages here; process exit takes the window without that.
    if (argc != 3) DestroyWindow(window);
    return 0;
}
