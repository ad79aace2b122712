#include "activation_handler.h"
#include "capture.h"
#include "capture_format.h"
#include "capture_loop.h"
#include "last_error.h"
#include "output_stream.h"
#include "owning.h"
#include "stop_watcher.h"

namespace {

constexpr DWORD kActivationTimeoutMs = 10000;
constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                               AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;

// Everything one capture acquires. Members go in reverse order of declaration,
// which is the teardown order: after the client is stopped, the events close
// (activation, sample, stop), the silence goes, then the interfaces are
// released in reverse order of acquisition, the handler last.
struct Session {
    ComPtr<IActivateAudioInterfaceCompletionHandler> handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioCaptureClient> captureClient;
    SilenceBuffer silence;
    EventHandle stop;
    EventHandle sampleReady;
    EventHandle activationDone;
    bool started = false;

    Session() {
        activationDone.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        sampleReady.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (started) audioClient->Stop();
    }
};

HRESULT Capture(const CaptureTarget& target, Session& s) {
    if (!s.activationDone || !s.sampleReady || !s.stop) return LastErrorAsFailure();

    AUDIOCLIENT_ACTIVATION_PARAMS params{};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = target.processId;
    params.ProcessLoopbackParams.ProcessLoopbackMode = target.LoopbackMode;
    PROPVARIANT variant{};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof params;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    HRESULT hr = CreateActivationHandler(s.activationDone.Get(), s.handler.Put());
    if (FAILED(hr)) return hr;

    hr = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, IID_IAudioClient,
                                     &variant, s.handler.Get(), s.operation.Put());
    if (FAILED(hr)) return hr;

    if (WaitForSingleObject(s.activationDone.Get(), kActivationTimeoutMs) != WAIT_OBJECT_0)
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);

    hr = GetActivationOutcome(s.handler.Get(), s.audioClient.Put());
    if (FAILED(hr)) return hr;

    const WAVEFORMATEX format = CaptureFormat();
    hr = s.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, 0, 0, &format,
                                   nullptr);
    if (FAILED(hr)) return hr;
    hr = s.audioClient->SetEventHandle(s.sampleReady.Get());
    if (FAILED(hr)) return hr;
    hr = s.audioClient->GetService(IID_IAudioCaptureClient, s.captureClient.PutVoid());
    if (FAILED(hr)) return hr;

    // The header goes out before the client starts; failing here is a failure
    // of the run, not a reader that left mid-stream.
    hr = WriteFully(StreamHeader.data(), static_cast<std::uint32_t>(StreamHeader.size()));
    if (FAILED(hr)) return hr;

    const HRESULT startResult = s.audioClient->Start();
    if (FAILED(startResult)) return startResult;
    s.started = true;

    hr = StartStopWatcher(s.stop.Get());
    if (FAILED(hr)) return hr;

    const HANDLE waitList[2] = {s.sampleReady.Get(), s.stop.Get()};
    hr = RunCaptureLoop(s.captureClient.Get(), waitList, format.nBlockAlign, startResult,
                        s.silence);
    return hr == kBrokenPipe ? S_OK : hr;
}

}  // namespace

HRESULT RunProcessLoopbackCapture(const CaptureTarget& target) {
    Session s;
    return Capture(target, s);
}
