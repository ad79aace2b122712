// The audio client; the engine behind it produces packets on a thread of its
// own and signals the client's event. The capture client is an object of its
// own over the same engine. Frame n carries the samples n+1 and -(n+1), n
// wrapping at 2^24-1; a silent packet's data holds them too, never to be
// read. The engine thread runs Produce; the main thread everything else.
#include "scripted.h"

#ifndef _WIN32
#include <posix_test_hooks.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr std::size_t kQueueLimit = 32;
constexpr std::uint32_t kPatternWrap = 16777215;  // keeps every value exact in a float

struct Packet {
    std::uint64_t index = 0;
    PacketPlan plan;
    std::vector<float> samples;
};

// Latency benchmark: when the packet's event is signalled, in ns of the
// monotonic clock (CLOCK_MONOTONIC; on Windows the performance counter, which
// the runtime's steady clock reads).
void StampSignalTime(Packet& packet) {
    const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
    if (packet.samples.size() >= 2) std::memcpy(packet.samples.data(), &ns, sizeof ns);
}

class Client final : public Object<IAudioClient> {
public:
    Client() : Object("IAudioClient", IID_IAudioClient) {}

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* f, LPCGUID session) override {
        SettleCompletion();
        Record("Initialize %d 0x%08X %lld %lld %u %u %u %u %u %u %u %s", static_cast<int>(mode),
               static_cast<unsigned>(flags), static_cast<long long>(duration),
               static_cast<long long>(periodicity), f->wFormatTag, f->nChannels,
               static_cast<unsigned>(f->nSamplesPerSec), static_cast<unsigned>(f->nAvgBytesPerSec),
               f->nBlockAlign, f->wBitsPerSample, f->cbSize, session == nullptr ? "null" : "guid");
        return scenario_.initialize;
    }
    // Not called by the program.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        event_ = event;
        eventGiven = event;
        return scenario_.setEventHandle;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override;
    HRESULT STDMETHODCALLTYPE Start() override {
        Record("Start");
        if (FAILED(scenario_.start)) return scenario_.start;
#ifndef _WIN32
        if (scenario_.threadStartFails) PosixFailThreadStarts(1);
#endif
        if (scenario_.pace == Pace::Prequeue) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const PacketPlan& plan : scenario_.packets) Queue(Make(plan));
            if (!queue_.empty()) SetEvent(event_);
        } else if (!scenario_.packets.empty()) {
            engine_ = std::thread([this] { Produce(); });
        }
        return scenario_.start;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Record("Stop%s buffer=%s", EventState(), outstanding_ ? "held" : "free");
        }
        Halt();
        std::lock_guard<std::mutex> lock(mutex_);
        if (scenario_.flushFrames != 0) Queue(Make(PacketPlan{scenario_.flushFrames}));
        return S_OK;
    }

    HRESULT NextPacketSize(UINT32* frames) {
        std::lock_guard<std::mutex> lock(mutex_);
        *frames = 0;
        if (queue_.empty()) return S_OK;
        if (Fails("getnext")) return scenario_.failCode;
        *frames = queue_.front().plan.frames;
        return S_OK;
    }
    HRESULT Buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device, UINT64* counter) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty() || outstanding_) return AUDCLNT_E_OUT_OF_ORDER;
        if (Fails("getbuffer")) return scenario_.failCode;
        Packet& packet = queue_.front();
        outstanding_ = true;
        *frames = packet.plan.zeroFromGetBuffer ? 0 : packet.plan.frames;
        *data = packet.plan.nullData ? nullptr : reinterpret_cast<BYTE*>(packet.samples.data());
        *flags = (packet.plan.silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0) |
                 (packet.plan.discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
        *device = *counter = packet.index;
        return S_OK;
    }
    HRESULT ReturnBuffer(UINT32 frames) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty() || !outstanding_) return AUDCLNT_E_OUT_OF_ORDER;
        const Packet& packet = queue_.front();
        HRESULT hr = Fails("release") ? scenario_.failCode : S_OK;
        if (frames != (packet.plan.zeroFromGetBuffer ? 0 : packet.plan.frames))
            hr = static_cast<HRESULT>(0x88890011L);  // AUDCLNT_E_INVALID_SIZE
        queuedFrames_ -= packet.plan.frames;
        queue_.pop_front();
        outstanding_ = false;
        room_.notify_all();
        return hr;
    }

private:
    ~Client() override { Halt(); }

    void Halt() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            halting_ = true;
        }
        room_.notify_all();
        if (engine_.joinable()) engine_.join();
    }

    bool Fails(const char* call) const {
        return scenario_.failAt == call && queue_.front().index == scenario_.failPacket;
    }

    Packet Make(const PacketPlan& plan) {
        Packet packet{produced_++, plan, std::vector<float>(std::size_t{plan.frames} * 2)};
        for (std::uint32_t i = 0; i < plan.frames; ++i) {
            const float n = static_cast<float>((nextFrame_ + i) % kPatternWrap + 1);
            packet.samples[2 * i] = n;
            packet.samples[2 * i + 1] = -n;
        }
        nextFrame_ += plan.frames;
        return packet;
    }

    void Queue(Packet packet) {
        queuedFrames_ += packet.plan.frames;
        queue_.push_back(std::move(packet));
    }

    // Packet after packet, the scenario's in order (again with repeat). With
    // buffer=MS on the wall clock's schedule whether or not the program keeps
    // up; otherwise waiting for room, at the real pace or as fast as taken.
    void Produce() {
        const auto begin = std::chrono::steady_clock::now();
        const std::uint64_t capacity = std::uint64_t{scenario_.bufferMs} * 48;
        const bool paced = capacity != 0 || scenario_.pace == Pace::Realtime;
        std::uint64_t due = 0;
        bool lost = false;
        for (std::size_t next = 0; next < scenario_.packets.size() || scenario_.repeat;) {
            if (next == scenario_.packets.size()) next = 0;
            const PacketPlan& plan = scenario_.packets[next++];
            std::unique_lock<std::mutex> lock(mutex_);
            if (capacity == 0)
                room_.wait(lock, [this] { return halting_ || queue_.size() < kQueueLimit; });
            if (halting_) return;
            if (capacity != 0 && queuedFrames_ + plan.frames > capacity) {
                nextFrame_ += plan.frames;
                ++produced_;
                lost = true;
            } else {
                Queue(Make(plan));
                queue_.back().plan.discontinuity |= std::exchange(lost, false);
                if (scenario_.stamp) StampSignalTime(queue_.back());
                SetEvent(event_);
            }
            due += plan.frames;
            const auto at = begin + std::chrono::microseconds(due * 1000000 / 48000);
            if (paced && room_.wait_until(lock, at, [this] { return halting_; })) return;
        }
    }

    const Scenario& scenario_ = TheScenario();
    HANDLE event_ = nullptr;
    std::thread engine_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<Packet> queue_;
    bool outstanding_ = false;
    bool halting_ = false;
    std::uint64_t produced_ = 0;
    std::uint64_t nextFrame_ = 0;
    std::uint64_t queuedFrames_ = 0;
};

class CaptureClient final : public Object<IAudioCaptureClient> {
public:
    explicit CaptureClient(Client* client)
        : Object("IAudioCaptureClient", IID_IAudioCaptureClient), client_(client) {
        client_->Hold();
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return client_->NextPacketSize(frames);
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device,
                                        UINT64* counter) override {
        return client_->Buffer(data, frames, flags, device, counter);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        return client_->ReturnBuffer(frames);
    }

private:
    ~CaptureClient() override { client_->Drop(); }
    Client* client_;
};

HRESULT STDMETHODCALLTYPE Client::GetService(REFIID riid, void** service) {
    *service = nullptr;
#ifndef _WIN32
    if (scenario_.threadStartFailsEarly) PosixFailThreadStarts(1);
#endif
    if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
    *service = static_cast<IAudioCaptureClient*>(new CaptureClient(this));
    return S_OK;
}

}  // namespace

IAudioClient* NewAudioClient() { return new Client(); }
