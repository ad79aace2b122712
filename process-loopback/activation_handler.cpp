#include "activation_handler.h"

#include "signal_only.h"

#include <atomic>
#include <new>

namespace {

// Agile: the platform may call it from any thread, so IMarshal is answered
// by the free-threaded marshaler and IAgileObject by the same view.
class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler,
                                public IMarshal {
public:
    HANDLE completionEvent = nullptr;  // our own duplicate, closed with us
    HRESULT activationResult = E_PENDING;
    IAudioClient* audioClient = nullptr;

    ActivationHandler() {
        IUnknown* freeThreaded = nullptr;
        if (SUCCEEDED(CoCreateFreeThreadedMarshaler(nullptr, &freeThreaded)) &&
            freeThreaded != nullptr) {
            void* marshal = nullptr;
            if (SUCCEEDED(freeThreaded->QueryInterface(IID_IMarshal, &marshal)))
                marshaler_ = static_cast<IMarshal*>(marshal);
            freeThreaded->Release();
        }
    }

    ActivationHandler(const ActivationHandler&) = delete;
    ActivationHandler& operator=(const ActivationHandler&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) ||
            IsEqualIID(riid, IID_IActivateAudioInterfaceCompletionHandler)) {
            *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        } else if (IsEqualIID(riid, IID_IAgileObject) || IsEqualIID(riid, IID_IMarshal)) {
            *object = static_cast<IMarshal*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return references_.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override {
        HRESULT activateResult = E_UNEXPECTED;
        IUnknown* activated = nullptr;
        HRESULT hr = operation != nullptr ? operation->GetActivateResult(&activateResult, &activated)
                                          : E_POINTER;
        if (SUCCEEDED(hr) && SUCCEEDED(activateResult)) {
            if (audioClient != nullptr) {
                audioClient->Release();
                audioClient = nullptr;
            }
            void* client = nullptr;
            hr = activated != nullptr ? activated->QueryInterface(IID_IAudioClient, &client)
                                      : E_NOINTERFACE;
            audioClient = SUCCEEDED(hr) ? static_cast<IAudioClient*>(client) : nullptr;
        }
        activationResult = FAILED(hr) ? hr : activateResult;
        SetEvent(completionEvent);
        if (activated != nullptr) activated->Release();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* pv, DWORD destContext,
                                                void* pvDestContext, DWORD flags,
                                                CLSID* cid) override {
        return marshaler_ ? marshaler_->GetUnmarshalClass(riid, pv, destContext, pvDestContext,
                                                          flags, cid)
                          : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* pv, DWORD destContext,
                                                void* pvDestContext, DWORD flags,
                                                DWORD* size) override {
        return marshaler_ ? marshaler_->GetMarshalSizeMax(riid, pv, destContext, pvDestContext,
                                                          flags, size)
                          : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* pv,
                                               DWORD destContext, void* pvDestContext,
                                               DWORD flags) override {
        return marshaler_ ? marshaler_->MarshalInterface(stream, riid, pv, destContext,
                                                         pvDestContext, flags)
                          : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                                 void** ppv) override {
        return marshaler_ ? marshaler_->UnmarshalInterface(stream, riid, ppv) : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override {
        return marshaler_ ? marshaler_->ReleaseMarshalData(stream) : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override {
        return marshaler_ ? marshaler_->DisconnectObject(reserved) : E_OUTOFMEMORY;
    }

private:
    virtual ~ActivationHandler() {
        if (audioClient != nullptr) audioClient->Release();
        if (marshaler_ != nullptr) marshaler_->Release();
        if (completionEvent != nullptr) CloseHandle(completionEvent);
    }

    std::atomic<ULONG> references_{1};
    IMarshal* marshaler_ = nullptr;
};

}  // namespace

HRESULT CreateActivationHandler(HANDLE completionEvent,
                                IActivateAudioInterfaceCompletionHandler** handler) {
    *handler = nullptr;
    auto* created = new (std::nothrow) ActivationHandler();
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = DuplicateSignalOnly(completionEvent, &created->completionEvent);
    if (FAILED(hr)) {
        created->Release();
        return hr;
    }
    *handler = created;
    return S_OK;
}

HRESULT GetActivationOutcome(IActivateAudioInterfaceCompletionHandler* handler,
                             IAudioClient** audioClient) {
    auto* self = static_cast<ActivationHandler*>(handler);
    *audioClient = nullptr;
    if (SUCCEEDED(self->activationResult) && self->audioClient != nullptr) {
        self->audioClient->AddRef();
        *audioClient = self->audioClient;
    }
    return self->activationResult;
}
