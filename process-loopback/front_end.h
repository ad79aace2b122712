// Entry logic: arguments to a target, COM apartment, failure lines, exit codes.
#pragma once

#include "capture.h"
#include "standard_error.h"

inline constexpr char kUsageText[] =
    "Uso: sondrel-process-loopback.exe --window <HWND> | --pid <PID> | --exclude-pid <PID>\n";

// A processId of 0 means there is no valid target (usage).
CaptureTarget ParseArguments(int argc, const wchar_t* const* argv);

int RunFrontEnd(int argc, wchar_t** argv);
