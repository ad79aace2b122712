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

// Tones no instrument or alert sound uses, so that other sounds on the
// machine do not pass for them; 12.382 and 17.618 cycles per 10 ms packet,
// so that a lost packet moves their phase by more than a third of a cycle.
constexpr double kToneA = 1238.2, kToneB = 1761.8;
// Every run is timed from the helper's header: activation may take seconds.
constexpr double kRunMs = 1500;
constexpr double kQuietFromMs = 400, kQuietToMs = 1100;
constexpr double kExitAtMs = 700;
// What the platform still had in flight when the target went.
constexpr double kExitSettleMs = 300;
constexpr DWORD kPlayerStartMs = 10000;
// Beyond the helper's own 10 s activation time-out.
constexpr DWORD kHelperEndMs = 20000;
constexpr DWORD kSettleMs = 300;
constexpr std::uint32_t kInvalidArgument = 0x80070057u;

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

// What is done to player 1 while the helper captures it.
enum class Action { None, Quiet, Exit };

struct Run {
    const char* name = "";
    const wchar_t* option = L"";
    std::wstring value;
    Action action = Action::None;
    HRESULT startResult = S_OK;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;
    bool endedBeforeStop = false;
    std::vector<std::uint8_t> stream;
    std::vector<Arrival> arrivals;
    std::string failureLine;
    // All from the helper's start; header and stop stay -1 when there was none.
    double headerMs = -1, stopMs = -1;
    double quietFromMs = -1, quietToMs = -1, exitMs = -1;
};

void Aim(Run& run, const char* name, const wchar_t* option, std::wstring value,
         Action action = Action::None) {
    run.name = name;
    run.option = option;
    run.value = std::move(value);
    run.action = action;
}

// Waits until `ms` after `start`, or until the helper ends.
void WaitUntil(ChildProcess& helper, Clock::time_point start, double ms) {
    const double left = ms - MsSince(start);
    if (left > 0) helper.WaitForExit(static_cast<DWORD>(std::ceil(left)));
}

// Shared by the main thread and the reader thread: `headerMs` is written
// before `headerSeen` is set and read only after it; `run`'s stream and
// arrivals only after the reader thread has ended.
struct Reader {
    HANDLE pipe;
    Run* run;
    Clock::time_point start;
    HANDLE headerSeen;
    double headerMs = -1;
};

// Reader thread: times every read of the helper's output until the helper is
// gone, and tells the main thread when the header is in.
DWORD WINAPI ReadOutput(void* context) {
    Reader& reader = *static_cast<Reader*>(context);
    std::vector<std::uint8_t> buffer(1 << 16);
    DWORD read = 0;
    while (ReadFile(reader.pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
           read != 0) {
        const double ms = MsSince(reader.start);
        reader.run->arrivals.push_back({ms, read});
        reader.run->stream.insert(reader.run->stream.end(), buffer.begin(), buffer.begin() + read);
        if (reader.headerMs < 0 && reader.run->stream.size() >= kHeaderBytes) {
            reader.headerMs = ms;
            SetEvent(reader.headerSeen);
        }
    }
    return 0;
}

// Main thread: runs the helper once; player 1 may be quietened or ended
// while it captures.
void RunHelper(const std::wstring& helperPath, HANDLE job, ChildProcess& player1, Run& run) {
    ChildProcess helper;
    const std::wstring line = L"\"" + helperPath + L"\" " + run.option + L" " + run.value;
    const OwnedHandle headerSeen(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!headerSeen) {
        run.startResult = LastErrorAsFailure();
        return;
    }
    const Clock::time_point start = Clock::now();
    run.startResult = helper.Start(line, job);
    if (FAILED(run.startResult)) return;

    run.stream.reserve(static_cast<std::size_t>(kRunMs + 1000) * 384);
    Reader reader{helper.Output(), &run, start, headerSeen.Get()};
    const OwnedHandle readerThread(CreateThread(nullptr, 0, ReadOutput, &reader, 0, nullptr));
    if (!readerThread) {
        run.startResult = LastErrorAsFailure();
        return;  // the helper is ended on the way out
    }

    const HANDLE headerOrEnd[2] = {headerSeen.Get(), helper.Process()};
    if (WaitForMultipleObjects(2, headerOrEnd, FALSE, kHelperEndMs) == WAIT_OBJECT_0) {
        run.headerMs = reader.headerMs;
        if (run.action == Action::Quiet) {
            WaitUntil(helper, start, run.headerMs + kQuietFromMs);
            run.quietFromMs = MsSince(start);
            player1.WriteByte('s');
            WaitUntil(helper, start, run.headerMs + kQuietToMs);
            run.quietToMs = MsSince(start);
            player1.WriteByte('t');
        } else if (run.action == Action::Exit) {
            WaitUntil(helper, start, run.headerMs + kExitAtMs);
            player1.End();
            run.exitMs = MsSince(start);
        }
        WaitUntil(helper, start, run.headerMs + kRunMs);
        run.endedBeforeStop = helper.WaitForExit(0);
        run.stopMs = MsSince(start);
    }
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

bool Stopped(const Run& run) {
    return SUCCEEDED(run.startResult) && !run.terminated && run.exitCode == 0 &&
           run.stopMs >= 0 && !run.endedBeforeStop;
}

std::string Share(const ToneTrack& track) {
    return track.blocks ? Format("%.0f%%", 100.0 * static_cast<double>(track.present) /
                                               static_cast<double>(track.blocks))
                        : std::string("-");
}

constexpr char kColumns[] = "%-8s %6s %5s %5s %7s %5s %7s %5s %6s %5s %18s %6s %6s\n";

std::string TableHead() {
    const std::string a = Format("%.1f Hz", kToneA), b = Format("%.1f Hz", kToneB);
    return Format(kColumns, "run", "exit", "audio", "run", a.c_str(), "", b.c_str(), "", "phase",
                  "drop-", "bytes per read", "header", "sound") +
           Format(kColumns, "", "code", "s", "s", "dBFS", "here", "dBFS", "here", "breaks", "outs",
                  "min/median/max", "ms", "ms");
}

std::string Row(const Run& run) {
    if (FAILED(run.startResult))
        return Format("%-8s helper could not be started or read (%s)\n", run.name,
                      Hresult(run.startResult).c_str());
    const std::vector<float> samples = BodySamples(run.stream);
    const ToneTrack a = TrackTone(samples, kToneA), b = TrackTone(samples, kToneB);
    const ReadSizes reads = SummariseReads(run.arrivals);
    const std::string exitCode =
        run.terminated ? std::string("killed") : Format("%lu", static_cast<unsigned long>(run.exitCode));
    const std::string sizes =
        reads.count ? Format("%u/%u/%u", reads.min, reads.median, reads.max) : std::string("-");
    const std::string length =
        run.stopMs >= 0 ? Format("%.2f", (run.stopMs - run.headerMs) / 1000) : std::string("-");
    const bool blocks = a.blocks != 0;
    return Format(kColumns, run.name, exitCode.c_str(),
                  Format("%.2f", static_cast<double>(samples.size() / 2) / kSampleRate).c_str(),
                  length.c_str(), blocks ? Level(a.medianAmplitude).c_str() : "-", Share(a).c_str(),
                  blocks ? Level(b.medianAmplitude).c_str() : "-", Share(b).c_str(),
                  blocks ? std::to_string(a.breaks + b.breaks).c_str() : "-",
                  blocks ? std::to_string(DropOuts(samples)).c_str() : "-", sizes.c_str(),
                  Millis(run.headerMs >= 0 ? std::optional(run.headerMs) : std::nullopt).c_str(),
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

// The stream before player 1 ended and after what was in flight had come.
struct ExitHalves {
    ToneTrack before, after;
    double afterSeconds = 0;
};

ExitHalves SplitAtExit(const Run& run) {
    ExitHalves halves;
    if (run.exitMs < 0) return halves;
    halves.before = TrackTone(SamplesArrived(run.arrivals, run.stream, 0, run.exitMs), kToneA);
    const std::vector<float> after =
        SamplesArrived(run.arrivals, run.stream, run.exitMs + kExitSettleMs, HUGE_VAL);
    halves.after = TrackTone(after, kToneA);
    halves.afterSeconds = static_cast<double>(after.size() / 2) / kSampleRate;
    return halves;
}

std::string ExitLine(const Run& run) {
    const ExitHalves h = SplitAtExit(run);
    return Format("after player 1 ended (at %.0f ms): %.3f s of audio came, %.1f Hz in %s of its "
                  "blocks (before: %s); the helper %s\n",
                  run.exitMs, h.afterSeconds, kToneA, Share(h.after).c_str(), Share(h.before).c_str(),
                  run.endedBeforeStop ? "ended by itself" : "ran until stopped");
}

// What the run showed against what it should show; `wanted` and `got` are
// reported only when they differ.
bool Report(const Run& run, bool ok, const std::string& wanted, const std::string& got,
            std::string& report) {
    report += Format("%-8s %s: wants %s", run.name, ok ? "pass" : "FAIL", wanted.c_str());
    if (!ok) report += "; got " + got;
    report += "\n";
    return ok;
}

std::string Outcome(const Run& run, bool header, std::size_t frames) {
    std::string got = header ? "header" : "no valid header";
    got += Stopped(run) ? ", exit code 0 after the stop"
                        : Format(", exit code %s%s",
                                 run.terminated ? "none (killed)"
                                                : std::to_string(run.exitCode).c_str(),
                                 run.endedBeforeStop ? " before the stop" : "");
    if (run.stopMs >= 0)
        got += Format(", %.2f s of audio in a %.2f s run", static_cast<double>(frames) / kSampleRate,
                      (run.stopMs - run.headerMs) / 1000);
    return got;
}

// A capture of `tone` (A or B) that must hold it whole, and not the other.
bool CheckCapture(const Run& run, bool wantA, std::string& report) {
    const std::vector<float> samples = BodySamples(run.stream);
    const ToneTrack a = TrackTone(samples, kToneA), b = TrackTone(samples, kToneB);
    const ToneTrack& kept = wantA ? a : b;
    const std::size_t drops = DropOuts(samples);
    const bool header = HeaderMatches(run.stream);
    const bool covers = run.stopMs >= 0 && CoversRun(samples.size() / 2, run.stopMs - run.headerMs);
    const Presence wantedA = wantA ? Presence::Present : Presence::Absent;
    const Presence wantedB = wantA ? Presence::Absent : Presence::Present;
    const bool ok = header && Stopped(run) && covers && Judge(a) == wantedA &&
                    Judge(b) == wantedB && kept.breaks == 0 && drops == 0;
    const std::string wanted =
        Format("%.1f Hz %s, %.1f Hz %s, unbroken, header, exit code 0 after the stop, audio for "
               "90%% of the run",
               kToneA, Name(wantedA), kToneB, Name(wantedB));
    const std::string got =
        Format("%.1f Hz %s, %.1f Hz %s, %zu phase breaks, %zu drop-outs, ", kToneA, Name(Judge(a)),
               kToneB, Name(Judge(b)), kept.breaks, drops) +
        Outcome(run, header, samples.size() / 2);
    return Report(run, ok, wanted, got, report);
}

bool CheckSilent(const Run& run, std::string& report) {
    const bool header = HeaderMatches(run.stream);
    return Report(run, header && Stopped(run), "header, exit code 0 after the stop",
                  Outcome(run, header, BodySamples(run.stream).size() / 2), report);
}

bool CheckMissingTarget(const Run& run, std::string& report) {
    const std::optional<std::uint32_t> code = FailureCode(run.failureLine);
    const bool ok = SUCCEEDED(run.startResult) && !run.terminated && run.exitCode == 4 &&
                    run.stream.empty() && code == kInvalidArgument;
    const std::string got =
        Format("exit code %s, %zu bytes out, %s",
               run.terminated ? "none (killed)" : std::to_string(run.exitCode).c_str(),
               run.stream.size(), code ? Hresult(static_cast<HRESULT>(*code)).c_str() : "no code");
    return Report(run, ok, "exit code 4, nothing out, 0x80070057", got, report);
}

bool CheckTargetExit(const Run& run, std::string& report) {
    const ExitHalves h = SplitAtExit(run);
    const bool header = HeaderMatches(run.stream);
    const bool ok = header && Stopped(run) && Judge(h.before) == Presence::Present &&
                    Judge(h.after) == Presence::Absent;
    const std::string got = Format("%.1f Hz %s before, %s after, ", kToneA, Name(Judge(h.before)),
                                   Name(Judge(h.after))) +
                            Outcome(run, header, BodySamples(run.stream).size() / 2);
    return Report(run, ok,
                  Format("%.1f Hz present before player 1 ended, absent after, header, exit code 0 "
                         "after the stop",
                         kToneA),
                  got, report);
}

// `line` is the player's first line, or its failure line when it fails.
HRESULT StartPlayer(ChildProcess& player, const std::wstring& self, double hz, bool window,
                    HANDLE job, std::string& line) {
    std::wstring command = L"\"" + self + L"\" --play " + std::to_wstring(hz);
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

// A process id that names no process now: ids are multiples of 4 and never
// come near the top of the range.
std::optional<DWORD> MissingProcessId() {
    for (DWORD id = 0xFFFFFFFC; id > 0xFFFFFF00; id -= 4) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process != nullptr) CloseHandle(process);
        else if (GetLastError() == ERROR_INVALID_PARAMETER) return id;
    }
    return std::nullopt;
}

// The build and update revision, which decide whether process loopback is
// there; RtlGetVersion is not subject to the manifest's compatibility
// shims that GetVersionEx is.
std::string WindowsVersion() {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto rtlGetVersion = ntdll == nullptr
        ? nullptr
        : reinterpret_cast<RtlGetVersionFunction>(
              reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (rtlGetVersion == nullptr || rtlGetVersion(&version) != 0) return "Windows, version unknown";
    std::string text = Format("Windows %lu.%lu, build %lu", version.dwMajorVersion,
                              version.dwMinorVersion, version.dwBuildNumber);
    constexpr wchar_t kKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    DWORD revision = 0, size = sizeof revision;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"UBR", RRF_RT_REG_DWORD, nullptr, &revision,
                     &size) == ERROR_SUCCESS)
        text += Format(".%lu", revision);
    wchar_t display[64];
    size = sizeof display;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, display,
                     &size) == ERROR_SUCCESS)
        text += " (" + Utf8(display) + ")";
    return text;
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
        const std::string why = said.empty() ? Format("its %.1f Hz tone (%s)",
                                                      firstPlays ? kToneB : kToneA,
                                                      Hresult(hr).c_str())
                                             : said;
        Print(Format("Player %d could not play: %s. The self-test needs an audio output device.\n",
                     firstPlays ? 2 : 1, why.c_str()));
        return 1;
    }
    Sleep(kSettleMs);

    const std::wstring pid1 = std::to_wstring(player1.Id());
    const std::optional<DWORD> missing = MissingProcessId();
    Run runs[6];
    Aim(runs[0], "include", L"--pid", pid1);
    Aim(runs[1], "exclude", L"--exclude-pid", pid1);
    Aim(runs[2], "window", L"--window", {window.begin(), window.end()});
    Aim(runs[3], "silent", L"--pid", pid1, Action::Quiet);
    Aim(runs[4], "nopid", L"--pid", missing ? std::to_wstring(*missing) : L"");
    Aim(runs[5], "exits", L"--pid", pid1, Action::Exit);  // last: player 1 is gone after it

    std::string table = WindowsVersion() + "\n" +
                        Format("player 1: %.1f Hz, process %lu, window %s; player 2: %.1f Hz, "
                               "process %lu; helper %s\n",
                               kToneA, static_cast<unsigned long>(player1.Id()), window.c_str(),
                               kToneB, static_cast<unsigned long>(player2.Id()),
                               Utf8(helper).c_str());
    table += TableHead();
    std::string failures, checks;
    std::optional<std::uint32_t> missingCapture;
    int done = 0;
    for (Run& run : runs) {
        if (&run == &runs[4] && !missing) {
            run.startResult = E_UNEXPECTED;  // every process id is taken: reported, not run
        } else {
            RunHelper(helper, job.Get(), player1, run);
        }
        ++done;
        table += Row(run);
        if (!run.failureLine.empty()) failures += Format("%-8s %s\n", run.name, run.failureLine.c_str());
        const std::optional<std::uint32_t> code = FailureCode(run.failureLine);
        if (run.exitCode == 4 && code && MeansNoProcessLoopback(*code)) {
            missingCapture = code;
            break;  // every other run would fail the same way
        }
    }
    player1.End();
    player2.End();

    table += "(here: share of 10 ms blocks that hold the tone; reads: the helper's output as it "
             "came through the pipe, not the platform's packets)\n";
    Print(table + failures);
    if (missingCapture) {
        Print(Format("This system has no process-loopback audio capture: the helper's activation "
                     "failed with 0x%08X. Microsoft documents Windows build 20348 as the first "
                     "with it; it is reported to work from build 19041 (Windows 10 2004).\n",
                     static_cast<unsigned>(*missingCapture)));
        return 2;
    }
    if (done == 6) {
        Print(QuietLine(runs[3]));
        Print(ExitLine(runs[5]));
    }
    bool ok = CheckCapture(runs[0], true, checks);
    ok = CheckCapture(runs[1], false, checks) && ok;
    ok = CheckCapture(runs[2], true, checks) && ok;
    ok = CheckSilent(runs[3], checks) && ok;
    ok = CheckMissingTarget(runs[4], checks) && ok;
    ok = CheckTargetExit(runs[5], checks) && ok;
    Print(checks + (ok ? "Process-loopback capture works on this system.\n"
                       : "Process-loopback capture does NOT work as expected here.\n"));
    return ok ? 0 : 1;
}

}  // namespace selftest
