// EnumerateAudioSessions on Windows: the sessions of every active render
// endpoint, each with its state, process, display name and system-sounds
// mark, and its peak meter sampled across the measuring window.
// Runs on the caller's thread, inside its multithreaded COM apartment.
#include "audio_sessions.h"
#include "owning.h"

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include <algorithm>
#include <utility>

namespace {

// The published ids, spelled out so no import library has to carry them.
constexpr CLSID kMMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C,
                                       {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr IID kIMMDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35,
                                      {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr IID kIAudioSessionManager2 = {0x77AA99A0, 0x1BD6, 0x484F,
                                        {0x8B, 0xC7, 0x2C, 0x65, 0x4C, 0x9A, 0x9B, 0x6F}};
constexpr IID kIAudioSessionControl2 = {0xBFB7FF88, 0x7239, 0x4FC9,
                                        {0x8F, 0xA2, 0x07, 0xC9, 0x50, 0xBE, 0x9C, 0x6D}};
constexpr IID kIAudioMeterInformation = {0xC02216F6, 0x8C67, 0x4B5B,
                                         {0x9D, 0x00, 0xD0, 0x08, 0xE7, 0x3E, 0x00, 0x64}};
// Between two readings of every meter: the engine's period is about 10 ms.
constexpr DWORD kSampleEveryMs = 10;

// The session's peak meter, in the platform's published method order
// (mingw-w64's endpointvolume.h only names it).
struct SessionMeter : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float* peak) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 count, float* peaks) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) = 0;

protected:
    ~SessionMeter() = default;
};

struct Metered {
    AudioSessionInfo info;
    ComPtr<SessionMeter> meter;
};

HRESULT CollectEndpoint(IMMDevice* device, std::vector<Metered>* out) {
    ComPtr<IAudioSessionManager2> manager;
    HRESULT hr = device->Activate(kIAudioSessionManager2, CLSCTX_ALL, nullptr, manager.PutVoid());
    if (FAILED(hr)) return hr;
    ComPtr<IAudioSessionEnumerator> sessions;
    hr = manager->GetSessionEnumerator(sessions.Put());
    if (FAILED(hr)) return hr;
    int count = 0;
    hr = sessions->GetCount(&count);
    if (FAILED(hr)) return hr;
    for (int i = 0; i < count; ++i) {
        ComPtr<IAudioSessionControl> control;
        ComPtr<IAudioSessionControl2> control2;
        AudioSessionState state = AudioSessionStateExpired;
        // A session that went away meanwhile is simply not listed.
        if (FAILED(sessions->GetSession(i, control.Put())) ||
            FAILED(control->QueryInterface(kIAudioSessionControl2, control2.PutVoid())) ||
            FAILED(control->GetState(&state)) || state == AudioSessionStateExpired)
            continue;
        Metered session;
        // A session of several processes answers a success code other than S_OK.
        if (control2->GetProcessId(&session.info.processId) != S_OK) session.info.processId = 0;
        session.info.systemSounds = control2->IsSystemSoundsSession() == S_OK;
        session.info.active = state == AudioSessionStateActive;
        LPWSTR name = nullptr;
        if (SUCCEEDED(control->GetDisplayName(&name)) && name != nullptr) session.info.displayName = name;
        CoTaskMemFree(name);
        // No meter (a failed query leaves it null): the peak stays 0.
        control->QueryInterface(kIAudioMeterInformation, session.meter.PutVoid());
        out->push_back(std::move(session));
    }
    return S_OK;
}

}  // namespace

HRESULT EnumerateAudioSessions(DWORD measureMs, std::vector<AudioSessionInfo>* sessions) {
    sessions->clear();
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = CoCreateInstance(kMMDeviceEnumerator, nullptr, CLSCTX_ALL, kIMMDeviceEnumerator,
                                  enumerator.PutVoid());
    if (FAILED(hr)) return hr;
    ComPtr<IMMDeviceCollection> devices;
    hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, devices.Put());
    if (FAILED(hr)) return hr;
    UINT count = 0;
    hr = devices->GetCount(&count);
    if (FAILED(hr)) return hr;
    std::vector<Metered> metered;
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> device;
        if (FAILED(devices->Item(i, device.Put()))) continue;  // unplugged meanwhile
        hr = CollectEndpoint(device.operator->(), &metered);
        if (hr == AUDCLNT_E_DEVICE_INVALIDATED) continue;
        if (FAILED(hr)) return hr;
    }
    // Every meter is read at least once, then every period until the window ends.
    const ULONGLONG end = GetTickCount64() + measureMs;
    for (;;) {
        for (Metered& session : metered) {
            float peak = 0.0f;
            if (session.meter && SUCCEEDED(session.meter->GetPeakValue(&peak)))
                session.info.peak = std::max(session.info.peak, peak);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) break;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kSampleEveryMs, end - now)));
    }
    for (Metered& session : metered) sessions->push_back(std::move(session.info));
    return S_OK;
}
