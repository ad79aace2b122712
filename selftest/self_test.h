// The orchestrator: players, the helper's runs, a verdict per promise.
#pragma once

#include <string>

namespace selftest {

struct Options {
    std::wstring self;    // this executable, started again as the players
    std::wstring helper;  // the capture helper
    std::wstring client;  // the Node client package's folder
    int minutes = 0;      // a long run of this many minutes; 0: none
};

// 0 when every promise that could be checked holds, 1 when one fails, 2
// when the system has no process-loopback capture.
int RunSelfTest(const Options& options);

}  // namespace selftest
