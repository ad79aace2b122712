// The session's lifecycle and its one pass that brings taps and links in line
// with the graph.
//
// Threads: PwCaptureConnect, Start, Stop and Destroy run on the caller's
// thread (the program's main thread), taking the loop lock while they touch
// anything the loop thread does. Every PipeWire callback of the graph, the
// links and the taps' state runs on the loop thread "sondrel-pipewire"; the
// taps' blocks on PipeWire's data thread (tap.h). Fail may come from either.
#include "pw_capture.h"

#include "capture_format.h"
#include "graph_mirror.h"
#include "link_owner.h"
#include "reconciler.h"
#include "signal_only.h"
#include "tap.h"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kSyncTimeoutSeconds = 5;

void InitPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        // Our stderr carries exactly one failure line; PipeWire's own warnings
        // only when someone asks for them.
        if (std::getenv("PIPEWIRE_DEBUG") == nullptr) pw_log_set_level(SPA_LOG_LEVEL_NONE);
    });
}

}  // namespace

class PwCapture final : public SessionEvents {
public:
    explicit PwCapture(const CaptureRequest& request)
        : graph_(*this,
                 CaptureRule{request.targetPid, request.excludeTree,
                             static_cast<std::uint32_t>(getpid())},
                 request.targetPid, [this](std::uint32_t node) { return IsOurs(node); }),
          links_(*this) {
        host_.session = this;
        host_.mixer = &mixer_;
    }

    HRESULT Connect();
    HRESULT Start(HANDLE event);
    HRESULT Stop();
    void Destroy();

    PacketRing& Ring() { return ring_; }
    HRESULT Failure() const { return failure_.load(std::memory_order_acquire); }

    // Graph events come in bursts (a new stream brings its node, its ports and
    // several info events): each asks for one pass, made once the burst is
    // read. Stream callbacks that fire during a pass also land here.
    void GraphChanged() override {
        if (evaluatePending_) return;
        evaluatePending_ = true;
        pw_loop_signal_event(pw_thread_loop_get_loop(loop_), evaluateSource_);
    }

    void Fail(HRESULT code) override {
        HRESULT none = S_OK;
        if (!failure_.compare_exchange_strong(none, code, std::memory_order_acq_rel)) return;
        Signal();
        pw_thread_loop_signal(loop_, false);
    }

private:
    void Signal() {
        HANDLE event = host_.event.load(std::memory_order_acquire);
        if (event != nullptr) SetEvent(event);
    }

    bool IsOurs(std::uint32_t node) const {
        for (const Tap* spare : spares_)
            if (spare->node == node) return true;
        for (const auto& [id, tap] : taps_)
            if (tap->node == node) return true;
        return false;
    }

    TapFacts FactsOf(const Tap& tap) const {
        TapFacts facts{tap.appNode, tap.appPorts, tap.channels, tap.failed, tap.node, {}};
        if (tap.node != kNoNode) facts.ports = graph_.PortsOf(tap.node, false);
        return facts;
    }

    void Reconcile();

    static void OnEvaluate(void* data, std::uint64_t) {
        auto* self = static_cast<PwCapture*>(data);
        self->evaluatePending_ = false;
        Guarded(*self, [self] { self->Reconcile(); });
    }

    static void OnRetry(void* data, std::uint64_t) {
        auto* self = static_cast<PwCapture*>(data);
        Guarded(*self, [self] { self->Reconcile(); });
    }

    static void OnCoreDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<PwCapture*>(data);
        if (id == PW_ID_CORE && seq == self->syncSeq_) {
            self->synced_ = true;
            pw_thread_loop_signal(self->loop_, false);
        }
    }

    static void OnCoreError(void* data, std::uint32_t id, int, int res, const char*) {
        // Errors on other objects (a refused link) arrive on their proxies.
        if (id == PW_ID_CORE && res == -EPIPE)
            static_cast<PwCapture*>(data)->Fail(AUDCLNT_E_DEVICE_INVALIDATED);
    }

    static const pw_core_events kCoreEvents;

    PacketRing ring_;
    StreamMixer mixer_;
    TapHost host_;
    GraphMirror graph_;
    LinkOwner links_;
    std::map<std::uint32_t, Tap*> taps_;  // by application node
    std::vector<Tap*> spares_;            // oldest first
    std::uint32_t spareChannels_ = 2;
    TapRecords tapRecords_;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    int syncSeq_ = -1;
    bool synced_ = false;
    // Only touched under the loop lock or on the loop thread.
    bool linking_ = false;
    spa_source* evaluateSource_ = nullptr;
    spa_source* retryTimer_ = nullptr;
    bool evaluatePending_ = false;
    char connection_[64] = {};  // value of kConnectionKey on our client
    std::atomic<HRESULT> failure_{S_OK};
};

// Every output port of every wanted application stream feeds its own input
// of ours, nothing else does; lost links and failed streams of ours come back
// when their retry is due.
void PwCapture::Reconcile() {
    const std::int64_t now = SteadyNowMs();
    TapSnapshot snapshot;
    snapshot.capturing = linking_;
    snapshot.now = now;
    snapshot.streams = graph_.Streams();
    for (const auto& [node, tap] : taps_) snapshot.taps[node] = FactsOf(*tap);
    for (const Tap* spare : spares_) snapshot.spares.push_back(FactsOf(*spare));
    snapshot.spareChannels = spareChannels_;
    const TapPlan plan = PlanTaps(snapshot, tapRecords_);

    // Taps and spares that go are unlinked before their streams are destroyed.
    std::vector<Tap*> doomed;
    for (std::uint32_t node : plan.drop) {
        doomed.push_back(taps_.at(node));
        taps_.erase(node);
    }
    std::vector<Tap*> spares = std::exchange(spares_, {});
    for (std::size_t index : plan.dropSpares) {  // highest first
        doomed.push_back(spares[index]);
        spares[index] = nullptr;
    }
    for (const TapPlan::Attach& attach : plan.attach) {
        Tap* tap = nullptr;
        if (attach.spare >= 0) {
            tap = std::exchange(spares[attach.spare], nullptr);
        } else {
            tap = NewTap(host_, static_cast<std::uint32_t>(attach.ports.size()));
            if (tap == nullptr) continue;
        }
        taps_[attach.node] = tap;
        AssignTap(*tap, attach.node, attach.ports, graph_.GainsFor(attach.node, attach.ports));
        if (tap->failed) GraphChanged();  // dropped by the next pass, made again later
    }
    for (Tap* spare : spares)
        if (spare != nullptr) spares_.push_back(spare);
    spareChannels_ = plan.spareChannels;
    for (const auto& [node, tap] : taps_) UpdateTapGains(*tap, graph_.GainsFor(node, tap->appPorts));

    std::vector<TapFacts> linkable;
    for (const auto& [node, tap] : taps_) linkable.push_back(FactsOf(*tap));
    const LinkPlan links = PlanLinks(WantedLinks(linkable), links_.Records(), now);
    links_.Apply(links, now);
    std::int64_t wakeAt = links.wakeAt;
    if (plan.wakeAt >= 0 && (wakeAt < 0 || plan.wakeAt < wakeAt)) wakeAt = plan.wakeAt;
    timespec wake{};
    if (wakeAt >= 0) {
        const std::int64_t delay = std::max<std::int64_t>(wakeAt - now, 1);
        wake.tv_sec = delay / 1000;
        wake.tv_nsec = (delay % 1000) * 1000000;
    }
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &wake, nullptr, false);

    for (Tap* tap : doomed) DestroyTap(tap);
    // With no stream left to run Mix the loop thread may end the open
    // cycle, so the last block of a stream that ended is not held back.
    if (!plan.drop.empty() && taps_.empty() && mixer_.Flush()) Signal();
    for (std::size_t k = 0; k < plan.newSpares; ++k) {
        Tap* spare = NewTap(host_, spareChannels_);
        if (spare == nullptr) break;
        spares_.push_back(spare);
        if (spare->failed) {
            GraphChanged();
            break;
        }
    }
}

const pw_core_events PwCapture::kCoreEvents = {
    .version = PW_VERSION_CORE_EVENTS,
    .info = nullptr,
    .done = PwCapture::OnCoreDone,
    .ping = nullptr,
    .error = PwCapture::OnCoreError,
    .remove_id = nullptr,
    .bound_id = nullptr,
    .add_mem = nullptr,
    .remove_mem = nullptr,
};

// With the loop thread gone no callback can run while we take things apart;
// destroying the streams also takes them off the data thread.
void PwCapture::Destroy() {
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    for (auto& [id, tap] : taps_) DestroyTap(tap);
    taps_.clear();
    for (Tap* spare : spares_) DestroyTap(spare);
    spares_.clear();
    links_.Clear();
    graph_.Clear();
    if (registry_ != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) {
        if (evaluateSource_ != nullptr)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), evaluateSource_);
        if (retryTimer_ != nullptr)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retryTimer_);
        pw_thread_loop_destroy(loop_);
    }
    if (HANDLE event = host_.event.load(); event != nullptr) CloseHandle(event);
}

HRESULT PwCapture::Connect() {
    if (!ring_.Init(kRingFrames, kCaptureFrameBytes, kMaxPacketFrames) ||
        !mixer_.Init(&ring_, kMaxCycleFrames))
        return E_OUTOFMEMORY;
    loop_ = pw_thread_loop_new("sondrel-pipewire", nullptr);
    if (loop_ == nullptr) return E_OUTOFMEMORY;
    pw_loop* loop = pw_thread_loop_get_loop(loop_);
    // The client configuration that loads the real-time module, as PipeWire's
    // own players and recorders use; one data loop, so one data thread.
    pw_properties* props = pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf",
                                             "context.num-data-loops", "1", nullptr);
    if (props != nullptr) context_ = pw_context_new(loop, props, 0);
    pw_data_loop* dataLoop = context_ != nullptr ? pw_context_get_data_loop(context_) : nullptr;
    host_.dataLoop = dataLoop != nullptr ? pw_data_loop_get_loop(dataLoop) : nullptr;
    evaluateSource_ = pw_loop_add_event(loop, OnEvaluate, this);
    retryTimer_ = pw_loop_add_timer(loop, OnRetry, this);
    if (host_.dataLoop == nullptr || evaluateSource_ == nullptr || retryTimer_ == nullptr ||
        pw_thread_loop_start(loop_) != 0)
        return E_OUTOFMEMORY;

    HRESULT hr = S_OK;
    pw_thread_loop_lock(loop_);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::snprintf(connection_, sizeof connection_, "%d-%lld-%ld", static_cast<int>(getpid()),
                  static_cast<long long>(now.tv_sec), now.tv_nsec);
    pw_properties* coreProps =
        pw_properties_new(GraphMirror::kConnectionKey, connection_, nullptr);
    // The connection takes the properties, also when it fails.
    core_ = coreProps != nullptr ? pw_context_connect(context_, coreProps, 0) : nullptr;
    if (core_ == nullptr) {
        hr = AUDCLNT_E_SERVICE_NOT_RUNNING;
    } else {
        host_.core = core_;
        links_.SetCore(core_);
        pw_core_add_listener(core_, &coreListener_, &kCoreEvents, this);
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_ == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            graph_.Listen(registry_, connection_);
            // A daemon that accepts the socket but never answers is as good as none.
            syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
            while (!synced_ && SUCCEEDED(Failure())) {
                if (pw_thread_loop_timed_wait(loop_, kSyncTimeoutSeconds) != 0) break;
            }
            if (!synced_) hr = AUDCLNT_E_SERVICE_NOT_RUNNING;
            else if (FAILED(Failure())) hr = Failure();
        }
    }
    pw_thread_loop_unlock(loop_);
    return hr;
}

HRESULT PwCapture::Start(HANDLE event) {
    HANDLE duplicate = nullptr;
    HRESULT hr = DuplicateSignalOnly(event, &duplicate);
    if (FAILED(hr)) return hr;
    pw_thread_loop_lock(loop_);
    hr = Failure();
    if (SUCCEEDED(hr)) {
        // A restart after Stop keeps the event it was first given.
        if (host_.event.load() == nullptr) host_.event.store(std::exchange(duplicate, nullptr));
        linking_ = true;
        Guarded(*this, [this] { Reconcile(); });
        hr = Failure();
    }
    pw_thread_loop_unlock(loop_);
    if (duplicate != nullptr) CloseHandle(duplicate);
    return hr;
}

HRESULT PwCapture::Stop() {
    pw_thread_loop_lock(loop_);
    linking_ = false;
    Guarded(*this, [this] { Reconcile(); });
    pw_thread_loop_unlock(loop_);
    return S_OK;
}

void PwCaptureDestroy(PwCapture* capture) {
    if (capture == nullptr) return;
    capture->Destroy();
    delete capture;
}

HRESULT PwCaptureConnect(const CaptureRequest& request, PwCapture** capture) {
    *capture = nullptr;
    InitPipeWire();
    PwCapture* c = nullptr;
    try {
        c = new PwCapture(request);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = c->Connect();
    if (FAILED(hr)) {
        PwCaptureDestroy(c);
        return hr;
    }
    *capture = c;
    return S_OK;
}

HRESULT PwCaptureStart(PwCapture* capture, HANDLE event) { return capture->Start(event); }

HRESULT PwCaptureStop(PwCapture* capture) { return capture->Stop(); }

PacketRing& PwCaptureRing(PwCapture* capture) { return capture->Ring(); }

HRESULT PwCaptureFailure(const PwCapture* capture) { return capture->Failure(); }
