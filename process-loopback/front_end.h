// Entry logic: arguments to a target, COM apartment, failure lines, exit codes.
#pragma once

#include "capture.h"

#include <cstddef>
#include <string>

inline constexpr char kUsageText[] =
    "Uso: sondrel-process-loopback.exe --window <HWND> | --pid <PID> | --exclude-pid <PID>\n";

// A processId of 0 means there is no valid target (usage).
CaptureTarget ParseArguments(int argc, const wchar_t* const* argv);

// UTF-16 (Windows) or UTF-32 (elsewhere) to UTF-8; unpaired surrogates and
// invalid code points become U+FFFD.
std::string WideToUtf8(const wchar_t* text, std::size_t length);

// The whole failure line as UTF-8, ending in "\n" (the runtime's text mode
// turns it into CR LF on Windows). systemText may be null.
std::string FormatFailureLine(const wchar_t* prefix, HRESULT code, const wchar_t* systemText);

void ReportFailure(const wchar_t* prefix, HRESULT code);

int RunFrontEnd(int argc, wchar_t** argv);
