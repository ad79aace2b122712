// Raw bytes as a command line: NUL separates arguments; a byte below 0x80 is
// one character, a byte from 0x80 up joins the next byte into one 15-bit
// character (so wide digits, blanks and signs are in reach). Every accepted
// command line must be exactly "--pid V" or "--exclude-pid V" with V naming
// a non-zero 32-bit process id, read the way wcstoull reads base 0 with
// nothing but blanks after it; "--list" is accepted alone or with a window of
// plain digits.
#include "audio_applications.h"
#include "front_end.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> Split(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments(1, L"sondrel-process-loopback");
    arguments.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else if (data[i] < 0x80 || i + 1 == size) {
            arguments.back() += static_cast<wchar_t>(data[i]);
        } else {
            // A command line cannot hold a NUL inside an argument.
            const auto unit = static_cast<wchar_t>(((data[i] & 0x7F) << 8) | data[i + 1]);
            if (unit != 0) arguments.back() += unit;
            ++i;
        }
    }
    return arguments;
}

int DigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'z') return c - L'a' + 10;
    if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
    return 99;
}

// Base 0 as C reads it, written out on its own so the two can disagree:
// blanks, a sign, 0x or 0 prefix, saturation at 2^64-1, a minus negating
// modulo 2^64; 0 when anything but blanks follows the number.
std::uint64_t ReadBase0(const wchar_t* text) {
    while (std::iswspace(static_cast<wint_t>(*text))) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    unsigned base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X') && DigitValue(text[2]) < 16) {
        base = 16;
        text += 2;
    } else if (text[0] == L'0') {
        base = 8;
    }
    std::uint64_t value = 0;
    bool saturated = false;
    for (; DigitValue(*text) < static_cast<int>(base); ++text) {
        const auto digit = static_cast<std::uint64_t>(DigitValue(*text));
        if (value > (UINT64_MAX - digit) / base) saturated = true;
        value = value * base + digit;
    }
    while (std::iswspace(static_cast<wint_t>(*text))) ++text;
    if (*text != L'\0') return 0;
    if (saturated) return UINT64_MAX;
    return negative ? 0 - value : value;
}

[[noreturn]] void Fail(const char* what, const std::vector<std::wstring>& arguments) {
    std::fprintf(stderr, "%s; arguments:", what);
    for (const std::wstring& argument : arguments) {
        std::fprintf(stderr, " [");
        for (wchar_t c : argument) std::fprintf(stderr, "U+%04X ", static_cast<unsigned>(c));
        std::fprintf(stderr, "]");
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace

// The library's capture needs an audio platform at link time; parsing never
// gets there.
HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR, REFIID, PROPVARIANT*,
                                           IActivateAudioInterfaceCompletionHandler*,
                                           IActivateAudioInterfaceAsyncOperation**) {
    return E_NOTIMPL;
}
HRESULT EnumerateAudioSessions(DWORD, std::vector<AudioSessionInfo>*) { return E_NOTIMPL; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::wstring> arguments = Split(data, size);
    std::vector<const wchar_t*> argv;
    for (const std::wstring& argument : arguments) argv.push_back(argument.c_str());
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    const CaptureTarget target = ParseArguments(argc, argv.data());
    // --list alone, or with 1 to 5 ASCII digits up to 10000.
    DWORD ms = 0;
    const bool window = argc == 3 && !arguments[2].empty() && arguments[2].size() <= 5 &&
                        arguments[2].find_first_not_of(L"0123456789") == std::wstring::npos &&
                        std::wcstoul(argv[2], nullptr, 10) <= 10000;
    if (ParseListArguments(argc, argv.data(), &ms) !=
        (argc >= 2 && arguments[1] == L"--list" && (argc == 2 || window)))
        Fail("--list accepted or refused against its reading", arguments);

    std::uint32_t expectedPid = 0;
    std::uint32_t expectedMode = 0;
    if (argc == 3) {
        const std::uint64_t value = ReadBase0(argv[2]);
        const bool fits = value != 0 && value <= 0xFFFFFFFFu;
        if (arguments[1] == L"--pid" && fits) expectedPid = static_cast<std::uint32_t>(value);
        if (arguments[1] == L"--exclude-pid" && fits) {
            expectedPid = static_cast<std::uint32_t>(value);
            expectedMode = 1;
        }
        // No window exists here, so --window never names a process.
    }
    if (target.processId != expectedPid) Fail("process id differs from the base-0 reading", arguments);
    if (target.processId != 0 && target.LoopbackMode != expectedMode)
        Fail("mode differs from the option", arguments);
    return 0;
}
