// The scripted audio platform linked into the test build of the program:
// the activation, answered on a completion thread of its own as the
// scenario says (scenario.cpp), with an audio client (audio_client.cpp) and
// a trace of what the program does (trace.cpp).
#include "scripted.h"

#ifndef _WIN32
#include <posix_test_hooks.h>
#endif

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// Never destroyed: the exit hook in trace.cpp joins them after this file's
// statics may be gone.
std::mutex& completionsMutex = *new std::mutex;
std::vector<std::thread>& completions = *new std::vector<std::thread>;

class Operation final : public Object<IActivateAudioInterfaceAsyncOperation> {
public:
    Operation()
        : Object("IActivateAudioInterfaceAsyncOperation", IID_IActivateAudioInterfaceAsyncOperation) {}

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        Record("GetActivateResult");
        const Scenario& s = TheScenario();
        if (s.resultMode == ResultMode::Fail) return s.resultCode;
        if (s.resultMode == ResultMode::None) return S_OK;
        *result = s.resultCode;
        *activated = nullptr;
        if (s.resultMode == ResultMode::Other)
            *activated = new Object<IUnknown>("IUnknown", IID_IUnknown);  // no audio client
        else if (SUCCEEDED(s.resultCode))
            *activated = NewAudioClient();
        return S_OK;
    }
};

// The handler must signal only its own copy of the event: after a time-out
// the program's handle is closed, and on Windows its value may already name
// another object. Probes take the freed values; none may be signalled.
void Complete(IActivateAudioInterfaceCompletionHandler* handler, Operation* operation) {
    onCompletionThread = true;
    constexpr int kProbes = 4;
    HANDLE probes[kProbes] = {};
    for (HANDLE& probe : probes) probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Record("ActivateCompleted");
    SetLastError(ERROR_SUCCESS);
    handler->ActivateCompleted(operation);
    if (GetLastError() == ERROR_INVALID_HANDLE)
        Record("completion used a closed handle");
    for (HANDLE probe : probes) {
        if (probe == nullptr) continue;
        if (WaitForSingleObject(probe, 0) == WAIT_OBJECT_0)
            Record("completion signalled an event it does not own");
        CloseHandle(probe);
    }
    handler->Release();
    operation->Drop();
}

}  // namespace

void JoinCompletions() {
    std::vector<std::thread> pending;
    {
        std::lock_guard<std::mutex> lock(completionsMutex);
        pending.swap(completions);
    }
    for (std::thread& thread : pending) thread.join();
}

// What the completion thread still does after signalling belongs to the run
// before the program's next call, as it would on a platform that answers at
// once; a late one must stay late.
void SettleCompletion() {
    if (!onCompletionThread && TheScenario().completion == Completion::Now) JoinCompletions();
}

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    const Scenario& s = TheScenario();
    CheckStandardDescriptors();
    std::uint32_t blob[3] = {0, 0, 0};
    if (params->vt == VT_BLOB && params->blob.cbSize == sizeof blob)
        std::memcpy(blob, params->blob.pBlobData, sizeof blob);
    std::string ascii;
    for (const wchar_t* c = path; *c != 0; ++c) ascii += static_cast<char>(*c);
    Record("ActivateAudioInterfaceAsync %s %s %u %u %u %u %u", ascii.c_str(),
                IsEqualIID(riid, IID_IAudioClient) ? "IAudioClient" : "other",
                static_cast<unsigned>(params->vt), static_cast<unsigned>(params->blob.cbSize),
                blob[0], blob[1], blob[2]);
    *operation = nullptr;
    if (FAILED(s.activate)) return s.activate;
#ifndef _WIN32
    if (s.waitFails) PosixFailNextWait(ERROR_INVALID_HANDLE);
#endif

    auto* created = new Operation();
    *operation = created;
    if (s.completion == Completion::Never) return s.activate;
    created->Hold();
    handler->AddRef();
    std::thread completion([created, handler, &s] {
        if (s.completion == Completion::Late)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.lateMs));
        Complete(handler, created);
    });
    std::lock_guard<std::mutex> lock(completionsMutex);
    completions.push_back(std::move(completion));
    return s.activate;
}
