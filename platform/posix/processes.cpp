// Processes by pid, read from /proc: only whether one exists and has ended.
#include "handle_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace posix_handles;

namespace {

// /proc/<pid>/status of a thread-group leader: its "State:" letter, or 0
// when pid names no process (or only a thread of one).
char ProcessState(DWORD pid, int* error) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        *error = errno;
        return 0;
    }
    char line[256];
    char state = 0;
    long tgid = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, "State:", 6) == 0) std::sscanf(line + 6, " %c", &state);
        if (std::strncmp(line, "Tgid:", 5) == 0) std::sscanf(line + 5, "%ld", &tgid);
    }
    std::fclose(file);
    *error = ENOENT;
    return tgid == static_cast<long>(pid) ? state : 0;
}

}  // namespace

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
    int error = 0;
    const char state = processId != 0 ? ProcessState(processId, &error) : 0;
    if (state == 0) {
        SetLastError(error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED
                                                       : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Claim(Kind::Process, access, nullptr, static_cast<int>(processId));
}

// A zombie has ended; only its parent could still read the code.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    Use use(process);
    if (!use || use->kind != Kind::Process || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int error = 0;
    const char state = ProcessState(static_cast<DWORD>(use->fd), &error);
    *exitCode = state == 0 || state == 'Z' || state == 'X' ? 0 : STILL_ACTIVE;
    return TRUE;
}
