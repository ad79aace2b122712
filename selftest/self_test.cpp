#include "self_test.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "child_process.h"
#include "stream_analysis.h"

namespace selftest {

namespace {

constexpr double kToneA = 440, kToneB = 1000;
constexpr DWORD kRunMs = 2000;
constexpr DWORD kQuietFromMs = 500, kQuietToMs = 1500;
constexpr DWORD kPlayerStartMs = 10000;
// Beyond the helper's own 10 s activation time-out.
constexpr DWORD kHelperEndMs = 20000;
constexpr DWORD kSettleMs = 300;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// A console shows UTF-16; a pipe or file gets the UTF-8 bytes unchanged.
void Print(const std::string& utf8) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                             nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                            size);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string Hresult(HRESULT hr) { return Format("0x%08lX", static_cast<unsigned long>(hr)); }

struct Run {
    const char* name = "";
    const wchar_t* option = L"";
    std::wstring value;
    HRESULT startResult = S_OK;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;
    std::vector<std::uint8_t> stream;
    std::vector<Arrival> arrivals;
    std::string failureLine;
    double quietFromMs = -1, quietToMs = -1;  // set on the run with a quiet player
};

void Aim(Run& run, const char* name, const wchar_t* option, std::wstring value) {
    run.name = name;
    run.option = option;
    run.value = std::move(value);
}

// Waits until `ms` after `start`, or until the helper ends.
void WaitUntil(ChildProcess& helper, Clock::time_point start, DWORD ms) {
    const double left = ms - MsSince(start);
    if (left > 0) helper.WaitForExit(static_cast<DWORD>(std::ceil(left)));
}

struct Reader {
    HANDLE pipe;
    Run* run;
    Clock::time_point start;
};

// Times every read of the helper's output until the helper is gone.
DWORD WINAPI ReadOutput(void* context) {
    const Reader& reader = *static_cast<Reader*>(context);
    std::vector<std::uint8_t> buffer(1 << 16);
    DWORD read = 0;
    while (ReadFile(reader.pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
           read != 0) {
        reader.run->arrivals.push_back({MsSince(reader.start), read});
        reader.run->stream.insert(reader.run->stream.end(), buffer.begin(), buffer.begin() + read);
    }
    return 0;
}

void RunHelper(const std::wstring& helperPath, HANDLE job, ChildProcess* quietPlayer, Run& run) {
    ChildProcess helper;
    const std::wstring line = L"\"" + helperPath + L"\" " + run.option + L" " + run.value;
    const Clock::time_point start = Clock::now();
    run.startResult = helper.Start(line, job);
    if (FAILED(run.startResult)) return;

    run.stream.reserve(static_cast<std::size_t>(kRunMs + 1000) * 384);
    Reader reader{helper.Output(), &run, start};
    const OwnedHandle readerThread(CreateThread(nullptr, 0, ReadOutput, &reader, 0, nullptr));
    if (!readerThread) {
        run.startResult = LastErrorAsFailure();
        return;  // the helper is ended on the way out
    }

    if (quietPlayer != nullptr) {
        WaitUntil(helper, start, kQuietFromMs);
        run.quietFromMs = MsSince(start);
        quietPlayer->WriteByte('s');
        WaitUntil(helper, start, kQuietToMs);
        run.quietToMs = MsSince(start);
        quietPlayer->WriteByte('t');
    }
    WaitUntil(helper, start, kRunMs);
    helper.WriteByte('x');  // fails harmlessly if it has already ended
    if (!helper.WaitForExit(kHelperEndMs)) {
        run.terminated = true;
        TerminateProcess(helper.Process(), 1);
        helper.WaitForExit(kHelperEndMs);
    }
    WaitForSingleObject(readerThread.Get(), INFINITE);  // the pipe ends with the helper
    run.exitCode = helper.ExitCode();
    run.failureLine = FirstLine(ReadToEnd(helper.Error()));
}

std::string Level(double amplitude) {
    const double db = Dbfs(amplitude);
    return db < -120 ? std::string("<-120") : Format("%.1f", db);
}

std::string Millis(std::optional<double> ms) {
    return ms ? Format("%.0f", *ms) : std::string("-");
}

std::optional<double> HeaderMs(const Run& run) {
    std::size_t received = 0;
    for (const Arrival& a : run.arrivals) {
        received += a.bytes;
        if (received >= kHeaderBytes) return a.ms;
    }
    return std::nullopt;
}

std::string Row(const Run& run) {
    if (FAILED(run.startResult))
        return Format("%-9s helper could not be started or read (%s)\n", run.name,
                      Hresult(run.startResult).c_str());
    const std::vector<float> samples = BodySamples(run.stream);
    const ReadSizes reads = SummariseReads(run.arrivals);
    const std::string exitCode =
        run.terminated ? std::string("killed") : Format("%lu", static_cast<unsigned long>(run.exitCode));
    const std::string sizes =
        reads.count ? Format("%u/%u/%u", reads.min, reads.median, reads.max) : std::string("-");
    const bool audio = !samples.empty();
    return Format("%-9s %6s %6.2f %8s %8s %6zu %18s %9s %9s\n", run.name, exitCode.c_str(),
                  static_cast<double>(samples.size() / 2) / kSampleRate,
                  audio ? Level(ToneLevel(samples, kToneA)).c_str() : "-",
                  audio ? Level(ToneLevel(samples, kToneB)).c_str() : "-", reads.count,
                  sizes.c_str(), Millis(HeaderMs(run)).c_str(),
                  Millis(FirstSoundMs(run.arrivals, run.stream)).c_str());
}

std::string QuietLine(const Run& run) {
    const QuietSummary q = SummariseWindow(run.arrivals, run.stream, run.quietFromMs, run.quietToMs);
    std::string line = Format("while player 1 was stopped (%.0f-%.0f ms): %zu reads, %.3f s of audio",
                              run.quietFromMs, run.quietToMs, q.reads,
                              static_cast<double>(q.frames) / kSampleRate);
    if (q.frames != 0)
        line += Format(", %.1f%% of its frames zero",
                       100.0 * static_cast<double>(q.zeroFrames) / static_cast<double>(q.frames));
    return line + Format(", longest wait for a read %.0f ms\n", q.longestGapMs);
}

const char* Name(Presence presence) {
    switch (presence) {
    case Presence::Present: return "present";
    case Presence::Absent: return "absent";
    case Presence::Unclear: return "unclear";
    }
    return "";
}

// What a run showed, against what it should show; the quiet run checks no
// tones, it is only measured.
bool Check(const Run& run, std::optional<bool> expectA, std::string& report) {
    const std::vector<float> samples = BodySamples(run.stream);
    const Presence a = Classify(ToneLevel(samples, kToneA));
    const Presence b = Classify(ToneLevel(samples, kToneB));
    const bool header = HeaderMatches(run.stream);
    const bool exited = SUCCEEDED(run.startResult) && !run.terminated && run.exitCode == 0;
    bool ok = header && exited;
    std::string wanted = "header and exit code 0";
    if (expectA) {
        const Presence wantA = *expectA ? Presence::Present : Presence::Absent;
        const Presence wantB = *expectA ? Presence::Absent : Presence::Present;
        ok = ok && a == wantA && b == wantB;
        wanted = Format("%.0f Hz %s, %.0f Hz %s, ", kToneA, Name(wantA), kToneB, Name(wantB)) +
                 wanted;
    }
    report += Format("%-9s %s: wants %s", run.name, ok ? "pass" : "FAIL", wanted.c_str());
    if (!ok)
        report += Format("; got %.0f Hz %s, %.0f Hz %s, %s, %s", kToneA, Name(a), kToneB, Name(b),
                         header ? "header" : "no valid header",
                         exited ? "exit code 0" : "no exit code 0");
    report += "\n";
    return ok;
}

// `line` is the player's first line, or its failure line when it fails.
HRESULT StartPlayer(ChildProcess& player, const std::wstring& self, double hz, bool window,
                    HANDLE job, std::string& line) {
    std::wstring command = L"\"" + self + L"\" --play " + std::to_wstring(static_cast<int>(hz));
    if (window) command += L" --window";
    HRESULT hr = player.Start(command, job);
    if (SUCCEEDED(hr)) hr = ReadLine(player.Output(), player.Process(), kPlayerStartMs, line);
    if (SUCCEEDED(hr) && window && line.rfind("0x", 0) != 0) hr = E_UNEXPECTED;
    if (FAILED(hr) && player.Process() != nullptr) {
        player.WaitForExit(kPlayerStartMs);
        // What is there now: end of file may never come under Wine, whose
        // desktop process can inherit a copy of the player's pipes.
        line = FirstLine(ReadAvailable(player.Error()));
        player.End();
    }
    return hr;
}

// Children that would outlive a crash of ours are ended by the system.
OwnedHandle MakeJob() {
    OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        job.Reset();
    return job;
}

constexpr char kColumns[] = "%-9s %6s %6s %8s %8s %6s %18s %9s %9s\n";

std::string TableHead() {
    const std::string a = Format("%.0f Hz", kToneA), b = Format("%.0f Hz", kToneB);
    return Format(kColumns, "run", "exit", "audio", a.c_str(), b.c_str(), "reads", "bytes per read",
                  "to header", "to sound") +
           Format(kColumns, "", "code", "s", "dBFS", "dBFS", "", "min/median/max", "ms", "ms");
}

}  // namespace

int RunSelfTest(const std::wstring& self, const std::wstring& helper) {
    const OwnedHandle job = MakeJob();
    ChildProcess player1, player2;
    std::string window, second;
    HRESULT hr = StartPlayer(player1, self, kToneA, true, job.Get(), window);
    const bool firstPlays = SUCCEEDED(hr);
    if (firstPlays) hr = StartPlayer(player2, self, kToneB, false, job.Get(), second);
    if (FAILED(hr)) {
        const std::string& said = firstPlays ? second : window;
        const std::string why = said.empty() ? Format("its %.0f Hz tone (%s)",
                                                      firstPlays ? kToneB : kToneA,
                                                      Hresult(hr).c_str())
                                             : said;
        Print(Format("Player %d could not play: %s. The self-test needs an audio output device.\n",
                     firstPlays ? 2 : 1, why.c_str()));
        return 1;
    }
    Sleep(kSettleMs);

    const std::wstring pid1 = std::to_wstring(player1.Id());
    Run runs[4];
    Aim(runs[0], "include", L"--pid", pid1);
    Aim(runs[1], "exclude", L"--exclude-pid", pid1);
    Aim(runs[2], "window", L"--window", {window.begin(), window.end()});
    Aim(runs[3], "silent", L"--pid", pid1);

    std::string table = Format("player 1: %.0f Hz, process %lu, window %s; player 2: %.0f Hz, "
                               "process %lu; helper %s\n",
                               kToneA, static_cast<unsigned long>(player1.Id()), window.c_str(),
                               kToneB, static_cast<unsigned long>(player2.Id()),
                               Utf8(helper).c_str());
    table += TableHead();
    std::string failures, checks;
    std::optional<std::uint32_t> missingCapture;
    int done = 0;
    for (Run& run : runs) {
        RunHelper(helper, job.Get(), &run == &runs[3] ? &player1 : nullptr, run);
        ++done;
        table += Row(run);
        if (!run.failureLine.empty()) failures += Format("%-9s %s\n", run.name, run.failureLine.c_str());
        const std::optional<std::uint32_t> code = FailureCode(run.failureLine);
        if (run.exitCode == 4 && code && MeansNoProcessLoopback(*code)) {
            missingCapture = code;
            break;  // every other run would fail the same way
        }
    }
    player1.End();
    player2.End();

    table += "(reads: the helper's output as it came through the pipe, not the platform's "
             "packets)\n";
    Print(table + failures);
    if (missingCapture) {
        Print(Format("This system has no process-loopback audio capture (the helper's activation "
                     "failed with 0x%08X): it needs Windows 10 version 2004 or later.\n",
                     static_cast<unsigned>(*missingCapture)));
        return 2;
    }
    if (done == 4 && runs[3].quietFromMs >= 0) Print(QuietLine(runs[3]));
    bool ok = Check(runs[0], true, checks);
    ok = Check(runs[1], false, checks) && ok;
    ok = Check(runs[2], true, checks) && ok;
    ok = Check(runs[3], std::nullopt, checks) && ok;
    Print(checks + (ok ? "Process-loopback capture works on this system.\n"
                       : "Process-loopback capture does NOT work as expected here.\n"));
    return ok ? 0 : 1;
}

}  // namespace selftest
