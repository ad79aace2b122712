// The orchestrator: two players, four runs of the helper, one table.
#pragma once

#include <string>

namespace selftest {

// 0 when every check passes, 1 when one fails, 2 when the system has no
// process-loopback capture. `self` is this executable (started again as the
// players), `helper` the capture helper.
int RunSelfTest(const std::wstring& self, const std::wstring& helper);

}  // namespace selftest
