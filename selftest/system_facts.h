// What the self-test asks of the system: text out, the Windows build, the
// device's volume, processes, busy processors and the Node client.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "windows_handles.h"

namespace selftest {

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

inline std::string Hresult(HRESULT hr) { return Format("0x%08lX", static_cast<unsigned long>(hr)); }

std::string Utf8(const std::wstring& text);

// A console shows UTF-16; a pipe or file gets the UTF-8 bytes unchanged.
void Print(const std::string& utf8);

// The build and update revision, which decide whether process loopback is there.
std::string WindowsVersion();

// The default output's master volume in dB, if it can be read.
std::optional<double> DeviceVolumeDb();

// Children that would outlive a crash of ours are ended by the system.
OwnedHandle MakeJob();

// A process id that names no process now.
std::optional<DWORD> MissingProcessId();

// One busy thread per logical processor, at normal priority, while it lives.
class BusyProcessors {
public:
    BusyProcessors();
    BusyProcessors(const BusyProcessors&) = delete;
    BusyProcessors& operator=(const BusyProcessors&) = delete;
    ~BusyProcessors();
    std::size_t Count() const { return threads_.size(); }

private:
    std::vector<HANDLE> threads_;
    volatile LONG stop_ = 0;
};

// The command line that captures `pid` through the Node client's
// captureProcessAudio and writes the stream (header first) to its standard
// output until a byte or the end of its standard input; empty, with the
// reason in `why`, when node or the package is not there.
std::wstring NodeClientCommand(const std::wstring& package, const std::wstring& helper, DWORD pid,
                               std::string& why);

}  // namespace selftest
