#include "stop_watcher.h"

#include "last_error.h"
#include "signal_only.h"

namespace {

DWORD WINAPI StdinStopWatcher(LPVOID parameter) {
    HANDLE stop = static_cast<HANDLE>(parameter);
    BYTE byte = 0;
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr);
    SetEvent(stop);
    CloseHandle(stop);
    return 0;
}

}  // namespace

HRESULT StartStopWatcher(HANDLE stopEvent) {
    HANDLE duplicate = nullptr;
    const HRESULT duplicated = DuplicateSignalOnly(stopEvent, &duplicate);
    if (FAILED(duplicated)) return duplicated;

    HANDLE thread = CreateThread(nullptr, 0, StdinStopWatcher, duplicate, 0, nullptr);
    if (thread == nullptr) {
        const HRESULT hr = LastErrorAsFailure();
        CloseHandle(duplicate);
        return hr;
    }
    CloseHandle(thread);  // detached: process exit ends it if still reading
    return S_OK;
}
