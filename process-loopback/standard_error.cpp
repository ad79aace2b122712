// The helper's text on standard error: failure lines, drop notices, the
// usage text, all UTF-8 (UTF-16 on a Windows console). Called on the main
// thread, and by the output ring's writer thread for notices.
#include "standard_error.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Our own UTF-8, so always well formed.
std::wstring Utf8ToWide(const std::string& bytes) {
    std::wstring out;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra && i + k < bytes.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        i += extra + 1;
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0x10000) {
                out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
                out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
                continue;
            }
        }
        out += static_cast<wchar_t>(cp);
    }
    return out;
}

}  // namespace

// A console shows UTF-16 as written, where UTF-8 bytes would come out in its
// code page; pipes and files get the UTF-8 bytes parents read.
void WriteToStandardError(const std::string& bytes) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(error, &mode)) {
        const std::wstring text = Utf8ToWide(bytes);
        DWORD written = 0;
        if (WriteConsoleW(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}


std::string WideToUtf8(const wchar_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        auto unit = static_cast<std::uint32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            unit &= 0xFFFF;
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
                auto low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        AppendUtf8(out, unit);
    }
    return out;
}

std::string FormatFailureLine(const wchar_t* prefix, HRESULT code, const wchar_t* systemText) {
    std::string line = WideToUtf8(prefix, std::wcslen(prefix));
    char hex[16];
    std::snprintf(hex, sizeof hex, " (0x%08X)", static_cast<unsigned>(code));
    line += hex;
    if (systemText != nullptr) {
        // The platform ends its texts with a line break; the failure must stay one line.
        std::size_t length = std::wcslen(systemText);
        while (length > 0 && (systemText[length - 1] == L'\r' || systemText[length - 1] == L'\n'))
            --length;
        line += ": ";
        line += WideToUtf8(systemText, length);
    }
    line += '\n';
    return line;
}

void ReportFailure(const wchar_t* prefix, HRESULT code) {
    LPWSTR text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    WriteToStandardError(FormatFailureLine(prefix, code, text));
    if (text != nullptr) LocalFree(text);
}

void ReportAudioLost(std::uint64_t frames, std::uint64_t position, AudioLoss reason) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "Aviso: \xC3\xA1udio perdido: %llu quadros antes do quadro %llu (%s)\n",
                  static_cast<unsigned long long>(frames),
                  static_cast<unsigned long long>(position),
                  reason == AudioLoss::ReaderBehind ? "leitor atrasado"
                                                    : "descontinuidade do sistema");
    WriteToStandardError(line);
}

