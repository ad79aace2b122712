#include "child_process.h"

#include <vector>

namespace selftest {

namespace {

constexpr DWORD kOutputPipeBytes = 1 << 16;
constexpr DWORD kGraceMs = 3000;

// A pipe whose `childEnd` is inheritable and whose other end is not, so that
// children started later never hold it open.
HRESULT MakePipe(bool childReads, OwnedHandle& childEnd, OwnedHandle& ourEnd, DWORD size) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    OwnedHandle read, write;
    if (!CreatePipe(read.Put(), write.Put(), &inherit, size)) return LastErrorAsFailure();
    childEnd = childReads ? std::move(read) : std::move(write);
    ourEnd = childReads ? std::move(write) : std::move(read);
    if (!SetHandleInformation(ourEnd.Get(), HANDLE_FLAG_INHERIT, 0)) return LastErrorAsFailure();
    return S_OK;
}

}  // namespace

HRESULT ChildProcess::Start(const std::wstring& commandLine, HANDLE job) {
    OwnedHandle childInput, childOutput, childError;
    HRESULT hr = MakePipe(true, childInput, input_, 0);
    if (SUCCEEDED(hr)) hr = MakePipe(false, childOutput, output_, kOutputPipeBytes);
    if (SUCCEEDED(hr)) hr = MakePipe(false, childError, error_, 0);
    if (FAILED(hr)) return hr;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.Get();
    startup.hStdOutput = childOutput.Get();
    startup.hStdError = childError.Get();
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info{};
    // Suspended until it is in the job, so nothing it starts escapes it.
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        return LastErrorAsFailure();
    process_.Reset(info.hProcess);
    OwnedHandle thread(info.hThread);
    id_ = info.dwProcessId;
    // A system that refuses nested jobs still gets End() on every path.
    if (job != nullptr) AssignProcessToJobObject(job, info.hProcess);
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        hr = LastErrorAsFailure();
        End();
        return hr;
    }
    return S_OK;
}

HRESULT ChildProcess::WriteByte(char byte) {
    DWORD written = 0;
    if (!WriteFile(input_.Get(), &byte, 1, &written, nullptr)) return LastErrorAsFailure();
    return written == 1 ? S_OK : E_FAIL;
}

bool ChildProcess::WaitForExit(DWORD ms) {
    return process_ && WaitForSingleObject(process_.Get(), ms) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_.Get(), &code);
    return code;
}

void ChildProcess::End() {
    input_.Reset();
    if (process_ && !WaitForExit(kGraceMs)) {
        TerminateProcess(process_.Get(), 1);
        WaitForExit(kGraceMs);
    }
    process_.Reset();
    output_.Reset();
    error_.Reset();
}

std::string ReadToEnd(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read != 0)
        text.append(buffer, read);
    return text;
}

std::string ReadAvailable(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD available = 0, read = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available != 0 &&
           ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &read,
                    nullptr) &&
           read != 0)
        text.append(buffer, read);
    return text;
}

HRESULT ReadLine(HANDLE pipe, HANDLE process, DWORD ms, std::string& line) {
    line.clear();
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return LastErrorAsFailure();  // the writer has gone
        while (available-- > 0) {
            char c = 0;
            DWORD read = 0;
            if (!ReadFile(pipe, &c, 1, &read, nullptr) || read != 1) return LastErrorAsFailure();
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return S_OK;
            }
            if (line.size() == 255) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            line += c;
        }
        if (GetTickCount64() >= deadline) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        // Polled: an anonymous pipe cannot be waited on.
        if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0) {
            if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available != 0)
                continue;
            return HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
        }
    }
}

}  // namespace selftest
