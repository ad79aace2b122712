// The Core Audio objects the program activates, backed by PipeWire:
// ActivateAudioInterfaceAsync, the activation operation, IAudioClient and
// IAudioCaptureClient.
#include "capture_format.h"
#include "pw_capture.h"

#include <win32_posix.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <new>
#include <pthread.h>

namespace {

constexpr HRESULT kBufferEmpty = static_cast<HRESULT>(0x08890001L);  // AUDCLNT_S_BUFFER_EMPTY
constexpr HRESULT kNotStopped = static_cast<HRESULT>(0x88890005L);  // AUDCLNT_E_NOT_STOPPED
constexpr HRESULT kInvalidSize = static_cast<HRESULT>(0x88890011L);  // AUDCLNT_E_INVALID_SIZE
constexpr HRESULT kEventNotSet = static_cast<HRESULT>(0x88890014L);  // AUDCLNT_E_EVENTHANDLE_NOT_SET
constexpr HRESULT kIllegalCall = static_cast<HRESULT>(0x8000000EL);  // E_ILLEGAL_METHOD_CALL
constexpr wchar_t kProcessLoopbackPath[] = L"VAD\\Process_Loopback";

// Reference counting shared by every object here.
class RefCounted {
protected:
    ULONG AddRefImpl() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
    template <typename Self>
    ULONG ReleaseImpl(Self* self) {
        const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete self;
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
};

bool IsCaptureFormat(const WAVEFORMATEX* f) {
    const WAVEFORMATEX want = CaptureFormat();
    return f != nullptr && f->wFormatTag == want.wFormatTag && f->nChannels == want.nChannels &&
           f->nSamplesPerSec == want.nSamplesPerSec && f->nBlockAlign == want.nBlockAlign &&
           f->wBitsPerSample == want.wBitsPerSample &&
           f->nAvgBytesPerSec == want.nAvgBytesPerSec;
}

class AudioClient;

class CaptureClient final : public IAudioCaptureClient, RefCounted {
public:
    CaptureClient(AudioClient* client, PwCapture* capture);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAudioCaptureClient)) {
            *object = static_cast<IAudioCaptureClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(this); }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* counterPosition) override {
        if (data == nullptr || frames == nullptr || flags == nullptr) return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        if (const HRESULT failure = PwCaptureFailure(capture_); FAILED(failure)) return failure;
        PacketRing& ring = PwCaptureRing(capture_);
        if (ring.Acquired()) return AUDCLNT_E_OUT_OF_ORDER;
        const std::uint8_t* packet = nullptr;
        bool discontinuity = false;
        if (!ring.Acquire(&packet, frames, &discontinuity)) return kBufferEmpty;
        *data = const_cast<BYTE*>(packet);
        if (discontinuity) *flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        if (devicePosition != nullptr) *devicePosition = position_;
        if (counterPosition != nullptr) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            *counterPosition = static_cast<UINT64>(now.tv_sec) * 10000000u +
                               static_cast<UINT64>(now.tv_nsec) / 100u;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        PacketRing& ring = PwCaptureRing(capture_);
        if (!ring.Acquired() && frames != 0) return AUDCLNT_E_OUT_OF_ORDER;
        if (!ring.Release(frames)) return kInvalidSize;
        position_ += frames;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        if (frames == nullptr) return E_POINTER;
        *frames = 0;
        if (const HRESULT failure = PwCaptureFailure(capture_); FAILED(failure)) return failure;
        *frames = PwCaptureRing(capture_).NextPacketFrames();
        return S_OK;
    }

private:
    ~CaptureClient();
    friend class RefCounted;

    AudioClient* client_;  // keeps the capture (and its ring) alive
    PwCapture* capture_;
    UINT64 position_ = 0;
};

class AudioClient final : public IAudioClient, RefCounted {
public:
    explicit AudioClient(PwCapture* capture) : capture_(capture) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAudioClient)) {
            *object = static_cast<IAudioClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(this); }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD, REFERENCE_TIME,
                                         REFERENCE_TIME, const WAVEFORMATEX* format,
                                         LPCGUID) override {
        if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format == nullptr) return E_POINTER;
        if (shareMode != AUDCLNT_SHAREMODE_SHARED || !IsCaptureFormat(format))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        initialized_ = true;
        return S_OK;
    }
    // Nothing the program calls; left unimplemented rather than half-true.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Start() override {
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (started_) return kNotStopped;
        if (event_ == nullptr) return kEventNotSet;
        const HRESULT hr = PwCaptureStart(capture_, event_);
        if (SUCCEEDED(hr)) started_ = true;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (!started_) return S_FALSE;
        started_ = false;
        return PwCaptureStop(capture_);
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (event == nullptr || event == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        event_ = event;  // PwCaptureStart keeps a duplicate of its own
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        if (service == nullptr) return E_POINTER;
        *service = nullptr;
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
        auto* created = new (std::nothrow) CaptureClient(this, capture_);
        if (created == nullptr) return E_OUTOFMEMORY;
        *service = static_cast<IAudioCaptureClient*>(created);
        return S_OK;
    }

private:
    ~AudioClient() { PwCaptureDestroy(capture_); }
    friend class RefCounted;

    PwCapture* capture_;
    HANDLE event_ = nullptr;
    bool initialized_ = false;
    bool started_ = false;
};

CaptureClient::CaptureClient(AudioClient* client, PwCapture* capture)
    : client_(client), capture_(capture) {
    client_->AddRef();
}

CaptureClient::~CaptureClient() {
    // A packet still held must not pin the ring for whoever comes next.
    PwCaptureRing(capture_).Release(0);
    client_->Release();
}

class ActivateOperation final : public IActivateAudioInterfaceAsyncOperation, RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) ||
            IsEqualIID(riid, IID_IActivateAudioInterfaceAsyncOperation)) {
            *object = static_cast<IActivateAudioInterfaceAsyncOperation*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(this); }

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult,
                                                IUnknown** activated) override {
        if (activateResult == nullptr || activated == nullptr) return E_POINTER;
        *activated = nullptr;
        if (!done_.load(std::memory_order_acquire)) return kIllegalCall;
        *activateResult = result_;
        if (client_ != nullptr) {
            client_->AddRef();
            *activated = client_;
        }
        return S_OK;
    }

    // Activation thread only, before the handler hears of it.
    void Complete(HRESULT result, IUnknown* client) {
        result_ = result;
        client_ = client;
        done_.store(true, std::memory_order_release);
    }

    CaptureRequest request;
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;

private:
    ~ActivateOperation() {
        if (client_ != nullptr) client_->Release();
        if (handler != nullptr) handler->Release();
    }
    friend class RefCounted;

    std::atomic<bool> done_{false};
    HRESULT result_ = E_PENDING;
    IUnknown* client_ = nullptr;
};

// The engine has already refused a --pid that names no process, on every
// platform; a pid given to exclude that names none excludes nothing.
HRESULT Activate(const CaptureRequest& request, IUnknown** activated) {
    *activated = nullptr;
    PwCapture* capture = nullptr;
    HRESULT hr = PwCaptureConnect(request, &capture);
    if (FAILED(hr)) return hr;
    auto* client = new (std::nothrow) AudioClient(capture);
    if (client == nullptr) {
        PwCaptureDestroy(capture);
        return E_OUTOFMEMORY;
    }
    *activated = static_cast<IAudioClient*>(client);
    return S_OK;
}

void* ActivationThread(void* parameter) {
    auto* operation = static_cast<ActivateOperation*>(parameter);
    IUnknown* client = nullptr;
    const HRESULT hr = Activate(operation->request, &client);
    operation->Complete(hr, client);
    IActivateAudioInterfaceCompletionHandler* handler = operation->handler;
    operation->handler = nullptr;
    handler->ActivateCompleted(operation);
    handler->Release();
    operation->Release();
    return nullptr;
}

}  // namespace

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid,
                                           PROPVARIANT* activationParams,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    if (operation == nullptr || handler == nullptr) return E_POINTER;
    *operation = nullptr;
    if (deviceInterfacePath == nullptr ||
        std::wcscmp(deviceInterfacePath, kProcessLoopbackPath) != 0)
        return E_INVALIDARG;
    if (!IsEqualIID(riid, IID_IAudioClient)) return E_NOINTERFACE;
    if (activationParams == nullptr || activationParams->vt != VT_BLOB ||
        activationParams->blob.cbSize != 12 || activationParams->blob.pBlobData == nullptr)
        return E_INVALIDARG;
    std::uint32_t fields[3];
    std::memcpy(fields, activationParams->blob.pBlobData, sizeof fields);
    if (fields[0] != 1 || fields[1] == 0 || fields[2] > 1) return E_INVALIDARG;

    auto* created = new (std::nothrow) ActivateOperation;
    if (created == nullptr) return E_OUTOFMEMORY;
    created->request.targetPid = fields[1];
    created->request.excludeTree = fields[2] == 1;
    handler->AddRef();
    created->handler = handler;
    created->AddRef();  // the activation thread's reference

    pthread_attr_t attributes;
    pthread_t thread;
    bool running = false;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        running = pthread_create(&thread, &attributes, ActivationThread, created) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!running) {
        created->Release();
        created->Release();
        return E_OUTOFMEMORY;
    }
    *operation = created;
    return S_OK;
}
