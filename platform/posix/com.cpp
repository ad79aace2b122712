// COM apartment bookkeeping, the free-threaded marshaler, interface ids.
#include <win32_posix.h>

#include <atomic>
#include <new>

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IMarshal = {0x00000003, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IAgileObject = {0x94EA2B94, 0xE9CC, 0x49E0,
                              {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
const IID IID_IAudioClient = {0x1CB9AD4C, 0xDBFA, 0x4C32,
                              {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const IID IID_IAudioCaptureClient = {0xC8ADBD64, 0xE71E, 0x48A0,
                                     {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
const IID IID_IActivateAudioInterfaceCompletionHandler = {
    0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
const IID IID_IActivateAudioInterfaceAsyncOperation = {
    0x72A22D78, 0xCDE4, 0x431D, {0xB8, 0xCC, 0x84, 0x3A, 0x71, 0x19, 0x9B, 0x6D}};

namespace {

constexpr HRESULT kChangedMode = RPC_E_CHANGED_MODE;

thread_local DWORD apartmentModel = 0;
thread_local unsigned apartmentEntries = 0;

// Nothing crosses a process boundary here, so every marshaling call has
// nothing to do; the object exists so the handler's IMarshal view has a target.
class FreeThreadedMarshaler final : public IMarshal {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMarshal)) {
            *object = static_cast<IMarshal*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD,
                                                CLSID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD,
                                                DWORD* size) override {
        if (size != nullptr) *size = 0;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*,
                                               DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void** ppv) override {
        if (ppv != nullptr) *ppv = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

private:
    virtual ~FreeThreadedMarshaler() = default;
    std::atomic<ULONG> references_{1};
};

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD coInit) {
    if (reserved != nullptr) return E_INVALIDARG;
    if (apartmentEntries > 0 && apartmentModel != coInit) return kChangedMode;
    const bool first = apartmentEntries == 0;
    apartmentModel = coInit;
    ++apartmentEntries;
    return first ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (apartmentEntries > 0) --apartmentEntries;
}

HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* marshal) {
    if (marshal == nullptr) return E_POINTER;
    *marshal = nullptr;
    if (outer != nullptr) return E_NOTIMPL;
    auto* created = new (std::nothrow) FreeThreadedMarshaler();
    if (created == nullptr) return E_OUTOFMEMORY;
    *marshal = created;
    return S_OK;
}
