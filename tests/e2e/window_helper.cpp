// Owns a message-only window (works without a display) and prints
// "<window handle> <process id>", then waits for its stdin to close.
#include <windows.h>

#include <cstdio>

int main() {
    HWND window = CreateWindowExW(0, L"STATIC", L"sondrel-window-helper", 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) return 1;
    std::printf("0x%llx %lu\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)),
                static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    char received = 0;
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &received, 1, &read, nullptr);
    DestroyWindow(window);
    return 0;
}
