// An X11 query run in a child process, so that a deadline holds even inside
// xcb's blocking connect and nothing of a query given up on outlives it (a
// thread left blocked would still run while the program exits). Called on
// whichever thread asks; the child runs only `query`.
#pragma once

#include <optional>
#include <string>

// What `query` returned in the child, or nothing when the child could not be
// started, failed, or did not finish within 3 s (it is killed then).
std::optional<std::string> QueryInChild(std::string (*query)(const void* context),
                                        const void* context);
