#include "front_end.h"
#include "scripted_platform.h"
#include "std_redirect.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

CaptureTarget Parse(std::vector<const wchar_t*> arguments) {
    arguments.insert(arguments.begin(), L"sondrel-process-loopback.exe");
    return ParseArguments(static_cast<int>(arguments.size()), arguments.data());
}

TEST(ParseArguments, ValuesFollowUnsignedParsingWithBaseDetection) {
    struct Case {
        const wchar_t* value;
        std::uint32_t pid;
    } cases[] = {
        {L"42", 42},           {L"12abc", 12},   {L"0x1F", 31},      {L"0X1f", 31},
        {L"017", 15},          {L" 42", 42},     {L"\t+42", 42},     {L"4294967295", 0xFFFFFFFFu},
        {L"4294967296", 0},    {L"-1", 0},       {L"0", 0},          {L"abc", 0},
        {L"", 0},              {L"08", 0},       {L"99999999999999999999999", 0},
        {L"-18446744073709551615", 1},  // negated modulo 2^64
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse({L"--pid", c.value}).processId, c.pid) << "value " << c.value;
        EXPECT_EQ(Parse({L"--exclude-pid", c.value}).processId, c.pid) << "value " << c.value;
    }
}

TEST(ParseArguments, OptionsMatchWholeAndCaseSensitively) {
    EXPECT_EQ(Parse({L"--pid", L"42"}).LoopbackMode, 0u);
    const CaptureTarget exclude = Parse({L"--exclude-pid", L"42"});
    EXPECT_EQ(exclude.processId, 42u);
    EXPECT_EQ(exclude.LoopbackMode, 1u);
    for (const wchar_t* option : {L"--PID", L"-pid", L"--pid=", L"--pid ", L"--exclude", L"pid"})
        EXPECT_EQ(Parse({option, L"42"}).processId, 0u) << option;
    EXPECT_EQ(Parse({L"--pid=42", L"42"}).processId, 0u);
    EXPECT_EQ(Parse({L"42", L"--pid"}).processId, 0u);
}

TEST(ParseArguments, AnyOtherArgumentCountIsNoTarget) {
    EXPECT_EQ(Parse({}).processId, 0u);
    EXPECT_EQ(Parse({L"--pid"}).processId, 0u);
    EXPECT_EQ(Parse({L"--pid", L"42", L"43"}).processId, 0u);
}

TEST(ParseArguments, ValueThatNamesNoWindowIsNoTarget) {
    EXPECT_EQ(Parse({L"--window", L"0"}).processId, 0u);
    EXPECT_EQ(Parse({L"--window", L"0x7FFFFFF0"}).processId, 0u);
}

TEST(WideToUtf8, EncodesEveryCharacterIncludingThoseAbove255) {
    const std::wstring text = L"a\u00e1\u00e7\u20ac";
    EXPECT_EQ(WideToUtf8(text.data(), text.size()), "a\xC3\xA1\xC3\xA7\xE2\x82\xAC");
#ifdef _WIN32
    const wchar_t pair[] = {0xD83D, 0xDE00, 0xD800, L'x'};  // a pair, then a lone surrogate
    EXPECT_EQ(WideToUtf8(pair, 4), "\xF0\x9F\x98\x80\xEF\xBF\xBDx");
#else
    const wchar_t wide[] = {0x1F600, 0xD800, 0x110000, L'x'};
    EXPECT_EQ(WideToUtf8(wide, 4), "\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBDx");
#endif
}

TEST(FormatFailureLine, IsOneUtf8LineWithCodeAndTrimmedText) {
    EXPECT_EQ(FormatFailureLine(L"Falha na captura de \u00e1udio do processo",
                                static_cast<HRESULT>(0x800705B4), nullptr),
              "Falha na captura de \xC3\xA1udio do processo (0x800705B4)\n");
    EXPECT_EQ(FormatFailureLine(L"P", 0xA, L"Opera\u00e7\u00e3o \u20ac.\r\n"),
              "P (0x0000000A): Opera\xC3\xA7\xC3\xA3o \xE2\x82\xAC.\n");
    EXPECT_EQ(FormatFailureLine(L"P", 1, L"text\n\r\n"), "P (0x00000001): text\n");
    EXPECT_EQ(FormatFailureLine(L"P", 1, L""), "P (0x00000001): \n");
}

TEST(ReportFailure, UsesThePlatformTextForTheCode) {
    StderrCapture capture;
    ReportFailure(L"X", E_OUTOFMEMORY);
    ReportFailure(L"Y", static_cast<HRESULT>(0x8FFF1234));  // no text for this one
    const std::string text = capture.Finish();
    const std::string lineEnd =
#ifdef _WIN32
        "\r\n";
#else
        "\n";
#endif
    const auto first = text.find(lineEnd);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.rfind("X (0x8007000E): ", 0), 0u) << text;
    EXPECT_GT(first, std::string("X (0x8007000E): ").size());
    EXPECT_EQ(text.substr(first + lineEnd.size()), "Y (0x8FFF1234)" + lineEnd);
    EXPECT_EQ(text.find('\r'), lineEnd.size() == 2 ? first : std::string::npos);
}

// COM refuses a multithreaded apartment on a thread that is already in a
// single-threaded one; the capture must then not be attempted.
TEST(RunFrontEnd, ApartmentRefusedGivesExitCode3) {
    scripted::SetScenario({});
    int exitCode = -1;
    std::string errors;
    std::thread([&] {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        StderrCapture capture;
        wchar_t program[] = L"p", option[] = L"--pid", value[] = L"42";
        wchar_t* argv[] = {program, option, value, nullptr};
        exitCode = RunFrontEnd(3, argv);
        errors = capture.Finish();
        CoUninitialize();
    }).join();
    EXPECT_EQ(exitCode, 3);
    EXPECT_EQ(errors.rfind("Falha ao inicializar COM (0x80010106)", 0), 0u) << errors;
    EXPECT_TRUE(scripted::Calls().empty());
}

TEST(RunFrontEnd, WrongArgumentsGiveUsageAndExitCode2) {
    StderrCapture capture;
    wchar_t program[] = L"p", option[] = L"--pid", value[] = L"0";
    wchar_t* argv[] = {program, option, value, nullptr};
    EXPECT_EQ(RunFrontEnd(3, argv), 2);
    const std::string text = capture.Finish();
#ifdef _WIN32
    EXPECT_EQ(text, std::string(kUsageText, sizeof kUsageText - 2) + "\r\n");
#else
    EXPECT_EQ(text, kUsageText);
#endif
}

}  // namespace
