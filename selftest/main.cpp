// sondrel-selftest: plays tones, captures them with the helper beside it and
// tells, promise by promise, what a real system delivers.
//   sondrel-selftest.exe [--helper PATH] [--minutes N] [--client PATH]
//   sondrel-selftest.exe --play HZ [--right HZ] [--grandchild HZ] [--window]
//   sondrel-selftest.exe --relay HZ     the roles it starts itself
#include <cwchar>
#include <string>

#include "player.h"
#include "self_test.h"
#include "windows_handles.h"

namespace {

constexpr char kUsage[] =
    "usage: sondrel-selftest.exe [--helper PATH] [--minutes N] [--client PATH]\n"
    "       sondrel-selftest.exe --play HZ [--right HZ] [--grandchild HZ] [--window]\n"
    "       sondrel-selftest.exe --relay HZ\n";

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

bool Frequency(const wchar_t* text, double& hz) {
    wchar_t* end = nullptr;
    hz = std::wcstod(text, &end);
    return *end == L'\0' && hz > 0 && hz < 20000;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--relay") == 0) {
        double hz = 0;
        return argc == 3 && Frequency(argv[2], hz) ? selftest::RunRelay(hz) : Usage();
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"--play") == 0) {
        selftest::Tones tones;
        bool window = false;
        if (!Frequency(argv[2], tones.left)) return Usage();
        tones.right = tones.left;
        for (int i = 3; i < argc; ++i) {
            if (std::wcscmp(argv[i], L"--window") == 0) window = true;
            else if (i + 1 < argc && std::wcscmp(argv[i], L"--right") == 0 && Frequency(argv[i + 1], tones.right)) ++i;
            else if (i + 1 < argc && std::wcscmp(argv[i], L"--grandchild") == 0 && Frequency(argv[i + 1], tones.grandchild)) ++i;
            else return Usage();
        }
        return selftest::RunPlayer(tones, window);
    }
    selftest::Options options;
    options.self = ModulePath();
    if (options.self.empty()) return Usage();
    const std::wstring folder = options.self.substr(0, options.self.find_last_of(L"\\/") + 1);
    options.helper = folder + L"sondrel-process-loopback.exe";
    options.client = folder + L"node_modules\\sondrel-process-loopback";
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return Usage();
        wchar_t* end = nullptr;
        if (std::wcscmp(argv[i], L"--helper") == 0) options.helper = argv[i + 1];
        else if (std::wcscmp(argv[i], L"--client") == 0) options.client = argv[i + 1];
        else if (std::wcscmp(argv[i], L"--minutes") == 0) {
            options.minutes = static_cast<int>(std::wcstol(argv[i + 1], &end, 10));
            if (*end != L'\0' || options.minutes < 1 || options.minutes > 1440) return Usage();
        } else return Usage();
    }
    return selftest::RunSelfTest(options);
}
