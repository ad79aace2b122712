// The scripted audio platform linked into the test build of the program.
// SONDREL_SCENARIO (blank-separated words, all optional) says how it behaves:
//   activate=HR  initialize=HR  seteventhandle=HR  getservice=HR  start=HR
//   completion=now|late:MS|never
//   result=ok|code:HR|fail:HR|none|other   GetActivateResult: an audio client,
//       an activation result HR, the call failing, no outs written, or an
//       object that is no audio client
//   packets=480x10,480s,480n,z   frames per packet (s silent, n null data,
//       z announced but given with 0 frames; xN repeats)   repeat
//   pace=prequeue|fast|realtime  fail=getnext|getbuffer|release:K:HR
//   com=sta (main thread pre-set to a single-threaded apartment)
//   threadstart=fail (Linux: the next thread start fails)
//   stamp   (benchmarks: the first 8 bytes of each packet hold, as a
//       little-endian u64, the monotonic time in ns at which its event was
//       signalled: CLOCK_MONOTONIC on Linux, QueryPerformanceCounter on Windows)
// Frame n carries the samples n+1 and -(n+1), n wrapping at 2^24-1. Calls go
// to the file named by SONDREL_TRACE, ending with "exit live=N handles=M":
// objects still alive and program event handles still open at exit.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

namespace {

constexpr std::size_t kQueueLimit = 32;
constexpr std::uint32_t kLargestFilledPacket = 1u << 20;
constexpr std::uint32_t kPatternWrap = 16777215;  // keeps every value exact in a float

enum class Completion { Now, Late, Never };
enum class ResultMode { Ok, Code, Fail, None, Other };
enum class Pace { Prequeue, Fast, Realtime };

struct PacketPlan {
    std::uint32_t frames = 0;
    bool silent = false;
    bool nullData = false;
    bool zeroFromGetBuffer = false;
};

struct Scenario {
    HRESULT activate = S_OK;
    Completion completion = Completion::Now;
    unsigned lateMs = 0;
    ResultMode resultMode = ResultMode::Ok;
    HRESULT resultCode = S_OK;
    HRESULT initialize = S_OK, setEventHandle = S_OK, getService = S_OK, start = S_OK;
    std::vector<PacketPlan> packets;
    bool repeat = false;
    Pace pace = Pace::Fast;
    std::string failAt;  // getnext, getbuffer or release
    std::uint64_t failPacket = 0;
    HRESULT failCode = E_FAIL;
    bool singleThreadedApartment = false;
    bool threadStartFails = false;
    bool stamp = false;
};

HRESULT Code(const std::string& text) {
    return static_cast<HRESULT>(static_cast<std::uint32_t>(std::strtoull(text.c_str(), nullptr, 0)));
}

void AddPackets(const std::string& list, std::vector<PacketPlan>& packets) {
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        unsigned long count = 1;
        if (const auto times = item.find('x'); times != std::string::npos) {
            count = std::strtoul(item.c_str() + times + 1, nullptr, 10);
            item.resize(times);
        }
        PacketPlan plan;
        if (item == "z") {
            plan.frames = 480;
            plan.zeroFromGetBuffer = true;
        } else {
            plan.frames = static_cast<std::uint32_t>(std::strtoul(item.c_str(), nullptr, 10));
            plan.silent = item.back() == 's';
            plan.nullData = item.back() == 'n';
        }
        packets.insert(packets.end(), count, plan);
    }
}

Scenario Parse(const char* text) {
    Scenario s;
    std::stringstream words(text != nullptr ? text : "");
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        const std::string after = value.substr(value.find(':') + 1);
        if (key == "activate") s.activate = Code(value);
        else if (key == "initialize") s.initialize = Code(value);
        else if (key == "seteventhandle") s.setEventHandle = Code(value);
        else if (key == "getservice") s.getService = Code(value);
        else if (key == "start") s.start = Code(value);
        else if (key == "repeat") s.repeat = true;
        else if (key == "packets") AddPackets(value, s.packets);
        else if (key == "com") s.singleThreadedApartment = value == "sta";
        else if (key == "threadstart") s.threadStartFails = value == "fail";
        else if (key == "stamp") s.stamp = true;
        else if (key == "completion") {
            s.completion = value == "never" ? Completion::Never
                           : value == "now" ? Completion::Now : Completion::Late;
            s.lateMs = static_cast<unsigned>(std::strtoul(after.c_str(), nullptr, 10));
        } else if (key == "result") {
            const std::string mode = value.substr(0, value.find(':'));
            s.resultMode = mode == "code" ? ResultMode::Code : mode == "fail" ? ResultMode::Fail
                           : mode == "none" ? ResultMode::None : mode == "other" ? ResultMode::Other
                                                                  : ResultMode::Ok;
            s.resultCode = mode == "code" || mode == "fail" ? Code(after) : S_OK;
        } else if (key == "pace") {
            s.pace = value == "prequeue" ? Pace::Prequeue
                     : value == "realtime" ? Pace::Realtime : Pace::Fast;
        } else if (key == "fail") {
            s.failAt = value.substr(0, value.find(':'));
            s.failPacket = std::strtoull(after.c_str(), nullptr, 10);
            s.failCode = Code(after.substr(after.find(':') + 1));
        } else {
            std::fprintf(stderr, "scenario: cannot read '%s'\n", word.c_str());
            std::abort();
        }
    }
    return s;
}

const Scenario& TheScenario() {
    static const Scenario scenario = Parse(std::getenv("SONDREL_SCENARIO"));
    return scenario;
}

std::mutex traceMutex;
std::atomic<long> liveObjects{0};
std::atomic<HANDLE> eventGiven{nullptr};
std::mutex completionsMutex;
std::vector<std::thread> completions;

void Record(const char* format, ...) {
    const char* path = std::getenv("SONDREL_TRACE");
    std::lock_guard<std::mutex> lock(traceMutex);
    FILE* trace = path != nullptr ? std::fopen(path, "a") : nullptr;
    if (trace == nullptr) return;
    va_list values;
    va_start(values, format);
    std::vfprintf(trace, format, values);
    va_end(values);
    std::fputc('\n', trace);
    std::fclose(trace);
}

long OpenEventHandles() {
#ifdef _WIN32
    DWORD flags = 0;
    const HANDLE given = eventGiven.load();
    return given != nullptr && GetHandleInformation(given, &flags) ? 1 : 0;
#else
    return PosixOpenHandleCount();
#endif
}

// Before main: the apartment the program will find; at exit: what is left.
struct ProcessHooks {
    ProcessHooks() {
        if (TheScenario().singleThreadedApartment) CoInitializeEx(nullptr, 0x2);
    }
    ~ProcessHooks() {
        std::vector<std::thread> pending;
        {
            std::lock_guard<std::mutex> lock(completionsMutex);
            pending.swap(completions);
        }
        for (std::thread& thread : pending) thread.join();
        // The stop watcher closes its handle right after signalling.
        for (int i = 0; i < 100 && OpenEventHandles() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Record("exit live=%ld handles=%ld", liveObjects.load(), OpenEventHandles());
    }
} processHooks;

class RefCounted {
public:
    RefCounted() { ++liveObjects; }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() { --liveObjects; }

protected:
    ULONG Add() { return ++references_; }
    ULONG Drop() {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
};

struct Packet {
    std::uint64_t index = 0;
    PacketPlan plan;
    std::vector<float> samples;
};

// Latency benchmark: when the packet's event is signalled, in ns.
void StampSignalTime(Packet& packet) {
    std::uint64_t ns = 0;
#ifdef _WIN32
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    ns = ticks / perSecond * 1000000000u + ticks % perSecond * 1000000000u / perSecond;
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
#endif
    if (packet.samples.size() >= 2) std::memcpy(packet.samples.data(), &ns, sizeof ns);
}

// Audio client and capture client in one object: the engine behind both
// produces packets on a thread of its own and signals the client's event.
class Client final : public IAudioClient, public IAudioCaptureClient, public RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAudioClient))
            *object = static_cast<IAudioClient*>(this);
        else if (IsEqualIID(riid, IID_IAudioCaptureClient))
            *object = static_cast<IAudioCaptureClient*>(this);
        else
            return *object = nullptr, E_NOINTERFACE;
        Add();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* f, LPCGUID session) override {
        Record("Initialize %d 0x%08X %lld %lld %u %u %u %u %u %u %u %s", static_cast<int>(mode),
                    static_cast<unsigned>(flags), static_cast<long long>(duration),
                    static_cast<long long>(periodicity), f->wFormatTag, f->nChannels,
                    static_cast<unsigned>(f->nSamplesPerSec),
                    static_cast<unsigned>(f->nAvgBytesPerSec), f->nBlockAlign,
                    f->wBitsPerSample, f->cbSize, session == nullptr ? "null" : "guid");
        return scenario_.initialize;
    }
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

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        Record("SetEventHandle");
        event_ = event;
        eventGiven = event;
        return scenario_.setEventHandle;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        Record("GetService");
        *service = nullptr;
        if (FAILED(scenario_.getService)) return scenario_.getService;
        return QueryInterface(riid, service);
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        Record("Start");
        if (FAILED(scenario_.start)) return scenario_.start;
#ifndef _WIN32
        if (scenario_.threadStartFails) PosixFailThreadStarts(1);
#endif
        if (scenario_.pace == Pace::Prequeue) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const PacketPlan& plan : scenario_.packets) queue_.push_back(Make(plan));
            if (!queue_.empty()) SetEvent(event_);
        } else if (!scenario_.packets.empty()) {
            engine_ = std::thread([this] { Produce(); });
        }
        return scenario_.start;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        Record("Stop");
        Halt();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *frames = 0;
        if (queue_.empty()) return S_OK;
        if (Fails("getnext")) return scenario_.failCode;
        *frames = queue_.front().plan.frames;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device,
                                        UINT64* counter) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty() || outstanding_) return AUDCLNT_E_OUT_OF_ORDER;
        if (Fails("getbuffer")) return scenario_.failCode;
        Packet& packet = queue_.front();
        outstanding_ = true;
        *frames = packet.plan.zeroFromGetBuffer ? 0 : packet.plan.frames;
        *data = packet.plan.nullData ? nullptr : reinterpret_cast<BYTE*>(packet.samples.data());
        *flags = packet.plan.silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        *device = *counter = packet.index;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty() || !outstanding_) return AUDCLNT_E_OUT_OF_ORDER;
        const Packet& packet = queue_.front();
        HRESULT hr = Fails("release") ? scenario_.failCode : S_OK;
        if (frames != (packet.plan.zeroFromGetBuffer ? 0 : packet.plan.frames))
            hr = static_cast<HRESULT>(0x88890011L);  // AUDCLNT_E_INVALID_SIZE
        queue_.pop_front();
        outstanding_ = false;
        room_.notify_all();
        return hr;
    }

private:
    ~Client() override {
        Halt();
        Record("~Client");
    }

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
        Packet packet{produced_++, plan, {}};
        // A silent packet's data is never to be read; huge ones get none at all.
        const bool fill = !(plan.silent && plan.frames > kLargestFilledPacket);
        packet.samples.resize(fill ? std::size_t{plan.frames} * 2 : 2);
        for (std::uint32_t i = 0; fill && i < plan.frames; ++i) {
            const float n = static_cast<float>((nextFrame_ + i) % kPatternWrap + 1);
            packet.samples[2 * i] = n;
            packet.samples[2 * i + 1] = -n;
        }
        nextFrame_ += plan.frames;
        return packet;
    }

    void Produce() {
        for (std::size_t next = 0;; ++next) {
            if (next == scenario_.packets.size()) {
                if (!scenario_.repeat) return;
                next = 0;
            }
            const PacketPlan plan = scenario_.packets[next];
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [this] { return halting_ || queue_.size() < kQueueLimit; });
            if (halting_) return;
            queue_.push_back(Make(plan));
            if (scenario_.stamp) StampSignalTime(queue_.back());
            SetEvent(event_);
            const auto period = std::chrono::microseconds(plan.frames * 1000000ull / 48000);
            if (scenario_.pace == Pace::Realtime &&
                room_.wait_for(lock, period, [this] { return halting_; }))
                return;
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
};

class Operation final : public IActivateAudioInterfaceAsyncOperation, public RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) &&
            !IsEqualIID(riid, IID_IActivateAudioInterfaceAsyncOperation))
            return *object = nullptr, E_NOINTERFACE;
        *object = this;
        Add();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        Record("GetActivateResult");
        const Scenario& s = TheScenario();
        if (s.resultMode == ResultMode::Fail) return s.resultCode;
        if (s.resultMode == ResultMode::None) return S_OK;
        *result = s.resultCode;
        *activated = nullptr;
        if (s.resultMode == ResultMode::Other) {
            Add();  // the operation itself: an object that is no audio client
            *activated = this;
        } else if (SUCCEEDED(s.resultCode)) {
            *activated = static_cast<IAudioClient*>(new Client());
        }
        return S_OK;
    }

private:
    ~Operation() override { Record("~Operation"); }
};

}  // namespace

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    const Scenario& s = TheScenario();
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

    auto* created = new Operation();
    *operation = created;
    if (s.completion == Completion::Never) return s.activate;
    created->AddRef();
    handler->AddRef();
    std::thread completion([created, handler, &s] {
        if (s.completion == Completion::Late)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.lateMs));
        Record("ActivateCompleted");
        handler->ActivateCompleted(created);
        handler->Release();
        created->Release();
    });
    std::lock_guard<std::mutex> lock(completionsMutex);
    completions.push_back(std::move(completion));
    return s.activate;
}
