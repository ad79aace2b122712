// The process table of the listing, read from /proc: parent, start time and
// executable of one process at a time.
#include "audio_sessions.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr char kDeleted[] = " (deleted)";

}  // namespace

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

bool LookUpProcess(DWORD processId, ProcessRecord* record) {
    if (processId == 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(processId));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return false;
    char text[1024];
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // The name may hold blanks and parentheses: the fields resume after the last ')'.
    const char* open = std::strchr(text, '(');
    const char* close = std::strrchr(text, ')');
    char state = 0;
    unsigned long parent = 0;
    unsigned long long started = 0;
    if (open == nullptr || close == nullptr || close < open ||
        std::sscanf(close + 1,
                    " %c %lu %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d "
                    "%*d %llu",
                    &state, &parent, &started) != 3 ||
        state == 'Z' || state == 'X')
        return false;
    record->parent = static_cast<DWORD>(parent);
    record->started = started;
    std::string exe(PATH_MAX, '\0');
    std::snprintf(path, sizeof path, "/proc/%u/exe", static_cast<unsigned>(processId));
    const ssize_t linked = readlink(path, exe.data(), exe.size());
    exe.resize(linked > 0 ? static_cast<std::size_t>(linked) : 0);
    // A binary replaced on disk (an update) still names the application.
    if (exe.size() > sizeof kDeleted - 1 &&
        exe.compare(exe.size() - (sizeof kDeleted - 1), std::string::npos, kDeleted) == 0)
        exe.resize(exe.size() - (sizeof kDeleted - 1));
    // Someone else's process: the kernel's 15 characters of its name are all there is.
    const std::string name = exe.empty() ? std::string(open + 1, close)
                                         : exe.substr(exe.find_last_of('/') + 1);
    record->exe = PosixArgumentToWide(exe.c_str());
    record->name = PosixArgumentToWide(name.c_str());
    return true;
}
