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
//   buffer=MS  packets come at the wall clock's pace into a platform buffer
//       of MS ms, as on Windows: a packet that finds it full is lost and the
//       next one kept is flagged as a data discontinuity
//   com=sta (main thread pre-set to a single-threaded apartment)
//   threadstart=fail|early (Linux: the next thread start after Start, or
//       after GetService, fails)
//   wait=fail (Linux: the program's next wait after the activation call fails
//       with ERROR_INVALID_HANDLE)
//   writelimit=N (Linux: every write takes at most N bytes)
//   stamp   (benchmarks: the first 8 bytes of each packet hold, as a
//       little-endian u64, the monotonic time in ns at which its event was
//       signalled: CLOCK_MONOTONIC on Linux, QueryPerformanceCounter on Windows)
// A word it does not know, or a value it cannot read, ends the run with exit
// code 99 before anything else happens.
// Frame n carries the samples n+1 and -(n+1), n wrapping at 2^24-1. Calls go
// to the file named by SONDREL_TRACE: each Release the program makes, by
// interface, with whether the program's sample event was still open
// ("events=open|closed", once it was given); Stop with the same and whether
// a packet was still held ("buffer=held|free"); a line for a completion that
// used a closed handle or a standard descriptor that holds an event; at the
// end "exit live=N handles=M": objects still alive and program handles still
// open at exit.
#include "platform.h"

#ifndef _WIN32
#include <posix_test_hooks.h>
#include <unistd.h>
#endif

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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
    bool threadStartFailsEarly = false;
    DWORD writeLimit = 0;
    bool stamp = false;
    unsigned bufferMs = 0;
    bool waitFails = false;
};

[[noreturn]] void Unreadable(const std::string& word) {
    std::fprintf(stderr, "scenario: cannot read '%s'\n", word.c_str());
    std::fflush(stderr);
    std::_Exit(99);
}

// The whole text as a number, or false.
bool Number(const std::string& text, std::uint64_t& value, int base = 0) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

bool Code(const std::string& text, HRESULT& code) {
    std::uint64_t value = 0;
    if (!Number(text, value) || value > 0xFFFFFFFFu) return false;
    code = static_cast<HRESULT>(static_cast<std::uint32_t>(value));
    return true;
}

bool Packets(const std::string& list, std::vector<PacketPlan>& packets) {
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        std::uint64_t count = 1;
        if (const auto times = item.find('x'); times != std::string::npos) {
            if (!Number(item.substr(times + 1), count, 10) || count == 0) return false;
            item.resize(times);
        }
        PacketPlan plan;
        std::uint64_t frames = 0;
        if (item == "z") {
            plan.frames = 480;
            plan.zeroFromGetBuffer = true;
        } else {
            plan.silent = !item.empty() && item.back() == 's';
            plan.nullData = !item.empty() && item.back() == 'n';
            if (plan.silent || plan.nullData) item.pop_back();
            if (!Number(item, frames, 10) || frames > 0xFFFFFFFFu) return false;
            plan.frames = static_cast<std::uint32_t>(frames);
        }
        packets.insert(packets.end(), count, plan);
    }
    return !packets.empty();
}

// One of the names, or false.
template <typename Value>
bool OneOf(const std::string& text, std::initializer_list<std::pair<const char*, Value>> names,
           Value& value) {
    for (const auto& [name, named] : names)
        if (text == name) return value = named, true;
    return false;
}

// Splits "a:b" at the first colon.
std::pair<std::string, std::string> Split(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return {text, ""};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

using WordReader = bool (*)(const std::string& value, Scenario& s);

// Every word the scenario may hold; a new word is one more line here.
const std::pair<const char*, WordReader> kWords[] = {
    {"activate", [](const std::string& v, Scenario& s) { return Code(v, s.activate); }},
    {"initialize", [](const std::string& v, Scenario& s) { return Code(v, s.initialize); }},
    {"seteventhandle",
     [](const std::string& v, Scenario& s) { return Code(v, s.setEventHandle); }},
    {"getservice", [](const std::string& v, Scenario& s) { return Code(v, s.getService); }},
    {"start", [](const std::string& v, Scenario& s) { return Code(v, s.start); }},
    {"packets", [](const std::string& v, Scenario& s) { return Packets(v, s.packets); }},
    {"repeat", [](const std::string& v, Scenario& s) { return v.empty() && (s.repeat = true); }},
    {"buffer", [](const std::string& v, Scenario& s) {
         std::uint64_t ms = 0;
         if (!Number(v, ms, 10) || ms == 0 || ms > 60000) return false;
         s.bufferMs = static_cast<unsigned>(ms);
         return true;
     }},
    {"stamp", [](const std::string& v, Scenario& s) { return v.empty() && (s.stamp = true); }},
    {"com", [](const std::string& v, Scenario& s) {
         return v == "sta" && (s.singleThreadedApartment = true);
     }},
    {"wait", [](const std::string& v, Scenario& s) { return v == "fail" && (s.waitFails = true); }},
    {"threadstart", [](const std::string& v, Scenario& s) {
         if (v == "early") return s.threadStartFailsEarly = true;
         return v == "fail" && (s.threadStartFails = true);
     }},
    {"writelimit", [](const std::string& v, Scenario& s) {
         std::uint64_t bytes = 0;
         if (!Number(v, bytes, 10) || bytes == 0 || bytes > 0xFFFFFFFFu) return false;
         s.writeLimit = static_cast<DWORD>(bytes);
         return true;
     }},
    {"completion", [](const std::string& v, Scenario& s) {
         const auto [mode, delay] = Split(v);
         if (mode == "late") {
             std::uint64_t ms = 0;
             if (!Number(delay, ms, 10) || ms > 60000) return false;
             s.lateMs = static_cast<unsigned>(ms);
             return (s.completion = Completion::Late), true;
         }
         return delay.empty() && OneOf(mode, {{"now", Completion::Now}, {"never", Completion::Never}},
                                       s.completion);
     }},
    {"result", [](const std::string& v, Scenario& s) {
         const auto [mode, code] = Split(v);
         if (!OneOf(mode, {{"ok", ResultMode::Ok}, {"code", ResultMode::Code},
                           {"fail", ResultMode::Fail}, {"none", ResultMode::None},
                           {"other", ResultMode::Other}},
                    s.resultMode))
             return false;
         const bool coded = s.resultMode == ResultMode::Code || s.resultMode == ResultMode::Fail;
         return coded ? Code(code, s.resultCode) : code.empty();
     }},
    {"pace", [](const std::string& v, Scenario& s) {
         return OneOf(v, {{"prequeue", Pace::Prequeue}, {"fast", Pace::Fast},
                          {"realtime", Pace::Realtime}},
                      s.pace);
     }},
    {"fail", [](const std::string& v, Scenario& s) {
         const auto [call, rest] = Split(v);
         const auto [packet, code] = Split(rest);
         return (call == "getnext" || call == "getbuffer" || call == "release") &&
                Number(packet, s.failPacket, 10) && Code(code, s.failCode) &&
                (s.failAt = call, true);
     }},
};

Scenario Parse(const char* text) {
    Scenario s;
    std::stringstream words(text != nullptr ? text : "");
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        if (equals != std::string::npos && value.empty()) Unreadable(word);
        bool read = false;
        for (const auto& [name, reader] : kWords)
            if (key == name) read = reader(value, s);
        if (!read) Unreadable(word);
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
thread_local bool onCompletionThread = false;

// Leaves the thread's last error as it found it: the program's own calls
// around a traced one must see theirs.
void Record(const char* format, ...) {
    const DWORD lastError = GetLastError();
    const char* path = std::getenv("SONDREL_TRACE");
    std::lock_guard<std::mutex> lock(traceMutex);
    FILE* trace = path != nullptr ? std::fopen(path, "a") : nullptr;
    if (trace != nullptr) {
        va_list values;
        va_start(values, format);
        std::vfprintf(trace, format, values);
        va_end(values);
        std::fputc('\n', trace);
        std::fclose(trace);
    }
    SetLastError(lastError);
}

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && GetHandleInformation(handle, &flags);
}

// " events=open|closed" once the program has given its sample event.
const char* EventState() {
    const HANDLE given = eventGiven.load();
    if (given == nullptr) return "";
    return IsOpen(given) ? " events=open" : " events=closed";
}

long OpenHandles() {
#ifdef _WIN32
    return IsOpen(eventGiven.load()) ? 1 : 0;
#else
    return PosixOpenHandleCount();
#endif
}

void JoinCompletions() {
    std::vector<std::thread> pending;
    {
        std::lock_guard<std::mutex> lock(completionsMutex);
        pending.swap(completions);
    }
    for (std::thread& thread : pending) thread.join();
}

// What the completion thread still does after signalling belongs to the run
// before the program's next call, as it would on a platform that answers at
// once; a late one must stay late.
void SettleCompletion() {
    if (!onCompletionThread && TheScenario().completion == Completion::Now) JoinCompletions();
}

// Before main: the apartment the program will find; at exit: what is left.
struct ProcessHooks {
    ProcessHooks() {
        if (TheScenario().singleThreadedApartment) CoInitializeEx(nullptr, 0x2);
#ifndef _WIN32
        PosixLimitWriteBytes(TheScenario().writeLimit);
#endif
    }
    ~ProcessHooks() {
        JoinCompletions();
        // The stop watcher closes its handle right after signalling.
        for (int i = 0; i < 100 && OpenHandles() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Record("exit live=%ld handles=%ld", liveObjects.load(), OpenHandles());
    }
} processHooks;

// A file the program opened must never have landed on a standard descriptor
// the parent left closed.
void CheckStandardDescriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        char link[64] = {};
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strstr(link, "eventfd"))
            Record("standard descriptor %d holds an event", fd);
    }
#endif
}

// References the program takes and drops go through AddRef and Release, and
// each Release is traced under the interface's name; the platform's own
// references use Hold and Drop, untraced.
class RefCounted {
public:
    explicit RefCounted(const char* name) : name_(name) { ++liveObjects; }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() { --liveObjects; }

    ULONG Hold() { return ++references_; }
    ULONG Drop() {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    ULONG Traced() {
        SettleCompletion();
        Record("Release %s%s", name_, onCompletionThread ? "" : EventState());
        return Drop();
    }

private:
    const char* name_;
    std::atomic<ULONG> references_{1};
};

struct Packet {
    std::uint64_t index = 0;
    PacketPlan plan;
    std::vector<float> samples;
    bool discontinuity = false;
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

// The audio client; the engine behind it produces packets on a thread of its
// own and signals the client's event. The capture client is an object of its
// own over the same engine.
class Client final : public IAudioClient, public RefCounted {
public:
    Client() : RefCounted("IAudioClient") {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IAudioClient))
            return *object = nullptr, E_NOINTERFACE;
        *object = static_cast<IAudioClient*>(this);
        Hold();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Hold(); }
    ULONG STDMETHODCALLTYPE Release() override { return Traced(); }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* f, LPCGUID session) override {
        SettleCompletion();
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
        bool held = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held = outstanding_;
        }
        Record("Stop%s buffer=%s", EventState(), held ? "held" : "free");
        Halt();
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
                 (packet.discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
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

    void Queue(Packet packet) {
        queuedFrames_ += packet.plan.frames;
        queue_.push_back(std::move(packet));
    }

    // The scenario's packets in order, from the first again with repeat;
    // false once they are all made.
    bool NextPlan(std::size_t& next, PacketPlan& plan) const {
        if (next == scenario_.packets.size()) {
            if (!scenario_.repeat) return false;
            next = 0;
        }
        plan = scenario_.packets[next++];
        return true;
    }

    // Packet after packet on the wall clock's schedule, whether or not the
    // program keeps up.
    void ProduceIntoBuffer() {
        const auto begin = std::chrono::steady_clock::now();
        const std::uint64_t capacity = std::uint64_t{scenario_.bufferMs} * 48;
        std::uint64_t due = 0;
        bool lost = false;
        for (std::size_t next = 0;;) {
            PacketPlan plan;
            if (!NextPlan(next, plan)) return;
            std::unique_lock<std::mutex> lock(mutex_);
            if (queuedFrames_ + plan.frames > capacity) {
                nextFrame_ += plan.frames;
                ++produced_;
                lost = true;
            } else {
                Queue(Make(plan));
                queue_.back().discontinuity = std::exchange(lost, false);
                SetEvent(event_);
            }
            due += plan.frames;
            const auto at = begin + std::chrono::microseconds(due * 1000000 / 48000);
            if (room_.wait_until(lock, at, [this] { return halting_; })) return;
        }
    }

    void Produce() {
        if (scenario_.bufferMs != 0) return ProduceIntoBuffer();
        for (std::size_t next = 0;;) {
            PacketPlan plan;
            if (!NextPlan(next, plan)) return;
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [this] { return halting_ || queue_.size() < kQueueLimit; });
            if (halting_) return;
            Queue(Make(plan));
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
    std::uint64_t queuedFrames_ = 0;
};

class CaptureClient final : public IAudioCaptureClient, public RefCounted {
public:
    explicit CaptureClient(Client* client) : RefCounted("IAudioCaptureClient"), client_(client) {
        client_->Hold();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IAudioCaptureClient))
            return *object = nullptr, E_NOINTERFACE;
        *object = static_cast<IAudioCaptureClient*>(this);
        Hold();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Hold(); }
    ULONG STDMETHODCALLTYPE Release() override { return Traced(); }

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
    Record("GetService");
    *service = nullptr;
#ifndef _WIN32
    if (scenario_.threadStartFailsEarly) PosixFailThreadStarts(1);
#endif
    if (FAILED(scenario_.getService)) return scenario_.getService;
    if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
    *service = static_cast<IAudioCaptureClient*>(new CaptureClient(this));
    return S_OK;
}

// An activated object that is no audio client.
class Other final : public IUnknown, public RefCounted {
public:
    Other() : RefCounted("IUnknown") {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown)) return *object = nullptr, E_NOINTERFACE;
        *object = static_cast<IUnknown*>(this);
        Hold();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Hold(); }
    ULONG STDMETHODCALLTYPE Release() override { return Traced(); }
};

class Operation final : public IActivateAudioInterfaceAsyncOperation, public RefCounted {
public:
    Operation() : RefCounted("IActivateAudioInterfaceAsyncOperation") {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) &&
            !IsEqualIID(riid, IID_IActivateAudioInterfaceAsyncOperation))
            return *object = nullptr, E_NOINTERFACE;
        *object = this;
        Hold();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Hold(); }
    ULONG STDMETHODCALLTYPE Release() override { return Traced(); }

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        Record("GetActivateResult");
        const Scenario& s = TheScenario();
        if (s.resultMode == ResultMode::Fail) return s.resultCode;
        if (s.resultMode == ResultMode::None) return S_OK;
        *result = s.resultCode;
        *activated = nullptr;
        if (s.resultMode == ResultMode::Other)
            *activated = static_cast<IUnknown*>(new Other());
        else if (SUCCEEDED(s.resultCode))
            *activated = static_cast<IAudioClient*>(new Client());
        return S_OK;
    }
};

// The handler must signal only its own copy of the event: after a time-out
// the program's handle is closed, and on Windows its value may already name
// another object. Probes take the freed values; none may be signalled.
void Complete(IActivateAudioInterfaceCompletionHandler* handler, Operation* operation) {
    onCompletionThread = true;
    constexpr int kProbes = 4;
    HANDLE probes[kProbes] = {};
    for (HANDLE& probe : probes) probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Record("ActivateCompleted");
    SetLastError(ERROR_SUCCESS);
    handler->ActivateCompleted(operation);
    if (GetLastError() == ERROR_INVALID_HANDLE)
        Record("completion used a closed handle");
    for (HANDLE probe : probes) {
        if (probe == nullptr) continue;
        if (WaitForSingleObject(probe, 0) == WAIT_OBJECT_0)
            Record("completion signalled an event it does not own");
        CloseHandle(probe);
    }
    handler->Release();
    operation->Drop();
}

}  // namespace

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    const Scenario& s = TheScenario();
    CheckStandardDescriptors();
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
#ifndef _WIN32
    if (s.waitFails) PosixFailNextWait(ERROR_INVALID_HANDLE);
#endif

    auto* created = new Operation();
    *operation = created;
    if (s.completion == Completion::Never) return s.activate;
    created->Hold();
    handler->AddRef();
    std::thread completion([created, handler, &s] {
        if (s.completion == Completion::Late)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.lateMs));
        Complete(handler, created);
    });
    std::lock_guard<std::mutex> lock(completionsMutex);
    completions.push_back(std::move(completion));
    return s.activate;
}
