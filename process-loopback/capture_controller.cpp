#include "activation_handler.h"
#include "capture.h"
#include "capture_format.h"
#include "capture_loop.h"
#include "last_error.h"
#include "output_ring.h"
#include "output_stream.h"
#include "owning.h"
#include "stop_watcher.h"

namespace {

constexpr DWORD kActivationTimeoutMs = 10000;
constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                               AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;

// Everything one capture acquires. Members go in reverse order of declaration,
// which is the teardown order: after the client is stopped and the writer
// has ended, the events close (activation, sample, stop, then the writer's),
// the ring goes, then the interfaces are released in reverse order of
// acquisition, the handler last.
struct Session {
    ComPtr<IActivateAudioInterfaceCompletionHandler> handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioCaptureClient> captureClient;
    OutputWriter writer;
    EventHandle writerDone;
    EventHandle writerWake;
    EventHandle stop;
    EventHandle sampleReady;
    EventHandle activationDone;
    bool started = false;

    Session() {
        activationDone.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        sampleReady.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        writerWake.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        writerDone.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        writer.wake = writerWake.Get();
        writer.done = writerDone.Get();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // The early returns after the writer started; the normal end finishes it
    // itself to read its result.
    ~Session() {
        if (started) audioClient->Stop();
        FinishOutputWriter(writer);
    }
};

// Include mode only: a pid that names no live process would otherwise give a
// capture that runs forever and delivers silence. A target we may not open
// (elevated, protected) does exist, and the capture goes on. A process has
// ended when its handle is signalled (an exit code may be STILL_ACTIVE).
HRESULT CheckTargetExists(const CaptureTarget& target) {
    if (target.LoopbackMode != PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE) return S_OK;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, target.processId);
    if (process == nullptr)
        return GetLastError() == DWORD{ERROR_INVALID_PARAMETER} ? E_INVALIDARG : S_OK;
    const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return exited ? E_INVALIDARG : S_OK;
}

HRESULT Capture(const CaptureTarget& target, Session& s) {
    if (!s.activationDone || !s.sampleReady || !s.stop || !s.writerWake || !s.writerDone)
        return LastErrorAsFailure();
    HRESULT hr = CheckTargetExists(target);
    if (FAILED(hr)) return hr;

    AUDIOCLIENT_ACTIVATION_PARAMS params{};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = target.processId;
    params.ProcessLoopbackParams.ProcessLoopbackMode = target.LoopbackMode;
    PROPVARIANT variant{};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof params;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    hr = CreateActivationHandler(s.activationDone.Get(), s.handler.Put());
    if (FAILED(hr)) return hr;

    hr = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, IID_IAudioClient,
                                     &variant, s.handler.Get(), s.operation.Put());
    if (FAILED(hr)) return hr;

    const DWORD waited = WaitForSingleObject(s.activationDone.Get(), kActivationTimeoutMs);
    if (waited == WAIT_TIMEOUT) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (waited != WAIT_OBJECT_0) return LastErrorAsFailure();

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
    if (!s.writer.ring.Init(format.nBlockAlign)) return E_OUTOFMEMORY;

    // The header goes out before the client starts; failing here is a failure
    // of the run, not a reader that left mid-stream.
    hr = WriteFully(StreamHeader.data(), static_cast<std::uint32_t>(StreamHeader.size()));
    if (FAILED(hr)) return hr;
    hr = StartOutputWriter(s.writer);
    if (FAILED(hr)) return hr;

    const HRESULT startResult = s.audioClient->Start();
    if (FAILED(startResult)) return startResult;
    s.started = true;

    hr = StartStopWatcher(s.stop.Get());
    if (FAILED(hr)) return hr;

    const HANDLE waitList[3] = {s.stop.Get(), s.writerDone.Get(), s.sampleReady.Get()};
    hr = RunCaptureLoop(s.captureClient.Get(), waitList, s.writer, startResult);
    // What was captured before the end still goes out; a reader that went
    // away meanwhile ends the run as a success, any other failed write not.
    s.audioClient->Stop();
    s.started = false;
    if (SUCCEEDED(hr)) hr = DrainStoppedClient(s.captureClient.Get(), s.writer, hr);
    const HRESULT written = FinishOutputWriter(s.writer);
    if (FAILED(hr)) return hr;
    if (written == kBrokenPipe) return S_OK;
    return FAILED(written) ? written : hr;
}

}  // namespace

HRESULT RunProcessLoopbackCapture(const CaptureTarget& target) {
    Session s;
    return Capture(target, s);
}
