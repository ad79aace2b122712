#include "front_end.h"

#include "audio_applications.h"
#include "console_control.h"
#include "standard_error.h"
#include "window_target.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

// 0 (no target) when the value does not fit a process id.
std::uint32_t ProcessId(unsigned long long value) {
    return value <= 0xFFFFFFFFull ? static_cast<std::uint32_t>(value) : 0;
}

// wcstoull, base 0, of a value with nothing but white space after its
// digits; 0 (no target) otherwise: a mistyped value must not widen a capture.
unsigned long long ParseValue(const wchar_t* text) {
    wchar_t* end = nullptr;
    const unsigned long long value = std::wcstoull(text, &end, 0);
    while (std::iswspace(static_cast<wint_t>(*end))) ++end;
    return *end == L'\0' ? value : 0;
}

}  // namespace

CaptureTarget ParseArguments(int argc, const wchar_t* const* argv) {
    CaptureTarget target{0, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE};
    if (argc != 3) return target;

    const unsigned long long value = ParseValue(argv[2]);
    if (value == 0) return target;

    const wchar_t* option = argv[1];
    if (std::wcscmp(option, L"--pid") == 0) {
        target.processId = ProcessId(value);
    } else if (std::wcscmp(option, L"--exclude-pid") == 0) {
        target.processId = ProcessId(value);
        target.LoopbackMode = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    } else if (std::wcscmp(option, L"--window") == 0) {
        auto window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
        if (IsWindow(window)) target.processId = WindowProcess(window);
    }
    return target;
}

int RunFrontEnd(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (DWORD measureMs = 0; ParseListArguments(argc, argv, &measureMs))
        return RunListCommand(measureMs);

    const CaptureTarget target = ParseArguments(argc, argv);
    if (target.processId == 0) {
        WriteToStandardError(kUsageText);
        return 2;
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        ReportFailure(kComFailurePrefix, hr);
        return 3;
    }
    WatchConsoleControl();
    hr = RunProcessLoopbackCapture(target);
    StopWatchingConsoleControl();
    if (FAILED(hr)) ReportFailure(kCaptureFailurePrefix, hr);
    CoUninitialize();
    return FAILED(hr) ? 4 : 0;
}
