// Entry logic: arguments to a target, COM apartment, failure lines, exit codes.
#pragma once

#include "capture.h"

#include <cstddef>
#include <cstdint>
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

// Why audio was lost: the reader fell behind the output ring, or the
// platform flagged a discontinuity (how much is then unknown: 0 frames).
enum class AudioLoss { ReaderBehind, Platform };
// The notice line on standard error for one gap: `frames` lost before the
// stream's frame `position` (the first after the header is 0). Any thread;
// the failure line, written after the capture, stays the last line.
void ReportAudioLost(std::uint64_t frames, std::uint64_t position, AudioLoss reason);

int RunFrontEnd(int argc, wchar_t** argv);
