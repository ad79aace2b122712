// The listing's process table and top-level windows on Windows: parents from
// a Toolhelp snapshot, the full image path and creation time from the
// process itself, windows from EnumWindows.
// Runs on the caller's thread.
#include "audio_sessions.h"

#include <tlhelp32.h>

#include <map>

namespace {

struct Entry {
    DWORD parent;
    std::wstring name;
};

// One snapshot serves a listing; a pid it does not hold (a process newer than
// it) takes a new one.
std::map<DWORD, Entry>& Snapshot(bool refresh) {
    static std::map<DWORD, Entry> table;
    if (!refresh) return table;
    table.clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return table;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        table[entry.th32ProcessID] = Entry{entry.th32ParentProcessID, entry.szExeFile};
    CloseHandle(snapshot);
    return table;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
    auto* windows = reinterpret_cast<std::vector<TopLevelWindow>*>(context);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr) return TRUE;
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return TRUE;
    std::wstring title(static_cast<std::size_t>(length) + 1, L'\0');
    title.resize(static_cast<std::size_t>(GetWindowTextW(window, title.data(), length + 1)));
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != 0 && !title.empty())
        windows->push_back({pid, reinterpret_cast<std::uintptr_t>(window), std::move(title)});
    return TRUE;
}

}  // namespace

bool LookUpProcess(DWORD processId, ProcessRecord* record) {
    if (processId == 0) return false;
    auto found = Snapshot(false).find(processId);
    if (found == Snapshot(false).end()) found = Snapshot(true).find(processId);
    if (found == Snapshot(false).end()) return false;
    record->parent = found->second.parent;
    record->name = found->second.name;
    record->exe.clear();
    record->started = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        // Gone since the snapshot; denied (a protected process) still exists.
        return GetLastError() != ERROR_INVALID_PARAMETER;
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    wchar_t path[32768];
    DWORD size = static_cast<DWORD>(sizeof path / sizeof path[0]);
    if (QueryFullProcessImageNameW(process, 0, path, &size)) record->exe.assign(path, size);
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(process, &created, &exited, &kernel, &user))
        record->started = (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) |
                          created.dwLowDateTime;
    CloseHandle(process);
    return running;
}

std::vector<TopLevelWindow> EnumerateTopLevelWindows() {
    std::vector<TopLevelWindow> windows;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}
