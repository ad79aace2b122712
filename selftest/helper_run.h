// One run of the helper (or of the Node client) with its output read and
// timed, as the self-test's promises need it.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "promises.h"
#include "stream_analysis.h"

namespace selftest {

// Runs are timed from the helper's header: activation may take seconds.
constexpr double kRunMs = 1500;

// What is done to player 1 while the helper captures it.
enum class Action { None, Quiet, Exit };

struct Run {
    const char* name = "";
    std::wstring commandLine;
    Action action = Action::None;
    double runMs = kRunMs;     // from the header to the stop byte
    double stallMs = 0;        // the reader reads nothing for this long after the header
    bool keepMinutes = false;  // a long run: figures per minute, not the stream
    HRESULT startResult = S_OK;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;
    bool endedBeforeStop = false;
    std::vector<std::uint8_t> stream;
    std::vector<Arrival> arrivals;
    std::vector<MinuteFigures> minutes;
    std::string failureLine;
    // All from the helper's start; header and stop stay -1 when there was none.
    double headerMs = -1, stopMs = -1, exitMs = -1;
    double quietFromMs = -1, quietToMs = -1, targetExitMs = -1;
};

// Main thread: runs it once; player 1 may be quietened or ended meanwhile.
void RunHelper(HANDLE job, ChildProcess& player1, Run& run);

// Header, exit code 0 after the stop byte, not ended before it.
bool Stopped(const Run& run);

}  // namespace selftest
