// The helper's text on standard error: failure lines, drop notices and the
// writer they share, which a console gets as UTF-16 and anything else as UTF-8.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr wchar_t kComFailurePrefix[] = L"Falha ao inicializar COM";
inline constexpr wchar_t kCaptureFailurePrefix[] = L"Falha na captura de \u00e1udio do processo";

// Bytes of UTF-8 to standard error as they are.
void WriteToStandardError(const std::string& bytes);

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

