#include "player.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <new>

#include "child_process.h"
#include "windows_handles.h"

#include <initguid.h>  // after the headers: defines only the ids below

DEFINE_GUID(kClsidMMDeviceEnumerator, 0xbcde0395, 0xe52f, 0x467c, 0x8e, 0x3d, 0xc4, 0x57, 0x92,
            0x91, 0x69, 0x2e);
DEFINE_GUID(kIidIMMDeviceEnumerator, 0xa95664d2, 0x9614, 0x4f35, 0xa7, 0x46, 0xde, 0x8d, 0xb6,
            0x36, 0x17, 0xe6);
DEFINE_GUID(kIidIAudioClient, 0x1cb9ad4c, 0xdbfa, 0x4c32, 0xb1, 0x78, 0xc2, 0xf5, 0x68, 0xa7,
            0x03, 0xb2);
DEFINE_GUID(kIidISimpleAudioVolume, 0x87ce5498, 0x68d6, 0x44e5, 0x92, 0x15, 0x6d, 0xa4, 0x7e,
            0xf8, 0x83, 0xd8);
DEFINE_GUID(kIidIAudioRenderClient, 0xf294acfc, 0x3146, 0x4483, 0xa7, 0xbf, 0xad, 0xdc, 0xa7,
            0xc2, 0x60, 0xe2);

namespace selftest {

namespace {

constexpr double kAmplitude = 0.25;                  // -12 dBFS: room for two players
constexpr REFERENCE_TIME kBufferDuration = 1000000;  // 100 ms in 100 ns units
constexpr wchar_t kWindowClass[] = L"SondrelSelftestPlayer";

enum class SampleKind { Float32, Int16, Int32 };

// Mix formats are float in practice; integer ones are still honoured.
HRESULT KindOf(const WAVEFORMATEX& format, SampleKind& kind) {
    WORD tag = format.wFormatTag;
    if (tag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
        const GUID& sub = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat;
        // KSDATAFORMAT_SUBTYPE_* share all but their first field with the tag.
        static constexpr unsigned char kBase[8] = {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
        if (sub.Data2 != 0 || sub.Data3 != 0x10 || std::memcmp(sub.Data4, kBase, 8) != 0 ||
            sub.Data1 > 0xFFFF)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        tag = static_cast<WORD>(sub.Data1);
    }
    if (tag == WAVE_FORMAT_IEEE_FLOAT && format.wBitsPerSample == 32) kind = SampleKind::Float32;
    else if (tag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16) kind = SampleKind::Int16;
    else if (tag == WAVE_FORMAT_PCM && format.wBitsPerSample == 32) kind = SampleKind::Int32;
    else return AUDCLNT_E_UNSUPPORTED_FORMAT;
    return format.nChannels != 0 ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
}

class ToneWriter {
public:
    // The right tone goes to the second channel, the left one to all others;
    // a mono device gets their mix.
    ToneWriter(const Tones& tones, const WAVEFORMATEX& format, SampleKind kind)
        : step_{2 * std::numbers::pi * tones.left / format.nSamplesPerSec,
                2 * std::numbers::pi * tones.right / format.nSamplesPerSec},
          channels_(format.nChannels),
          kind_(kind) {}

    void Write(BYTE* data, UINT32 frames) {
        for (UINT32 f = 0; f < frames; ++f) {
            const double left = kAmplitude * std::sin(phase_[0]);
            const double right = kAmplitude * std::sin(phase_[1]);
            for (int t = 0; t < 2; ++t)
                phase_[t] = std::fmod(phase_[t] + step_[t], 2 * std::numbers::pi);
            for (WORD c = 0; c < channels_; ++c) {
                const double x = channels_ == 1 ? 0.5 * (left + right) : c == 1 ? right : left;
                switch (kind_) {
                case SampleKind::Float32: {
                    const float v = static_cast<float>(x);
                    std::memcpy(data, &v, sizeof v);
                    data += sizeof v;
                    break;
                }
                case SampleKind::Int16: {
                    const auto v = static_cast<std::int16_t>(std::lround(x * 32767));
                    std::memcpy(data, &v, sizeof v);
                    data += sizeof v;
                    break;
                }
                case SampleKind::Int32: {
                    const auto v = static_cast<std::int32_t>(std::llround(x * 2147483647.0));
                    std::memcpy(data, &v, sizeof v);
                    data += sizeof v;
                    break;
                }
                }
            }
        }
    }

private:
    double phase_[2] = {0, 0};
    double step_[2];
    WORD channels_;
    SampleKind kind_;
};

enum Signal { Stop = 0, Quiet = 1, Resume = 2, SampleReady = 3, SignalCount = 4 };

struct Player {
    OwnedHandle events[SignalCount];
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioRenderClient> render;
    ComPtr<ISimpleAudioVolume> session;
    float sessionVolume = 1;
    BOOL sessionMuted = FALSE;
    bool sessionSet = false;
    ChildProcess descendant;
    WAVEFORMATEX* format = nullptr;
    HWND window = nullptr;
    bool classRegistered = false;
    bool running = false;

    ~Player() {
        if (running) client->Stop();
        // The session's volume is the user's; it goes back as it was.
        if (sessionSet) {
            session->SetMasterVolume(sessionVolume, nullptr);
            session->SetMute(sessionMuted, nullptr);
        }
        if (format != nullptr) CoTaskMemFree(format);
        if (window != nullptr) DestroyWindow(window);
        if (classRegistered) UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    }
};

// The watcher owns its own duplicates of the events it signals, so it never
// touches a handle the player has closed.
struct InputEvents {
    HANDLE stop, quiet, resume;
};

DWORD WINAPI WatchInput(void* context) {
    const InputEvents events = *static_cast<InputEvents*>(context);
    delete static_cast<InputEvents*>(context);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        char byte = 0;
        DWORD read = 0;
        if (!ReadFile(input, &byte, 1, &read, nullptr) || read == 0 ||
            (byte != 's' && byte != 't')) {
            SetEvent(events.stop);
            break;
        }
        SetEvent(byte == 's' ? events.quiet : events.resume);
    }
    CloseHandle(events.stop);
    CloseHandle(events.quiet);
    CloseHandle(events.resume);
    return 0;
}

HRESULT StartWatcher(Player& p) {
    HANDLE copies[3] = {nullptr, nullptr, nullptr};
    HRESULT hr = S_OK;
    for (int i = 0; i < 3 && SUCCEEDED(hr); ++i) {
        if (!DuplicateHandle(GetCurrentProcess(), p.events[i].Get(), GetCurrentProcess(),
                             &copies[i], EVENT_MODIFY_STATE, FALSE, 0))
            hr = LastErrorAsFailure();
    }
    auto* events = SUCCEEDED(hr) ? new (std::nothrow) InputEvents{copies[Stop], copies[Quiet],
                                                                  copies[Resume]}
                                 : nullptr;
    if (SUCCEEDED(hr) && events == nullptr) hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) {
        // Blocked in a read while the player runs; process exit ends it.
        const HANDLE thread = CreateThread(nullptr, 0, WatchInput, events, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
            return S_OK;
        }
        hr = LastErrorAsFailure();
        delete events;
    }
    for (HANDLE copy : copies)
        if (copy != nullptr) CloseHandle(copy);
    return hr;
}

HRESULT MakeWindow(Player& p) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassW(&windowClass) == 0) return LastErrorAsFailure();
    p.classRegistered = true;
    // A real top-level window, never shown: the helper only asks who owns it.
    p.window = CreateWindowExW(0, kWindowClass, L"sondrel-selftest player", WS_OVERLAPPEDWINDOW,
                               CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, nullptr, nullptr,
                               windowClass.hInstance, nullptr);
    // Without a desktop (Wine with no display) only a message-only window can
    // be had; it has an owner all the same.
    if (p.window == nullptr)
        p.window = CreateWindowExW(0, kWindowClass, L"sondrel-selftest player", 0, 0, 0, 0, 0,
                                   HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
    return p.window != nullptr ? S_OK : LastErrorAsFailure();
}

HRESULT Fill(Player& p, ToneWriter& tone, UINT32 bufferFrames) {
    UINT32 padding = 0;
    HRESULT hr = p.client->GetCurrentPadding(&padding);
    if (FAILED(hr)) return hr;
    const UINT32 frames = bufferFrames - padding;
    if (frames == 0) return S_OK;
    BYTE* data = nullptr;
    hr = p.render->GetBuffer(frames, &data);
    if (FAILED(hr)) return hr;
    tone.Write(data, frames);
    return p.render->ReleaseBuffer(frames, 0);
}

// Its own session at 100 %, unmuted, so that the level is the played one.
void FullSessionVolume(Player& p) {
    if (FAILED(p.client->GetService(kIidISimpleAudioVolume, p.session.PutVoid())) ||
        FAILED(p.session->GetMasterVolume(&p.sessionVolume)) ||
        FAILED(p.session->GetMute(&p.sessionMuted)))
        return;
    p.sessionSet = true;
    p.session->SetMasterVolume(1.0f, nullptr);
    p.session->SetMute(FALSE, nullptr);
}

// The grandchild: a child of ours that starts the player of `hz` and waits.
HRESULT StartDescendant(Player& p, double hz) {
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    std::string line;
    HRESULT hr = p.descendant.Start(L"\"" + self + L"\" --relay " + std::to_wstring(hz), nullptr);
    if (SUCCEEDED(hr)) hr = ReadLine(p.descendant.Output(), p.descendant.Process(), 10000, line);
    return hr;
}

HRESULT Play(Player& p, const Tones& tones, bool ownWindow) {
    for (int i = 0; i < SignalCount; ++i) {
        // Stop stays set; the others are one-shot.
        p.events[i].Reset(CreateEventW(nullptr, i == Stop, FALSE, nullptr));
        if (!p.events[i]) return LastErrorAsFailure();
    }
    if (ownWindow) {
        const HRESULT hr = MakeWindow(p);
        if (FAILED(hr)) return hr;
    }
    HRESULT hr = CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                  kIidIMMDeviceEnumerator, p.enumerator.PutVoid());
    if (SUCCEEDED(hr)) hr = p.enumerator->GetDefaultAudioEndpoint(eRender, eConsole, p.device.Put());
    if (SUCCEEDED(hr)) hr = p.device->Activate(kIidIAudioClient, CLSCTX_ALL, nullptr, p.client.PutVoid());
    if (SUCCEEDED(hr)) hr = p.client->GetMixFormat(&p.format);
    if (FAILED(hr)) return hr;
    SampleKind kind{};
    hr = KindOf(*p.format, kind);
    if (SUCCEEDED(hr))
        hr = p.client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                  kBufferDuration, 0, p.format, nullptr);
    if (SUCCEEDED(hr)) hr = p.client->SetEventHandle(p.events[SampleReady].Get());
    UINT32 bufferFrames = 0;
    if (SUCCEEDED(hr)) hr = p.client->GetBufferSize(&bufferFrames);
    if (SUCCEEDED(hr)) hr = p.client->GetService(kIidIAudioRenderClient, p.render.PutVoid());
    if (FAILED(hr)) return hr;

    FullSessionVolume(p);
    ToneWriter tone(tones, *p.format, kind);
    hr = Fill(p, tone, bufferFrames);
    if (FAILED(hr)) return hr;
    hr = p.client->Start();
    if (FAILED(hr)) return hr;
    p.running = true;
    hr = StartWatcher(p);
    if (SUCCEEDED(hr) && tones.grandchild > 0) hr = StartDescendant(p, tones.grandchild);
    if (FAILED(hr)) return hr;

    std::printf("0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(p.window)));
    std::fflush(stdout);

    HANDLE waitList[SignalCount];
    for (int i = 0; i < SignalCount; ++i) waitList[i] = p.events[i].Get();
    for (;;) {
        // The window's messages are served on the same thread as the audio.
        const DWORD woken =
            MsgWaitForMultipleObjects(SignalCount, waitList, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 + Stop) return S_OK;
        if (woken == WAIT_OBJECT_0 + Quiet) {
            if (p.running) hr = p.client->Stop();
            p.running = false;
        } else if (woken == WAIT_OBJECT_0 + Resume) {
            if (!p.running) hr = p.client->Start();
            p.running = SUCCEEDED(hr);
        } else if (woken == WAIT_OBJECT_0 + SampleReady) {
            if (p.running) hr = Fill(p, tone, bufferFrames);
        } else if (woken == WAIT_OBJECT_0 + SignalCount) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        } else {
            return LastErrorAsFailure();
        }
        if (FAILED(hr)) return hr;
    }
}

}  // namespace

int RunPlayer(const Tones& tones, bool ownWindow) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        std::fprintf(stderr, "player: COM could not be initialised (0x%08lX)\n",
                     static_cast<unsigned long>(hr));
        return 1;
    }
    {
        Player player;
        hr = Play(player, tones, ownWindow);
    }
    CoUninitialize();
    if (FAILED(hr)) {
        std::fprintf(stderr, "player: the %g Hz tone could not be played (0x%08lX)\n", tones.left,
                     static_cast<unsigned long>(hr));
        return 1;
    }
    return 0;
}

}  // namespace selftest

namespace selftest {

int RunRelay(double hz) {
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    ChildProcess player;
    std::string line;
    HRESULT hr = player.Start(L"\"" + self + L"\" --play " + std::to_wstring(hz), nullptr);
    if (SUCCEEDED(hr)) hr = ReadLine(player.Output(), player.Process(), 10000, line);
    if (FAILED(hr)) return 1;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    char byte = 0;
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr);
    return 0;  // the player ends with us: End() closes its input
}

}  // namespace selftest
