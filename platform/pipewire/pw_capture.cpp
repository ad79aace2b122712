#include "pw_capture.h"

#include "link_policy.h"
#include "process_tree.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <ctime>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kSyncTimeoutSeconds = 5;
constexpr char kOutputStreamClass[] = "Stream/Output/Audio";
// Marks our own connection, so its client object can be told from the
// clients of other processes that share our pid in other namespaces.
constexpr char kConnectionKey[] = "sondrel.connection";

struct Node {
    PwCapture* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};
    std::uint32_t clientId = SPA_ID_INVALID;
    std::uint32_t processId = 0;  // application.process.id, 0 if absent
    // The application's own channels, from its Format; empty until known.
    std::vector<std::string> appPositions;
    Attribution attribution;  // what the verdict was decided from
    Verdict verdict = Verdict::Undecided;
    // Per output port, in port order: what the port adds to our left and
    // right. Recomputed whenever the node's ports or format change.
    std::vector<std::uint32_t> outputPorts;
    std::vector<PortGains> gains;
};

struct Client {
    PwCapture* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};
    ClientFacts facts;
};

struct Port {
    std::uint32_t nodeId = SPA_ID_INVALID;
    bool output = false;
    std::uint32_t index = 0;  // port.id: its place among the node's ports
    std::string channel;
};

struct LinkKey {
    std::uint32_t outputNode, outputPort, inputPort;
    bool operator<(const LinkKey& o) const {
        return std::tie(outputNode, outputPort, inputPort) <
               std::tie(o.outputNode, o.outputPort, o.inputPort);
    }
};

struct Link {
    PwCapture* owner = nullptr;
    LinkKey key{};
    pw_proxy* proxy = nullptr;
    spa_hook proxyListener{};
    bool failed = false;  // refused or removed by the daemon: not retried for these ports
};

std::uint32_t ParseId(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return (*end == '\0' && value <= UINT32_MAX) ? static_cast<std::uint32_t>(value) : 0;
}

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

class PwCapture {
public:
    explicit PwCapture(const CaptureRequest& request)
        : request_(request),
          rule_{request.targetPid, request.excludeTree, static_cast<std::uint32_t>(getpid())},
          tree_(request.targetPid) {}

    CaptureRequest request_;
    CaptureRule rule_;
    ProcessTree tree_;
    PacketRing ring_;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    int syncSeq_ = -1;
    bool synced_ = false;

    std::map<std::uint32_t, Node*> nodes_;
    std::map<std::uint32_t, Client*> clients_;
    std::map<std::uint32_t, Port> ports_;
    std::map<LinkKey, Link*> links_;

    // Only touched under the loop lock or on the loop thread.
    bool linking_ = false;
    bool daemonIsOurs_ = true;  // until our own client says otherwise
    char connection_[64] = {};  // value of kConnectionKey on our client
    std::uint32_t ownNode_ = SPA_ID_INVALID;

    HANDLE event_ = nullptr;  // our duplicate; set before the stream exists
    std::atomic<bool> invalid_{false};
    std::atomic<std::uint32_t> linkCount_{0};

    void Signal() {
        if (event_ != nullptr) SetEvent(event_);
    }

    void Invalidate() {
        if (invalid_.exchange(true)) return;
        Signal();
        pw_thread_loop_signal(loop_, false);
    }

    // Decides a node once its process is known, and again only when what
    // it was decided from changes: /proc is read here, never per event.
    // True when the verdict changed.
    bool Attribute(Node& node) {
        const auto client = clients_.find(node.clientId);
        const Attribution who =
            AttributeNode(node.processId,
                          client != clients_.end() ? client->second->facts : ClientFacts{},
                          daemonIsOurs_);
        if (node.verdict != Verdict::Undecided && who.source == node.attribution.source &&
            who.pid == node.attribution.pid && who.binary == node.attribution.binary)
            return false;
        node.attribution = who;
        std::vector<std::uint32_t> candidates;
        if (who.source == Attribution::Source::Vouched) candidates.push_back(who.pid);
        if (who.source == Attribution::Source::Claimed)
            candidates = tree_.ResolveClaim(who.pid, who.binary);
        const Verdict verdict =
            Decide(rule_, who.source != Attribution::Source::Unknown, candidates,
                   [this](std::uint32_t pid) { return tree_.Contains(pid); });
        const bool changed = verdict != node.verdict;
        node.verdict = verdict;
        return changed;
    }

    void UpdateGains(Node& node) {
        // By port.id, then global id should a port ever lack the former.
        std::set<std::pair<std::uint32_t, std::uint32_t>> order;
        for (const auto& [id, port] : ports_)
            if (port.nodeId == node.id && port.output) order.emplace(port.index, id);
        node.outputPorts.clear();
        std::vector<std::string> positions;
        for (const auto& [index, id] : order) {
            node.outputPorts.push_back(id);
            positions.push_back(ports_[id].channel);
        }
        node.gains = ChannelGains(node.appPositions, positions);
    }

    std::uint32_t OwnInput(const char* channel) const {
        for (const auto& [id, port] : ports_)
            if (port.nodeId == ownNode_ && !port.output && port.channel == channel) return id;
        return SPA_ID_INVALID;
    }

    void DestroyLink(Link* link) {
        spa_hook_remove(&link->proxyListener);
        pw_proxy_destroy(link->proxy);
        delete link;
    }

    void CreateLink(const LinkKey& key) {
        auto* link = new (std::nothrow) Link;
        if (link == nullptr) return;
        link->owner = this;
        link->key = key;
        pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
        if (props == nullptr) {
            delete link;
            return;
        }
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", key.outputNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", key.outputPort);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", ownNode_);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", key.inputPort);
        link->proxy = static_cast<pw_proxy*>(pw_core_create_object(
            core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
        if (link->proxy == nullptr) {
            delete link;
            return;
        }
        pw_proxy_add_listener(link->proxy, &link->proxyListener, &kLinkEvents, link);
        links_[key] = link;
    }

    // Brings the links in line with the graph: every output port of every
    // wanted application stream feeds our inputs, nothing else does.
    void Evaluate() {
        if (!linking_ || ownNode_ == SPA_ID_INVALID) {
            for (auto& [key, link] : links_) DestroyLink(link);
            links_.clear();
            linkCount_.store(0, std::memory_order_release);
            return;
        }
        // One stream, so a port joins a side at full gain wherever its gain
        // is not zero; the front pair of an upmixed stream is exact.
        const std::uint32_t left = OwnInput("FL"), right = OwnInput("FR");
        std::set<LinkKey> wanted;
        for (const auto& [nodeId, node] : nodes_) {
            if (nodeId == ownNode_ || node->verdict != Verdict::Capture) continue;
            UpdateGains(*node);
            for (std::size_t i = 0; i < node->outputPorts.size(); ++i) {
                const std::uint32_t port = node->outputPorts[i];
                if (node->gains[i].left > 0.0f && left != SPA_ID_INVALID)
                    wanted.insert(LinkKey{nodeId, port, left});
                if (node->gains[i].right > 0.0f && right != SPA_ID_INVALID)
                    wanted.insert(LinkKey{nodeId, port, right});
            }
        }
        for (auto it = links_.begin(); it != links_.end();) {
            if (wanted.count(it->first) == 0) {
                DestroyLink(it->second);
                it = links_.erase(it);
            } else {
                ++it;
            }
        }
        for (const LinkKey& key : wanted)
            if (links_.count(key) == 0) CreateLink(key);

        std::uint32_t live = 0;
        for (const auto& [key, link] : links_)
            if (!link->failed) ++live;
        linkCount_.store(live, std::memory_order_release);
    }

    // ---- PipeWire callbacks -------------------------------------------------

    static void OnCoreDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<PwCapture*>(data);
        if (id == PW_ID_CORE && seq == self->syncSeq_) {
            self->synced_ = true;
            pw_thread_loop_signal(self->loop_, false);
        }
    }

    static void OnCoreError(void* data, std::uint32_t id, int, int res, const char*) {
        auto* self = static_cast<PwCapture*>(data);
        // Errors on other objects (a refused link) arrive on their proxies.
        if (id == PW_ID_CORE && res == -EPIPE) self->Invalidate();
    }

    static void OnNodeInfo(void* data, const pw_node_info* info) {
        auto* node = static_cast<Node*>(data);
        // Volume and other param changes arrive here too; only props matter.
        if (info->props == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0)
            return;
        const std::uint32_t pid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        const std::uint32_t client = ParseId(spa_dict_lookup(info->props, PW_KEY_CLIENT_ID));
        if (pid != 0) node->processId = pid;
        if (client != 0) node->clientId = client;
        if (node->owner->Attribute(*node)) node->owner->Evaluate();
    }

    static void OnNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                            const spa_pod* param) {
        auto* node = static_cast<Node*>(data);
        if (id != SPA_PARAM_Format || param == nullptr) return;
        std::uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_audio_info_raw raw{};
        if (spa_format_audio_raw_parse(param, &raw) < 0) return;
        std::vector<std::string> positions;
        const std::uint32_t channels = raw.channels < SPA_AUDIO_MAX_CHANNELS
                                           ? raw.channels
                                           : static_cast<std::uint32_t>(SPA_AUDIO_MAX_CHANNELS);
        for (std::uint32_t i = 0; i < channels; ++i) {
            const char* name =
                (raw.flags & SPA_AUDIO_FLAG_UNPOSITIONED) != 0
                    ? nullptr
                    : spa_debug_type_find_short_name(spa_type_audio_channel, raw.position[i]);
            positions.emplace_back(name != nullptr ? name : "");
        }
        if (positions == node->appPositions) return;
        node->appPositions = std::move(positions);
        if (node->verdict == Verdict::Capture) node->owner->Evaluate();
    }

    static void OnClientInfo(void* data, const pw_client_info* info) {
        auto* client = static_cast<Client*>(data);
        if (info->props == nullptr || (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) == 0)
            return;
        ClientFacts& facts = client->facts;
        facts.known = true;
        facts.claimedPid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        facts.securityPid = ParseId(spa_dict_lookup(info->props, PW_KEY_SEC_PID));
        const char* api = spa_dict_lookup(info->props, PW_KEY_CLIENT_API);
        facts.pulseServer = api != nullptr && std::strcmp(api, "pipewire-pulse") == 0;
        const char* binary = spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_BINARY);
        facts.binary = binary != nullptr ? binary : "";
        PwCapture& self = *client->owner;
        // Our own connection tells whether the daemon sees our pids as we do.
        bool everyNode = false;
        const char* connection = spa_dict_lookup(info->props, kConnectionKey);
        if (connection != nullptr && std::strcmp(connection, self.connection_) == 0) {
            const bool ours = facts.securityPid == 0 || facts.claimedPid == facts.securityPid;
            everyNode = ours != self.daemonIsOurs_;
            self.daemonIsOurs_ = ours;
        }
        bool changed = false;
        for (auto& [id, node] : self.nodes_)
            if ((everyNode || node->clientId == client->id) && self.Attribute(*node))
                changed = true;
        if (changed) self.Evaluate();
    }

    static void OnLinkError(void* data, int, int, const char*) {
        auto* link = static_cast<Link*>(data);
        link->failed = true;
    }

    static void OnLinkRemoved(void* data) {
        auto* link = static_cast<Link*>(data);
        link->failed = true;
    }

    void AddGlobal(std::uint32_t id, const char* type, std::uint32_t version,
                   const spa_dict* props) {
        if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
            Port port;
            port.nodeId = ParseId(spa_dict_lookup(props, PW_KEY_NODE_ID));
            const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
            port.output = direction != nullptr && std::strcmp(direction, "out") == 0;
            const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
            port.channel = channel != nullptr ? channel : "";
            port.index = ParseId(spa_dict_lookup(props, PW_KEY_PORT_ID));
            ports_[id] = port;
            // Only ports of streams we capture, or our own, change the links.
            const auto node = nodes_.find(port.nodeId);
            if (port.nodeId == ownNode_ ||
                (node != nodes_.end() && node->second->verdict == Verdict::Capture))
                Evaluate();
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
            if (mediaClass == nullptr || std::strcmp(mediaClass, kOutputStreamClass) != 0) return;
            auto* node = new (std::nothrow) Node;
            if (node == nullptr) return;
            node->owner = this;
            node->id = id;
            node->clientId = ParseId(spa_dict_lookup(props, PW_KEY_CLIENT_ID));
            node->proxy = static_cast<pw_proxy*>(pw_registry_bind(
                registry_, id, type, version < PW_VERSION_NODE ? version : PW_VERSION_NODE, 0));
            if (node->proxy == nullptr) {
                delete node;
                return;
            }
            pw_proxy_add_object_listener(node->proxy, &node->objectListener, &kNodeEvents, node);
            std::uint32_t formatParam = SPA_PARAM_Format;
            pw_node_subscribe_params(reinterpret_cast<pw_node*>(node->proxy), &formatParam, 1);
            nodes_[id] = node;
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
            auto* client = new (std::nothrow) Client;
            if (client == nullptr) return;
            client->owner = this;
            client->id = id;
            client->proxy = static_cast<pw_proxy*>(pw_registry_bind(
                registry_, id, type, version < PW_VERSION_CLIENT ? version : PW_VERSION_CLIENT,
                0));
            if (client->proxy == nullptr) {
                delete client;
                return;
            }
            pw_proxy_add_object_listener(client->proxy, &client->objectListener, &kClientEvents,
                                         client);
            clients_[id] = client;
        }
    }

    template <typename Object>
    static void DestroyBound(Object* object) {
        spa_hook_remove(&object->objectListener);
        pw_proxy_destroy(object->proxy);
        delete object;
    }

    void RemoveGlobal(std::uint32_t id) {
        bool changed = ports_.erase(id) != 0;
        if (auto node = nodes_.find(id); node != nodes_.end()) {
            DestroyBound(node->second);
            nodes_.erase(node);
            changed = true;
        }
        if (auto client = clients_.find(id); client != clients_.end()) {
            DestroyBound(client->second);
            clients_.erase(client);
            changed = true;
        }
        if (changed) Evaluate();
    }

    static void OnGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t version, const spa_dict* props) {
        if (props == nullptr) return;
        static_cast<PwCapture*>(data)->AddGlobal(id, type, version, props);
    }

    static void OnGlobalRemove(void* data, std::uint32_t id) {
        static_cast<PwCapture*>(data)->RemoveGlobal(id);
    }

    static void OnStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<PwCapture*>(data);
        if (state == PW_STREAM_STATE_ERROR) {
            self->Invalidate();
            return;
        }
        const std::uint32_t node = pw_stream_get_node_id(self->stream_);
        if (node != self->ownNode_) {
            self->ownNode_ = node;
            self->Evaluate();
        }
    }

    // Real-time thread: no locks, no allocation.
    static void OnStreamProcess(void* data) {
        auto* self = static_cast<PwCapture*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (buffer == nullptr) return;
        bool delivered = false;
        // Unlinked means nothing to capture, as with a silent target on Windows.
        if (self->linkCount_.load(std::memory_order_acquire) != 0 &&
            buffer->buffer->n_datas > 0) {
            const spa_data& plane = buffer->buffer->datas[0];
            if (plane.data != nullptr && plane.chunk != nullptr) {
                const std::uint32_t offset = plane.chunk->offset % plane.maxsize;
                std::uint32_t size = plane.chunk->size;
                if (size > plane.maxsize - offset) size = plane.maxsize - offset;
                const std::uint32_t frames = size / kFrameBytes;
                if (frames != 0) {
                    self->ring_.Write(static_cast<const std::uint8_t*>(plane.data) + offset,
                                      frames);
                    delivered = true;
                }
            }
        }
        pw_stream_queue_buffer(self->stream_, buffer);
        if (delivered) self->Signal();
    }

    static const pw_core_events kCoreEvents;
    static const pw_registry_events kRegistryEvents;
    static const pw_node_events kNodeEvents;
    static const pw_client_events kClientEvents;
    static const pw_proxy_events kLinkEvents;
    static const pw_stream_events kStreamEvents;
};

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

const pw_registry_events PwCapture::kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS,
    .global = PwCapture::OnGlobal,
    .global_remove = PwCapture::OnGlobalRemove,
};

const pw_node_events PwCapture::kNodeEvents = {
    .version = PW_VERSION_NODE_EVENTS,
    .info = PwCapture::OnNodeInfo,
    .param = PwCapture::OnNodeParam,
};

const pw_client_events PwCapture::kClientEvents = {
    .version = PW_VERSION_CLIENT_EVENTS,
    .info = PwCapture::OnClientInfo,
    .permissions = nullptr,
};

const pw_proxy_events PwCapture::kLinkEvents = {
    .version = PW_VERSION_PROXY_EVENTS,
    .destroy = nullptr,
    .bound = nullptr,
    .removed = PwCapture::OnLinkRemoved,
    .done = nullptr,
    .error = PwCapture::OnLinkError,
};

const pw_stream_events PwCapture::kStreamEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = PwCapture::OnStreamState,
    .control_info = nullptr,
    .io_changed = nullptr,
    .param_changed = nullptr,
    .add_buffer = nullptr,
    .remove_buffer = nullptr,
    .process = PwCapture::OnStreamProcess,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

void PwCaptureDestroy(PwCapture* capture) {
    if (capture == nullptr) return;
    PwCapture& c = *capture;
    // With the loop thread gone no callback can run while we take things apart;
    // destroying the stream also takes it off the real-time thread.
    if (c.loop_ != nullptr) pw_thread_loop_stop(c.loop_);
    if (c.stream_ != nullptr) {
        spa_hook_remove(&c.streamListener_);
        pw_stream_destroy(c.stream_);
    }
    for (auto& [key, link] : c.links_) c.DestroyLink(link);
    for (auto& [id, node] : c.nodes_) PwCapture::DestroyBound(node);
    for (auto& [id, client] : c.clients_) PwCapture::DestroyBound(client);
    if (c.registry_ != nullptr) {
        spa_hook_remove(&c.registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(c.registry_));
    }
    if (c.core_ != nullptr) {
        spa_hook_remove(&c.coreListener_);
        pw_core_disconnect(c.core_);
    }
    if (c.context_ != nullptr) pw_context_destroy(c.context_);
    if (c.loop_ != nullptr) pw_thread_loop_destroy(c.loop_);
    if (c.event_ != nullptr) CloseHandle(c.event_);
    delete capture;
}

HRESULT PwCaptureConnect(const CaptureRequest& request, PwCapture** capture) {
    *capture = nullptr;
    InitPipeWire();
    auto* c = new (std::nothrow) PwCapture(request);
    if (c == nullptr) return E_OUTOFMEMORY;
    if (!c->ring_.Init(kRingFrames, kFrameBytes, kMaxPacketFrames)) {
        PwCaptureDestroy(c);
        return E_OUTOFMEMORY;
    }
    c->loop_ = pw_thread_loop_new("sondrel-pipewire", nullptr);
    if (c->loop_ != nullptr)
        c->context_ = pw_context_new(pw_thread_loop_get_loop(c->loop_), nullptr, 0);
    if (c->context_ == nullptr || pw_thread_loop_start(c->loop_) != 0) {
        PwCaptureDestroy(c);
        return E_OUTOFMEMORY;
    }

    HRESULT hr = S_OK;
    pw_thread_loop_lock(c->loop_);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::snprintf(c->connection_, sizeof c->connection_, "%d-%lld-%ld", static_cast<int>(getpid()),
                  static_cast<long long>(now.tv_sec), now.tv_nsec);
    pw_properties* coreProps = pw_properties_new(kConnectionKey, c->connection_, nullptr);
    // The connection takes the properties, also when it fails.
    c->core_ = coreProps != nullptr ? pw_context_connect(c->context_, coreProps, 0) : nullptr;
    if (c->core_ == nullptr) {
        hr = AUDCLNT_E_SERVICE_NOT_RUNNING;
    } else {
        pw_core_add_listener(c->core_, &c->coreListener_, &PwCapture::kCoreEvents, c);
        c->registry_ = pw_core_get_registry(c->core_, PW_VERSION_REGISTRY, 0);
        if (c->registry_ == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            pw_registry_add_listener(c->registry_, &c->registryListener_,
                                     &PwCapture::kRegistryEvents, c);
            // A daemon that accepts the socket but never answers is as good as none.
            c->syncSeq_ = pw_core_sync(c->core_, PW_ID_CORE, 0);
            while (!c->synced_ && !c->invalid_.load()) {
                if (pw_thread_loop_timed_wait(c->loop_, kSyncTimeoutSeconds) != 0) break;
            }
            if (!c->synced_) hr = AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
    }
    pw_thread_loop_unlock(c->loop_);
    if (FAILED(hr)) {
        PwCaptureDestroy(c);
        return hr;
    }
    *capture = c;
    return S_OK;
}

HRESULT PwCaptureStart(PwCapture* c, HANDLE event) {
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(process, event, process, &duplicate, EVENT_MODIFY_STATE, FALSE, 0))
        return E_INVALIDARG;

    HRESULT hr = S_OK;
    pw_thread_loop_lock(c->loop_);
    if (c->invalid_.load()) {
        hr = AUDCLNT_E_DEVICE_INVALIDATED;
    } else if (c->stream_ != nullptr) {
        // Restart after Stop: the stream exists, only linking resumes.
        pw_stream_set_active(c->stream_, true);
    } else {
        if (c->event_ != nullptr) CloseHandle(c->event_);
        c->event_ = duplicate;
        duplicate = nullptr;
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_NODE_NAME, "sondrel-process-loopback", PW_KEY_APP_NAME,
            "sondrel-process-loopback", PW_KEY_NODE_ALWAYS_PROCESS, "false", nullptr);
        c->stream_ = props != nullptr ? pw_stream_new(c->core_, "sondrel-process-loopback", props)
                                      : nullptr;
        if (c->stream_ == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            pw_stream_add_listener(c->stream_, &c->streamListener_, &PwCapture::kStreamEvents, c);
            spa_audio_info_raw info{};
            info.format = SPA_AUDIO_FORMAT_F32_LE;
            info.rate = 48000;
            info.channels = 2;
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
            std::uint8_t buffer[1024];
            spa_pod_builder builder{};
            spa_pod_builder_init(&builder, buffer, sizeof buffer);
            const spa_pod* params[1] = {
                spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
            // No AUTOCONNECT: the session manager must not route anything to
            // us; the links we make ourselves are the only inputs.
            const int res = pw_stream_connect(
                c->stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS |
                                             PW_STREAM_FLAG_RT_PROCESS),
                params, 1);
            if (res < 0) hr = res == -ENOMEM ? E_OUTOFMEMORY : E_FAIL;
        }
    }
    if (SUCCEEDED(hr)) {
        c->linking_ = true;
        c->Evaluate();
    }
    pw_thread_loop_unlock(c->loop_);
    if (duplicate != nullptr) CloseHandle(duplicate);
    return hr;
}

HRESULT PwCaptureStop(PwCapture* c) {
    pw_thread_loop_lock(c->loop_);
    c->linking_ = false;
    c->Evaluate();
    if (c->stream_ != nullptr) pw_stream_set_active(c->stream_, false);
    pw_thread_loop_unlock(c->loop_);
    return S_OK;
}

PacketRing& PwCaptureRing(PwCapture* capture) { return capture->ring_; }

bool PwCaptureInvalidated(const PwCapture* capture) {
    return capture->invalid_.load(std::memory_order_acquire);
}

std::uint32_t PwCaptureLinkCount(const PwCapture* capture) {
    return capture->linkCount_.load(std::memory_order_acquire);
}
