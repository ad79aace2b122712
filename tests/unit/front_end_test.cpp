#include "front_end.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

CaptureTarget Parse(std::vector<const wchar_t*> arguments) {
    arguments.insert(arguments.begin(), L"sondrel-process-loopback.exe");
    return ParseArguments(static_cast<int>(arguments.size()), arguments.data());
}

TEST(ParseArguments, ValuesParseLikeWcstoullBase0AndMustFit32Bits) {
    const struct {
        const wchar_t* value;
        std::uint32_t pid;
    } cases[] = {
        {L"12abc", 12}, {L"0x1F", 31},  {L"017", 15},        {L" 42", 42},
        {L"+42", 42},   {L"08", 0},     {L"abc", 0},         {L"0", 0},
        {L"-1", 0},     {L"4294967296", 0}, {L"4294967295", 0xFFFFFFFFu},
        {L"-18446744073709551615", 1},  // negated modulo 2^64
        {L"99999999999999999999999", 0},  // overflow saturates
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse({L"--pid", c.value}).processId, c.pid) << c.value;
        EXPECT_EQ(Parse({L"--exclude-pid", c.value}).processId, c.pid) << c.value;
    }
    EXPECT_EQ(Parse({L"--exclude-pid", L"42"}).LoopbackMode, 1u);
    EXPECT_EQ(Parse({L"--pid", L"42"}).LoopbackMode, 0u);
}

TEST(ParseArguments, OnlyTwoArgumentsWithAnExactOptionMakeATarget) {
    for (const wchar_t* option : {L"--PID", L"--pid=", L"--pid ", L"--exclude", L"42"})
        EXPECT_EQ(Parse({option, L"42"}).processId, 0u) << option;
    EXPECT_EQ(Parse({}).processId, 0u);
    EXPECT_EQ(Parse({L"--pid"}).processId, 0u);
    EXPECT_EQ(Parse({L"--pid", L"42", L"43"}).processId, 0u);
    EXPECT_EQ(Parse({L"--window", L"0x7FFFFFF0"}).processId, 0u);  // no such window
}

TEST(FormatFailureLine, IsOneUtf8LineWhateverTheSystemTextHolds) {
    EXPECT_EQ(FormatFailureLine(L"Falha na captura de \u00e1udio do processo",
                                static_cast<HRESULT>(0x800705B4), nullptr),
              "Falha na captura de \xC3\xA1udio do processo (0x800705B4)\n");
    EXPECT_EQ(FormatFailureLine(L"P", 0xA, L"Opera\u00e7\u00e3o \u20ac.\r\n"),
              "P (0x0000000A): Opera\xC3\xA7\xC3\xA3o \xE2\x82\xAC.\n");
    EXPECT_EQ(FormatFailureLine(L"P", 1, L"text\n\r\n"), "P (0x00000001): text\n");
#ifdef _WIN32
    const wchar_t text[] = {0xD83D, 0xDE00, 0xD800, L'x', 0};  // a pair, then a lone surrogate
#else
    const wchar_t text[] = {0x1F600, 0xD800, L'x', 0};
#endif
    EXPECT_EQ(FormatFailureLine(L"P", 1, text), "P (0x00000001): \xF0\x9F\x98\x80\xEF\xBF\xBDx\n");
}

}  // namespace
