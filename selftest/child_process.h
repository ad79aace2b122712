// A child process with its three standard streams on pipes of ours.
#pragma once

#include <string>

#include "windows_handles.h"

namespace selftest {

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Whatever path we leave by, the child does not outlive us.
    ~ChildProcess() { End(); }

    // Starts `commandLine` in `job` (may be null). The child inherits only its
    // own ends of the three pipes.
    HRESULT Start(const std::wstring& commandLine, HANDLE job);

    DWORD Id() const { return id_; }
    HANDLE Process() const { return process_.Get(); }
    HANDLE Output() const { return output_.Get(); }
    HANDLE Error() const { return error_.Get(); }

    HRESULT WriteByte(char byte);
    // Waits at most `ms`; true once the child has ended.
    bool WaitForExit(DWORD ms);
    // Exit code, or STILL_ACTIVE.
    DWORD ExitCode() const;
    // Closes its input (the stop signal of the helper and the player), waits
    // a little and terminates it if it is still there.
    void End();

private:
    OwnedHandle process_, input_, output_, error_;
    DWORD id_ = 0;
};

// Everything left on a pipe until its writer is gone.
std::string ReadToEnd(HANDLE pipe);

// What can be read from a pipe without waiting.
std::string ReadAvailable(HANDLE pipe);

// Reads one line (without its line break) of at most 255 bytes, giving up
// after `ms` or when `process` ends first.
HRESULT ReadLine(HANDLE pipe, HANDLE process, DWORD ms, std::string& line);

}  // namespace selftest
