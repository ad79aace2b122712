// sondrel-selftest: plays two tones, captures them with the helper beside it
// and prints what a real system delivers.
//   sondrel-selftest.exe [--helper PATH]      the self-test
//   sondrel-selftest.exe --play HZ [--window] the player role it starts itself
#include <cwchar>
#include <string>

#include "player.h"
#include "self_test.h"
#include "windows_handles.h"

namespace {

constexpr char kUsage[] =
    "usage: sondrel-selftest.exe [--helper PATH]\n"
    "       sondrel-selftest.exe --play HZ [--window]\n";

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--play") == 0) {
        const double hz = std::wcstod(argv[2], nullptr);
        const bool window = argc == 4 && std::wcscmp(argv[3], L"--window") == 0;
        if (!(hz > 0 && hz < 20000) || argc > 4 || (argc == 4 && !window)) return Usage();
        return selftest::RunPlayer(hz, window);
    }
    const std::wstring self = ModulePath();
    if (self.empty()) return Usage();
    std::wstring helper;
    if (argc == 3 && std::wcscmp(argv[1], L"--helper") == 0) {
        helper = argv[2];
    } else if (argc == 1) {
        helper = self.substr(0, self.find_last_of(L"\\/") + 1) + L"sondrel-process-loopback.exe";
    } else {
        return Usage();
    }
    return selftest::RunSelfTest(self, helper);
}
