// RunHelper runs on the main thread, ReadOutput on the reader thread it starts.
#include "helper_run.h"

#include <chrono>
#include <cmath>

namespace selftest {

namespace {

constexpr double kQuietFromMs = 400, kQuietToMs = 1100;
constexpr double kExitAtMs = 700;
// Beyond the helper's own 10 s activation time-out.
constexpr DWORD kHelperEndMs = 20000;
constexpr std::size_t kMinuteBytes = 60 * 48000 * kFrameBytes;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Waits until `ms` after `start`, or until the helper ends.
void WaitUntil(ChildProcess& helper, Clock::time_point start, double ms) {
    const double left = ms - MsSince(start);
    if (left > 0) helper.WaitForExit(static_cast<DWORD>(std::ceil(left)));
}

// Shared by the main thread and the reader thread: `headerMs` is written
// before `headerSeen` is set and read only after it; `run`'s stream,
// arrivals and minutes only after the reader thread has ended.
struct Reader {
    HANDLE pipe;
    Run* run;
    Clock::time_point start;
    HANDLE headerSeen;
    double headerMs = -1;
};

// A long run keeps the figures of each whole minute, not its samples.
void FoldMinute(Run& run) {
    std::vector<std::uint8_t>& s = run.stream;
    if (!run.keepMinutes || s.size() < kHeaderBytes + kMinuteBytes) return;
    const std::vector<std::uint8_t> minute(s.begin(), s.begin() + kHeaderBytes + kMinuteBytes);
    run.minutes.push_back(Minute(BodySamples(minute)));
    s.erase(s.begin() + kHeaderBytes, s.begin() + kHeaderBytes + kMinuteBytes);
}

DWORD WINAPI ReadOutput(void* context) {
    Reader& reader = *static_cast<Reader*>(context);
    Run& run = *reader.run;
    std::vector<std::uint8_t> buffer(1 << 16);
    DWORD read = 0;
    while (ReadFile(reader.pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
           read != 0) {
        const double ms = MsSince(reader.start);
        if (!run.keepMinutes) run.arrivals.push_back({ms, read});
        run.stream.insert(run.stream.end(), buffer.begin(), buffer.begin() + read);
        FoldMinute(run);
        if (reader.headerMs < 0 && run.stream.size() >= kHeaderBytes) {
            reader.headerMs = ms;
            SetEvent(reader.headerSeen);
            // A reader that stalls, then reads at full speed.
            if (run.stallMs > 0) Sleep(static_cast<DWORD>(run.stallMs));
        }
    }
    return 0;
}

}  // namespace

bool Stopped(const Run& run) {
    return SUCCEEDED(run.startResult) && !run.terminated && run.exitCode == 0 &&
           run.stopMs >= 0 && !run.endedBeforeStop;
}

void RunHelper(HANDLE job, ChildProcess& player1, Run& run) {
    ChildProcess helper;
    const OwnedHandle headerSeen(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!headerSeen) {
        run.startResult = LastErrorAsFailure();
        return;
    }
    const Clock::time_point start = Clock::now();
    run.startResult = helper.Start(run.commandLine, job);
    if (FAILED(run.startResult)) return;

    if (!run.keepMinutes) run.stream.reserve(static_cast<std::size_t>(run.runMs + 1000) * 384);
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
            run.targetExitMs = MsSince(start);
        }
        WaitUntil(helper, start, run.headerMs + run.runMs);
        run.endedBeforeStop = helper.WaitForExit(0);
        run.stopMs = MsSince(start);
    }
    helper.WriteByte('x');  // fails harmlessly if it has already ended
    if (helper.WaitForExit(kHelperEndMs)) {
        run.exitMs = MsSince(start);
    } else {
        run.terminated = true;
        TerminateProcess(helper.Process(), 1);
        helper.WaitForExit(kHelperEndMs);
    }
    WaitForSingleObject(readerThread.Get(), INFINITE);  // the pipe ends with the helper
    run.exitCode = helper.ExitCode();
    run.failureLine = ReadToEnd(helper.Error());
    run.failureLine = run.failureLine.substr(0, run.failureLine.find('\n'));
    if (!run.failureLine.empty() && run.failureLine.back() == '\r') run.failureLine.pop_back();
}

}  // namespace selftest
