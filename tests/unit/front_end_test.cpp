#include "front_end.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

CaptureTarget Parse(std::vector<const wchar_t*> arguments) {
    arguments.insert(arguments.begin(), L"sondrel-process-loopback.exe");
    return ParseArguments(static_cast<int>(arguments.size()), arguments.data());
}

// A value with anything but white space after its digits is no target; their count and the
// window's lookup: tests/e2e.
TEST(ParseArguments, AnExactOptionAndAValueReadLikeWcstoullBase0ThatFits32BitsMakeATarget) {
    const std::pair<const wchar_t*, std::uint32_t> cases[] = {
        {L"12abc", 0},  {L"1x", 0},     {L"0x1Fg", 0},       {L"42 43", 0},
        {L" 42 \t", 42}, {L"017\n", 15}, {L"0x1F", 31},  {L"017", 15},        {L" 42", 42},
        {L"+42", 42},   {L"08", 0},     {L"abc", 0},         {L"0", 0},
        {L"-1", 0},     {L"4294967296", 0}, {L"4294967295", 0xFFFFFFFFu},
        {L"-18446744073709551615", 1},  // negated modulo 2^64
        {L"99999999999999999999999", 0},  // overflow saturates
    };
    for (const auto& [value, pid] : cases)
        for (const wchar_t* option : {L"--pid", L"--exclude-pid"}) EXPECT_EQ(Parse({option, value}).processId, pid) << value;
    for (const wchar_t* option : {L"--PID", L"--pid=", L"--pid ", L"--exclude", L"42"})
        EXPECT_EQ(Parse({option, L"42"}).processId, 0u) << option;
}

TEST(FormatFailureLine, IsOneUtf8LineWhateverTheSystemTextHolds) {
    EXPECT_EQ(FormatFailureLine(L"Falha na captura de \u00e1udio do processo",
                                static_cast<HRESULT>(0x800705B4), nullptr),
              "Falha na captura de \xC3\xA1udio do processo (0x800705B4)\n");
    EXPECT_EQ(FormatFailureLine(L"P", 1, L"text\n\r\n"), "P (0x00000001): text\n");
#ifdef _WIN32
    const wchar_t text[] = {0xDC00, 0xDE00, 0xD83D, 0xDE00, 0xD800, L'x', 0};  // low halves, a pair, a high half
#else
    const wchar_t text[] = {0xDC00, 0xDE00, 0x1F600, 0xD800, L'x', 0};
#endif
    EXPECT_EQ(FormatFailureLine(L"P", 1, text),
              "P (0x00000001): \xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBDx\n");
}

// Each length of UTF-8 at both its ends; past 0xFFFF a surrogate pair on Windows.
TEST(Text, EveryCharacterCrossesIntoAFailureLineAsUtf8) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"\u007F\u0080", "\x7F\xC2\x80"},
        {L"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
        {L"\uFFFF\U00010000", "\xEF\xBF\xBF\xF0\x90\x80\x80"},
        {L"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [wide, utf8] : cases) {
        EXPECT_EQ(WideToUtf8(wide, std::wcslen(wide)), utf8);
#ifndef _WIN32
        EXPECT_EQ(PosixArgumentToWide(utf8), wide) << utf8;  // and back, as an argument arrives here
#endif
    }
}

#ifndef _WIN32
// What no UTF-8 encoder writes becomes U+FFFD, one per byte, never a character it seems to spell.
TEST(Text, ArgumentBytesThatAreNotUtf8BecomeReplacementCharacters) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"\xC0\xB5", 2},                  // an overlong digit 5
        {"\xE0\x9F\xBF", 3},              // U+07FF in three bytes
        {"\xED\xA0\xBD\xED\xB8\x80", 6},  // a surrogate pair, each half encoded
        {"\xF4\x90\x80\x80", 4},          // past U+10FFFF
        {"\xE0\xA0", 2},                  // cut short
    };
    for (const auto& [bytes, replaced] : cases)
        EXPECT_EQ(PosixArgumentToWide((std::string(bytes) + "5").c_str()), std::wstring(replaced, L'\uFFFD') + L"5") << bytes;
}
#endif

}  // namespace
