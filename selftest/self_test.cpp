#include "self_test.h"

#include <optional>

#include "run_table.h"
#include "system_facts.h"

namespace selftest {

namespace {

constexpr DWORD kPlayerStartMs = 10000;
constexpr DWORD kSettleMs = 300;
constexpr std::uint32_t kInvalidArgument = 0x80070057u;
constexpr double kLoadMs = 10000, kStallMs = 3000, kStallRunMs = 5000;
constexpr double kStopWithinMs = 4000;
// Every frame up to the stop, but what the platform had not yet delivered.
constexpr double kInFlightMs = 150;

enum class Outcome { Pass, Fail, NotProvable, NotRun };

struct Verdict {
    const char* promise;
    Outcome outcome;
    std::string figures;
};

std::string Word(Outcome outcome) {
    switch (outcome) {
    case Outcome::Pass: return "pass";
    case Outcome::Fail: return "FAIL";
    case Outcome::NotProvable: return "not provable here";
    case Outcome::NotRun: return "not run";
    }
    return "";
}

std::wstring Command(const std::wstring& program, const wchar_t* option, const std::wstring& value) {
    return L"\"" + program + L"\" " + option + L" " + value;
}

// `line` is the player's first line, or its failure line when it fails.
HRESULT StartPlayer(ChildProcess& player, const std::wstring& self, const std::wstring& arguments,
                    HANDLE job, std::string& line) {
    HRESULT hr = player.Start(L"\"" + self + L"\" --play " + arguments, job);
    if (SUCCEEDED(hr)) hr = ReadLine(player.Output(), player.Process(), kPlayerStartMs, line);
    if (SUCCEEDED(hr) && line.rfind("0x", 0) != 0) hr = E_UNEXPECTED;
    if (FAILED(hr) && player.Process() != nullptr) {
        player.WaitForExit(kPlayerStartMs);
        // What is there now: end of file may never come under Wine, whose
        // desktop process can inherit a copy of the player's pipes.
        line = ReadAvailable(player.Error());
        line = line.substr(0, line.find_first_of("\r\n"));
        player.End();
    }
    return hr;
}

double AudioMs(const Run& run) {
    return static_cast<double>(BodySamples(run.stream).size() / 2) * 1000 / kSampleRate;
}

std::string Ending(const Run& run) {
    std::string got = HeaderMatches(run.stream) ? "header" : "no valid header";
    got += Stopped(run) ? ", exit code 0 after the stop"
                        : Format(", exit code %s%s",
                                 run.terminated ? "none (killed)"
                                                : std::to_string(run.exitCode).c_str(),
                                 run.endedBeforeStop ? " before the stop" : "");
    if (run.stopMs >= 0)
        got += Format(", %.2f s of audio in a %.2f s run", AudioMs(run) / 1000,
                      (run.stopMs - run.headerMs) / 1000);
    return got;
}

// A capture judged on its stream and on how the helper ran and ended;
// `minimumMs` of audio it must hold.
Verdict Judged(const char* promise, const Run& run, const Check& check, double minimumMs) {
    const bool ok = check.ok && HeaderMatches(run.stream) && Stopped(run) && AudioMs(run) >= minimumMs;
    return {promise, ok ? Outcome::Pass : Outcome::Fail, check.figures + "; " + Ending(run)};
}

double Covered(const Run& run) { return 0.9 * (run.stopMs - run.headerMs); }
double EveryFrame(const Run& run) { return run.stopMs - run.headerMs - kInFlightMs; }

}  // namespace

int RunSelfTest(const Options& options) {
    const OwnedHandle job = MakeJob();
    ChildProcess player1, player2;
    std::string window, second;
    const std::wstring tones = std::to_wstring(kLeftTone) + L" --right " +
                               std::to_wstring(kRightTone) + L" --grandchild " +
                               std::to_wstring(kGrandchildTone) + L" --window";
    HRESULT hr = StartPlayer(player1, options.self, tones, job.Get(), window);
    const bool firstPlays = SUCCEEDED(hr);
    if (firstPlays) hr = StartPlayer(player2, options.self, std::to_wstring(kOtherTone), job.Get(), second);
    if (FAILED(hr)) {
        const std::string& said = firstPlays ? second : window;
        const std::string why = said.empty() ? Format("its %.1f Hz tone (%s)",
                                                      firstPlays ? kOtherTone : kLeftTone,
                                                      Hresult(hr).c_str())
                                             : said;
        Print(Format("Player %d could not play: %s. The self-test needs an audio output device.\n",
                     firstPlays ? 2 : 1, why.c_str()));
        return 1;
    }
    Sleep(kSettleMs);
    const std::optional<double> deviceDb = DeviceVolumeDb();

    const std::wstring pid1 = std::to_wstring(player1.Id());
    const std::optional<DWORD> missing = MissingProcessId();
    const std::wstring& h = options.helper;
    std::string nodeWhy;
    const std::wstring node = NodeClientCommand(options.client, h, player1.Id(), nodeWhy);
    enum { Include, Exclude, Window, Silent, NoPid, Load, Stall, StopStall, Long, Node, Exits, Count };
    Run runs[Count];
    const auto aim = [&](int i, const char* name, std::wstring line, Action action = Action::None) {
        runs[i].name = name;
        runs[i].commandLine = std::move(line);
        runs[i].action = action;
    };
    aim(Include, "include", Command(h, L"--pid", pid1));
    aim(Exclude, "exclude", Command(h, L"--exclude-pid", pid1));
    aim(Window, "window", Command(h, L"--window", {window.begin(), window.end()}));
    aim(Silent, "silent", Command(h, L"--pid", pid1), Action::Quiet);
    aim(NoPid, "nopid", Command(h, L"--pid", missing ? std::to_wstring(*missing) : L""));
    aim(Load, "load", Command(h, L"--pid", pid1));
    runs[Load].runMs = kLoadMs;
    aim(Stall, "stall", Command(h, L"--pid", pid1));
    runs[Stall].stallMs = kStallMs;
    runs[Stall].runMs = kStallRunMs;
    aim(StopStall, "stopstall", Command(h, L"--pid", pid1));
    runs[StopStall].stallMs = runs[StopStall].runMs = kStallMs;
    aim(Long, "long", Command(h, L"--pid", pid1));
    runs[Long].runMs = 60000.0 * options.minutes + 1000;  // the last minute arrives whole
    runs[Long].keepMinutes = true;
    aim(Node, "node", node);
    aim(Exits, "exits", Command(h, L"--pid", pid1), Action::Exit);  // last: player 1 is gone after it

    std::string table = WindowsVersion() + "\n" +
                        Format("player 1: %.1f Hz left, %.1f Hz right, its grandchild %.1f Hz, "
                               "process %lu, window %s; player 2: %.1f Hz, process %lu; helper %s\n",
                               kLeftTone, kRightTone, kGrandchildTone,
                               static_cast<unsigned long>(player1.Id()), window.c_str(), kOtherTone,
                               static_cast<unsigned long>(player2.Id()), Utf8(h).c_str());
    table += TableHead();
    std::string failures;
    std::optional<std::uint32_t> missingCapture;
    std::size_t busy = 0;
    for (int i = 0; i < Count; ++i) {
        Run& run = runs[i];
        if ((i == NoPid && !missing) || (i == Long && options.minutes == 0) || (i == Node && node.empty()))
            continue;
        if (i == Load) {
            const BusyProcessors load;
            busy = load.Count();
            RunHelper(job.Get(), player1, run);
        } else {
            RunHelper(job.Get(), player1, run);
        }
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
    table += "(here: share of 10 ms blocks that hold the tone; reads: the helper's output as it "
             "came through the pipe, not the platform's packets)\n";
    Print(table + failures);
    if (runs[Silent].headerMs >= 0 && runs[Exits].headerMs >= 0) Print(QuietLine(runs[Silent]) + ExitLine(runs[Exits]));

    const std::vector<float> include = BodySamples(runs[Include].stream),
                             exclude = BodySamples(runs[Exclude].stream);
    const std::optional<std::uint32_t> nopidCode = FailureCode(runs[NoPid].failureLine);
    const ExitHalves halves = SplitAtExit(runs[Exits]);
    Check steady = Steady(runs[Long].minutes);
    const bool exitedInTime = runs[StopStall].exitMs >= 0 &&
                              runs[StopStall].exitMs - runs[StopStall].stopMs <= kStopWithinMs;
    Check stopStall = Unbroken(BodySamples(runs[StopStall].stream));
    stopStall.ok = stopStall.ok && exitedInTime;
    if (runs[StopStall].stopMs >= 0)
        stopStall.figures += Format(", exit %.0f ms after the stop byte",
                                    runs[StopStall].exitMs - runs[StopStall].stopMs);
    Check loaded = Unbroken(BodySamples(runs[Load].stream));
    loaded.figures += Format(", %zu busy threads", busy);
    std::vector<Verdict> verdicts = {
        Judged("include tree", runs[Include], TreeCaptured(include, true), Covered(runs[Include])),
        Judged("exclude tree", runs[Exclude], TreeCaptured(exclude, false), Covered(runs[Exclude])),
        Judged("window", runs[Window], TreeCaptured(BodySamples(runs[Window].stream), true),
               Covered(runs[Window])),
        Judged("channels", runs[Include], ChannelsKept(include), 0),
        Judged("level", runs[Include], LevelHeld(include, exclude, deviceDb.value_or(0)), 0),
        Judged("quiet target", runs[Silent], {true, "stream while player 1 stops and resumes"}, 0),
        {"missing target",
         runs[NoPid].exitCode == 4 && runs[NoPid].stream.empty() && nopidCode == kInvalidArgument
             ? Outcome::Pass
             : Outcome::Fail,
         Format("exit code %lu, %zu bytes out, %s", static_cast<unsigned long>(runs[NoPid].exitCode),
                runs[NoPid].stream.size(), nopidCode ? Hresult(static_cast<HRESULT>(*nopidCode)).c_str() : "no code")},
        Judged("target exits", runs[Exits],
               {Judge(halves.before) == Presence::Present && Judge(halves.after) == Presence::Absent,
                Format("%.1f Hz in %s of the blocks before the exit, %s after", kLeftTone,
                       Share(halves.before).c_str(), Share(halves.after).c_str())},
               0),
        Judged("under load", runs[Load], loaded, Covered(runs[Load])),
        Judged("stalled reader", runs[Stall], Unbroken(BodySamples(runs[Stall].stream)), EveryFrame(runs[Stall])),
        Judged("stop after stall", runs[StopStall], stopStall, EveryFrame(runs[StopStall])),
        Judged("long run", runs[Long], steady, 0),
        Judged("node client", runs[Node], TreeCaptured(BodySamples(runs[Node].stream), true),
               Covered(runs[Node])),
    };
    for (Verdict& v : verdicts) {
        const std::string name = v.promise;
        if (missingCapture) {
            v = {v.promise, Outcome::NotProvable,
                 Format("this system has no process-loopback capture (0x%08X)", static_cast<unsigned>(*missingCapture))};
        }
        if (name == "missing target" && !missing) v = {v.promise, Outcome::NotRun, "every process id is taken"};
        if (name == "long run" && options.minutes == 0) v = {v.promise, Outcome::NotRun, "ask for it with --minutes N"};
        if (name == "node client" && node.empty()) v = {v.promise, Outcome::NotRun, nodeWhy};
    }
    if (missingCapture)
        Print(Format("This system has no process-loopback audio capture: the helper's activation "
                     "failed with 0x%08X. Microsoft documents Windows build 20348 as the first "
                     "with it; it is reported to work from build 19041 (Windows 10 2004).\n",
                     static_cast<unsigned>(*missingCapture)));
    bool ok = true;
    std::string summary = "---- summary: paste into a bug report ----\n" + WindowsVersion() +
                          "; helper " + Utf8(h) + "; device volume " +
                          (deviceDb ? Format("%.1f dB", *deviceDb) : std::string("unknown")) + "\n";
    for (const Verdict& v : verdicts) {
        ok = ok && v.outcome != Outcome::Fail;
        summary += Format("%-17s %s: %s\n", v.promise, Word(v.outcome).c_str(), v.figures.c_str());
    }
    const int code = missingCapture ? 2 : ok ? 0 : 1;
    summary += code == 0   ? "Every promise checked here holds.\n"
               : code == 1 ? "A promise does NOT hold here.\n"
                           : "Nothing could be proved here.\n";
    Print(summary);
    return code;
}

}  // namespace selftest
