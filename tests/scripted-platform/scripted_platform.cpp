#include "scripted_platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace scripted {
namespace {

constexpr std::size_t kQueueLimit = 32;
constexpr std::uint32_t kLargestFilledPacket = 1u << 20;
constexpr std::uint32_t kPatternWrap = 16777215;  // keeps every value exact in a float

struct State {
    std::mutex mutex;
    bool loaded = false;
    bool fromEnvironment = false;  // a program run: nobody joins completions
    Scenario scenario;
    std::vector<std::string> calls;
    std::string tracePath;
    ActivationRecord activation;
    InitializeRecord initialize;
    HANDLE eventGiven = nullptr;
    std::vector<std::thread> completions;
    std::atomic<long> live{0};
    std::atomic<std::uint32_t> released{0};
};

// Never destroyed: completion threads may still run while the process exits.
State& Global() {
    static State* state = new State;
    return *state;
}

HRESULT ParseCode(const std::string& text, bool& ok) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    ok = !text.empty() && end != nullptr && *end == '\0' && value <= 0xFFFFFFFFull;
    return static_cast<HRESULT>(static_cast<std::uint32_t>(value));
}

bool ParsePackets(const std::string& text, std::vector<PacketSpec>& packets) {
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        if (item.empty()) return false;
        std::uint32_t count = 1;
        const auto times = item.find('x');
        if (times != std::string::npos) {
            count = static_cast<std::uint32_t>(std::strtoul(item.c_str() + times + 1, nullptr, 10));
            item.resize(times);
            if (count == 0) return false;
        }
        PacketSpec packet;
        if (item == "z") {
            packet.frames = 480;
            packet.zeroFromGetBuffer = true;
        } else {
            char* end = nullptr;
            packet.frames = static_cast<std::uint32_t>(std::strtoul(item.c_str(), &end, 0));
            if (end == item.c_str()) return false;
            const std::string suffix(end);
            if (suffix == "s") packet.silent = true;
            else if (suffix == "n") packet.nullData = true;
            else if (!suffix.empty()) return false;
        }
        for (std::uint32_t i = 0; i < count; ++i) packets.push_back(packet);
    }
    return true;
}

void Record(const std::string& call) {
    State& s = Global();
    std::string path;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.calls.push_back(call);
        path = s.tracePath;
    }
    if (path.empty()) return;
    if (FILE* trace = std::fopen(path.c_str(), "a")) {
        std::fprintf(trace, "%s\n", call.c_str());
        std::fclose(trace);
    }
}

// First use in a program run by the tests: read the scenario it was given.
Scenario CurrentScenario() {
    State& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.loaded) {
        s.loaded = true;
        s.fromEnvironment = true;
        if (const char* trace = std::getenv("SONDREL_TRACE")) s.tracePath = trace;
        std::string error;
        const char* text = std::getenv("SONDREL_SCENARIO");
        if (text != nullptr && !ParseScenario(text, s.scenario, error)) {
            std::fprintf(stderr, "scenario: %s\n", error.c_str());
            std::abort();
        }
    }
    return s.scenario;
}

template <typename Interface>
class Object : public Interface {
public:
    Object(const IID& iid, const char* name) : iid_(iid), name_(name) { Global().live.fetch_add(1); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            Record(std::string("~") + name_);
            delete this;
            Global().live.fetch_sub(1);
        }
        return left;
    }

protected:
    virtual ~Object() = default;

private:
    std::atomic<ULONG> references_{1};
    const IID& iid_;
    const char* name_;
};

// Answers nothing but IUnknown: an activated object that is no audio client.
class Stranger final : public Object<IUnknown> {
public:
    Stranger() : Object(IID_IUnknown, "Stranger") {}
};

struct Packet {
    std::uint64_t index = 0;
    PacketSpec spec;
    std::vector<float> samples;
};

// The audio engine: produces packets on its own thread and signals the
// client's event, as the platform does.
class Engine {
public:
    explicit Engine(const Scenario& scenario) : scenario_(scenario) {}
    ~Engine() { Halt(); }

    void SetEvent(HANDLE event) { event_ = event; }

    void Run() {
        if (scenario_.packets.empty()) return;
        if (scenario_.pace == Pace::Prequeue) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const PacketSpec& spec : scenario_.packets) queue_.push_back(Make(spec));
            ::SetEvent(event_);
            return;
        }
        thread_ = std::thread([this] { Produce(); });
    }

    void Halt() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            halting_ = true;
        }
        room_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    HRESULT NextPacketSize(UINT32* frames) {
        std::lock_guard<std::mutex> lock(mutex_);
        *frames = 0;
        if (queue_.empty()) return S_OK;
        if (Fails(FailAt::GetNextPacketSize, queue_.front())) return scenario_.failCode;
        *frames = queue_.front().spec.frames;
        return S_OK;
    }

    HRESULT Buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device, UINT64* counter) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty() || outstanding_) return AUDCLNT_E_OUT_OF_ORDER;
        Packet& packet = queue_.front();
        if (Fails(FailAt::GetBuffer, packet)) return scenario_.failCode;
        outstanding_ = true;
        *frames = packet.spec.zeroFromGetBuffer ? 0 : packet.spec.frames;
        *data = packet.spec.nullData ? nullptr : reinterpret_cast<BYTE*>(packet.samples.data());
        *flags = packet.spec.silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        *device = packet.index;
        *counter = packet.index;
        return S_OK;
    }

    HRESULT Release(UINT32 frames) {
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty() || !outstanding_) return AUDCLNT_E_OUT_OF_ORDER;
            const Packet& packet = queue_.front();
            const UINT32 given = packet.spec.zeroFromGetBuffer ? 0 : packet.spec.frames;
            if (frames != given) hr = static_cast<HRESULT>(0x88890011L);  // invalid size
            else if (Fails(FailAt::ReleaseBuffer, packet)) hr = scenario_.failCode;
            queue_.pop_front();
            outstanding_ = false;
        }
        room_.notify_all();
        if (SUCCEEDED(hr)) Global().released.fetch_add(1);
        return hr;
    }

private:
    bool Fails(FailAt where, const Packet& packet) const {
        return scenario_.failAt == where && packet.index == scenario_.failPacket;
    }

    Packet Make(const PacketSpec& spec) {
        Packet packet;
        packet.index = produced_++;
        packet.spec = spec;
        // A silent packet's data is never to be read; huge ones get none at all.
        if (spec.silent && spec.frames > kLargestFilledPacket) {
            nextFrame_ += spec.frames;
            packet.samples.resize(2);
            return packet;
        }
        packet.samples.resize(static_cast<std::size_t>(spec.frames) * 2);
        for (std::uint32_t i = 0; i < spec.frames; ++i) {
            const float n = static_cast<float>(nextFrame_ % kPatternWrap + 1);
            packet.samples[2 * i] = n;
            packet.samples[2 * i + 1] = -n;
            ++nextFrame_;
        }
        return packet;
    }

    void Produce() {
        std::size_t next = 0;
        for (;;) {
            if (next == scenario_.packets.size()) {
                if (!scenario_.repeat) return;
                next = 0;
            }
            const PacketSpec spec = scenario_.packets[next++];
            {
                std::unique_lock<std::mutex> lock(mutex_);
                room_.wait(lock, [this] { return halting_ || queue_.size() < kQueueLimit; });
                if (halting_) return;
                queue_.push_back(Make(spec));
            }
            ::SetEvent(event_);
            if (scenario_.pace == Pace::Realtime) {
                std::unique_lock<std::mutex> lock(mutex_);
                const auto period = std::chrono::microseconds(spec.frames * 1000000ull / 48000);
                if (room_.wait_for(lock, period, [this] { return halting_; })) return;
            }
        }
    }

    const Scenario scenario_;
    HANDLE event_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<Packet> queue_;
    bool outstanding_ = false;
    bool halting_ = false;
    std::uint64_t produced_ = 0;
    std::uint64_t nextFrame_ = 0;
};

class CaptureClient final : public Object<IAudioCaptureClient> {
public:
    explicit CaptureClient(std::shared_ptr<Engine> engine)
        : Object(IID_IAudioCaptureClient, "CaptureClient"), engine_(std::move(engine)) {}

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device,
                                        UINT64* counter) override {
        return engine_->Buffer(data, frames, flags, device, counter);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        return engine_->Release(frames);
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return engine_->NextPacketSize(frames);
    }

private:
    std::shared_ptr<Engine> engine_;
};

class AudioClient final : public Object<IAudioClient> {
public:
    explicit AudioClient(const Scenario& scenario)
        : Object(IID_IAudioClient, "AudioClient"), scenario_(scenario),
          engine_(std::make_shared<Engine>(scenario)) {}

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format,
                                         LPCGUID sessionGuid) override {
        Record("Initialize");
        {
            State& s = Global();
            std::lock_guard<std::mutex> lock(s.mutex);
            s.initialize.shareMode = static_cast<int>(shareMode);
            s.initialize.flags = flags;
            s.initialize.duration = duration;
            s.initialize.periodicity = periodicity;
            if (format != nullptr) s.initialize.format = *format;
            s.initialize.sessionGuidNull = sessionGuid == nullptr;
        }
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
    HRESULT STDMETHODCALLTYPE Start() override {
        Record("Start");
        if (FAILED(scenario_.start)) return scenario_.start;
        engine_->Run();
        return scenario_.start;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        Record("Stop");
        engine_->Halt();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        Record("SetEventHandle");
        {
            State& s = Global();
            std::lock_guard<std::mutex> lock(s.mutex);
            s.eventGiven = event;
        }
        if (FAILED(scenario_.setEventHandle)) return scenario_.setEventHandle;
        engine_->SetEvent(event);
        return scenario_.setEventHandle;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        Record("GetService");
        *service = nullptr;
        if (FAILED(scenario_.getService)) return scenario_.getService;
        if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
        *service = static_cast<IAudioCaptureClient*>(new CaptureClient(engine_));
        return scenario_.getService;
    }

private:
    ~AudioClient() override { engine_->Halt(); }

    const Scenario scenario_;
    std::shared_ptr<Engine> engine_;
};

class Operation final : public Object<IActivateAudioInterfaceAsyncOperation> {
public:
    explicit Operation(const Scenario& scenario)
        : Object(IID_IActivateAudioInterfaceAsyncOperation, "Operation"), scenario_(scenario) {}

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        Record("GetActivateResult");
        switch (scenario_.resultMode) {
        case ResultMode::Fail: return scenario_.resultCode;
        case ResultMode::None: return S_OK;
        case ResultMode::Other:
            *result = S_OK;
            *activated = new Stranger();
            return S_OK;
        case ResultMode::Ok:
        case ResultMode::Code:
            *result = scenario_.resultCode;
            *activated = SUCCEEDED(scenario_.resultCode)
                             ? static_cast<IAudioClient*>(new AudioClient(scenario_))
                             : nullptr;
            return S_OK;
        }
        return E_UNEXPECTED;
    }

private:
    const Scenario scenario_;
};

}  // namespace

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error) {
    scenario = Scenario{};
    std::string spaced = text;
    for (char& c : spaced)
        if (c == ';') c = ' ';
    std::stringstream words(spaced);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        bool ok = true;
        if (key == "activate") scenario.activate = ParseCode(value, ok);
        else if (key == "initialize") scenario.initialize = ParseCode(value, ok);
        else if (key == "seteventhandle") scenario.setEventHandle = ParseCode(value, ok);
        else if (key == "getservice") scenario.getService = ParseCode(value, ok);
        else if (key == "start") scenario.start = ParseCode(value, ok);
        else if (key == "repeat") scenario.repeat = true;
        else if (key == "packets") ok = ParsePackets(value, scenario.packets);
        else if (key == "completion") {
            if (value == "now") scenario.completion = Completion::Now;
            else if (value == "never") scenario.completion = Completion::Never;
            else if (value.rfind("late:", 0) == 0) {
                scenario.completion = Completion::Late;
                scenario.lateMs = static_cast<std::uint32_t>(std::strtoul(value.c_str() + 5, nullptr, 10));
            } else ok = false;
        } else if (key == "result") {
            if (value == "ok") scenario.resultMode = ResultMode::Ok;
            else if (value == "none") scenario.resultMode = ResultMode::None;
            else if (value == "other") scenario.resultMode = ResultMode::Other;
            else if (value.rfind("code:", 0) == 0) {
                scenario.resultMode = ResultMode::Code;
                scenario.resultCode = ParseCode(value.substr(5), ok);
            } else if (value.rfind("fail:", 0) == 0) {
                scenario.resultMode = ResultMode::Fail;
                scenario.resultCode = ParseCode(value.substr(5), ok);
            } else ok = false;
        } else if (key == "pace") {
            if (value == "prequeue") scenario.pace = Pace::Prequeue;
            else if (value == "fast") scenario.pace = Pace::Fast;
            else if (value == "realtime") scenario.pace = Pace::Realtime;
            else ok = false;
        } else if (key == "fail") {
            const auto first = value.find(':');
            const auto second = value.find(':', first == std::string::npos ? 0 : first + 1);
            if (first == std::string::npos || second == std::string::npos) {
                ok = false;
            } else {
                const std::string where = value.substr(0, first);
                if (where == "getnext") scenario.failAt = FailAt::GetNextPacketSize;
                else if (where == "getbuffer") scenario.failAt = FailAt::GetBuffer;
                else if (where == "release") scenario.failAt = FailAt::ReleaseBuffer;
                else ok = false;
                scenario.failPacket = static_cast<std::uint32_t>(
                    std::strtoul(value.substr(first + 1, second - first - 1).c_str(), nullptr, 10));
                scenario.failCode = ParseCode(value.substr(second + 1), ok);
            }
        } else {
            ok = false;
        }
        if (!ok) {
            error = "cannot read '" + word + "'";
            return false;
        }
    }
    return true;
}

void SetScenario(const Scenario& scenario) {
    State& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.loaded = true;
    s.fromEnvironment = false;
    s.scenario = scenario;
    s.calls.clear();
    s.activation = ActivationRecord{};
    s.initialize = InitializeRecord{};
    s.eventGiven = nullptr;
    s.released = 0;
}

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(Global().mutex);
    return Global().calls;
}

ActivationRecord LastActivation() {
    std::lock_guard<std::mutex> lock(Global().mutex);
    return Global().activation;
}

InitializeRecord LastInitialize() {
    std::lock_guard<std::mutex> lock(Global().mutex);
    return Global().initialize;
}

HANDLE EventHandleGiven() {
    std::lock_guard<std::mutex> lock(Global().mutex);
    return Global().eventGiven;
}

long LiveObjects() { return Global().live.load(); }

std::uint32_t PacketsReleased() { return Global().released.load(); }

void JoinCompletionThreads() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(Global().mutex);
        threads.swap(Global().completions);
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace scripted

using namespace scripted;

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    const Scenario scenario = CurrentScenario();
    {
        State& s = Global();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.activation = ActivationRecord{};
        s.activation.path = path != nullptr ? path : L"";
        s.activation.audioClientIid = IsEqualIID(riid, IID_IAudioClient);
        if (params != nullptr) {
            s.activation.variantType = params->vt;
            s.activation.blobSize = params->blob.cbSize;
            if (params->vt == VT_BLOB && params->blob.cbSize == 12 && params->blob.pBlobData)
                std::memcpy(s.activation.params, params->blob.pBlobData, 12);
        }
    }
    {
        const ActivationRecord record = LastActivation();
        char line[128];
        std::snprintf(line, sizeof line, "ActivateAudioInterfaceAsync %u %u %u",
                      static_cast<unsigned>(record.params[0]), static_cast<unsigned>(record.params[1]),
                      static_cast<unsigned>(record.params[2]));
        Record(line);
    }
    if (operation == nullptr || handler == nullptr) return E_POINTER;
    *operation = nullptr;
    if (FAILED(scenario.activate)) return scenario.activate;

    auto* created = new Operation(scenario);
    *operation = created;
    if (scenario.completion == Completion::Never) return scenario.activate;

    created->AddRef();
    handler->AddRef();
    std::thread completion([created, handler, scenario] {
        if (scenario.completion == Completion::Late)
            std::this_thread::sleep_for(std::chrono::milliseconds(scenario.lateMs));
        Record("ActivateCompleted");
        handler->ActivateCompleted(created);
        handler->Release();
        created->Release();
    });
    std::lock_guard<std::mutex> lock(Global().mutex);
    if (Global().fromEnvironment) completion.detach();
    else Global().completions.push_back(std::move(completion));
    return scenario.activate;
}
