#include "activation_handler.h"
#include "capture.h"
#include "capture_loop.h"
#include "last_error.h"
#include "output_stream.h"
#include "stop_watcher.h"

namespace {

constexpr wchar_t kProcessLoopbackDevice[] = L"VAD\\Process_Loopback";
constexpr DWORD kActivationTimeoutMs = 10000;
constexpr HRESULT kActivationTimedOut = static_cast<HRESULT>(0x800705B4L);
constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                               AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;

enum EventIndex { ActivationDone = 0, SampleReady = 1, Stop = 2 };

struct Session {
    HANDLE events[3] = {nullptr, nullptr, nullptr};
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    IAudioClient* audioClient = nullptr;
    IAudioCaptureClient* captureClient = nullptr;
    SilenceBuffer silence;
    bool started = false;
};

void CloseEvents(Session& s) {
    for (HANDLE& event : s.events) {
        if (event != nullptr) CloseHandle(event);
        event = nullptr;
    }
}

template <typename Interface>
void ReleaseInterface(Interface*& reference) {
    if (reference != nullptr) reference->Release();
    reference = nullptr;
}

// Reverse order of acquisition.
void ReleaseAll(Session& s) {
    ReleaseInterface(s.captureClient);
    ReleaseInterface(s.audioClient);
    ReleaseInterface(s.operation);
    ReleaseInterface(s.handler);
}

WAVEFORMATEX CaptureFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.nAvgBytesPerSec = 384000;
    format.nBlockAlign = 8;
    format.wBitsPerSample = 32;
    format.cbSize = 0;
    return format;
}

// Everything between creating the events and tearing down. Sets s.started
// once the client runs, so the caller knows it must be stopped.
HRESULT Capture(const CaptureTarget& target, Session& s) {
    AUDIOCLIENT_ACTIVATION_PARAMS params{};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = target.processId;
    params.ProcessLoopbackParams.ProcessLoopbackMode =
        static_cast<PROCESS_LOOPBACK_MODE>(target.LoopbackMode);
    PROPVARIANT variant{};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof params;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    HRESULT hr = CreateActivationHandler(s.events[ActivationDone], &s.handler);
    if (FAILED(hr)) return hr;

    hr = ActivateAudioInterfaceAsync(kProcessLoopbackDevice, IID_IAudioClient, &variant,
                                     s.handler, &s.operation);
    if (FAILED(hr)) return hr;

    if (WaitForSingleObject(s.events[ActivationDone], kActivationTimeoutMs) != WAIT_OBJECT_0)
        return kActivationTimedOut;

    hr = GetActivationOutcome(s.handler, &s.audioClient);
    if (FAILED(hr)) return hr;

    const WAVEFORMATEX format = CaptureFormat();
    hr = s.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, 0, 0, &format,
                                   nullptr);
    if (FAILED(hr)) return hr;
    hr = s.audioClient->SetEventHandle(s.events[SampleReady]);
    if (FAILED(hr)) return hr;
    void* captureClient = nullptr;
    hr = s.audioClient->GetService(IID_IAudioCaptureClient, &captureClient);
    if (FAILED(hr)) return hr;
    s.captureClient = static_cast<IAudioCaptureClient*>(captureClient);

    // The header goes out before the client starts; failing here is a failure
    // of the run, not a reader that left mid-stream.
    hr = WriteFully(StreamHeader.data(), static_cast<std::uint32_t>(StreamHeader.size()));
    if (FAILED(hr)) return hr;

    const HRESULT startResult = s.audioClient->Start();
    if (FAILED(startResult)) return startResult;
    s.started = true;

    hr = StartStopWatcher(s.events[Stop]);
    if (FAILED(hr)) return hr;

    const HANDLE waitList[2] = {s.events[SampleReady], s.events[Stop]};
    hr = RunCaptureLoop(s.captureClient, waitList, format.nBlockAlign, startResult, s.silence);
    return hr == kBrokenPipe ? S_OK : hr;
}

}  // namespace

HRESULT RunProcessLoopbackCapture(const CaptureTarget& target) {
    Session s;
    s.events[ActivationDone] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s.events[SampleReady] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s.events[Stop] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s.events[ActivationDone] == nullptr || s.events[SampleReady] == nullptr ||
        s.events[Stop] == nullptr) {
        CloseEvents(s);
        return LastErrorAsFailure();
    }

    const HRESULT hr = Capture(target, s);

    if (s.started) s.audioClient->Stop();
    CloseEvents(s);
    FreeSilenceBuffer(s.silence);
    ReleaseAll(s);
    return hr;
}
