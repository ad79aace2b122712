// EnumerateAudioSessions on PipeWire: every application output stream of the
// graph, attributed to its process by the capture's rules (link_policy.h,
// process_tree.h), active while its node runs, its peak measured through a
// passive tap of ours (level_meter.h) that is gone before we return.
//
// Threads: EnumerateAudioSessions runs on the caller's thread and takes the
// loop lock for everything it touches; the registry, proxy and stream-state
// callbacks run on the loop thread "sondrel-pipewire-list", lock held; the
// meters' blocks on PipeWire's data thread (level_meter.h).
#include "audio_sessions.h"
#include "level_meter.h"
#include "link_policy.h"
#include "process_tree.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSyncTimeoutSeconds = 5;
// Meters not ready by then are left unmeasured (peak 0) rather than holding
// the list back.
constexpr auto kMeterSetUp = std::chrono::seconds(2);
// A linked meter whose first block has not come by then (its application
// stalled) is measured as it is.
constexpr auto kFirstBlock = std::chrono::seconds(1);
constexpr auto kFirstBlockPoll = std::chrono::milliseconds(2);
constexpr char kConnectionKey[] = "sondrel.connection";

std::uint32_t ParseId(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return (*end == '\0' && value <= UINT32_MAX) ? static_cast<std::uint32_t>(value) : 0;
}

std::string Text(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? value : "";
}

struct Bound {
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    struct Listing* owner = nullptr;
    std::uint32_t id = 0;
};

struct NodeFacts : Bound {
    std::uint32_t client = 0;
    std::uint32_t claimedPid = 0;
    std::string appName;
    bool linkGroup = false;
    pw_node_state state = PW_NODE_STATE_SUSPENDED;
    LevelMeter* meter = nullptr;
};

struct ClientInfo : Bound {
    ClientFacts facts;
    std::string appName;
    std::string connection;
};

struct PortFacts {
    std::uint32_t node = 0;
    bool output = false;
    std::uint32_t index = 0;
};

struct Listing {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    int syncSeq = -1;
    bool synced = false;
    bool lost = false;
    char connection[64] = {};
    std::atomic<bool> measuring{false};
    std::map<std::uint32_t, NodeFacts*> nodes;
    std::map<std::uint32_t, ClientInfo*> clients;
    std::map<std::uint32_t, PortFacts> ports;

    // Output or input ports of a node, in port order.
    std::vector<std::uint32_t> PortsOf(std::uint32_t node, bool output) const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
        for (const auto& [id, port] : ports)
            if (port.node == node && port.output == output) found.emplace_back(port.index, id);
        std::sort(found.begin(), found.end());
        std::vector<std::uint32_t> ids;
        for (const auto& entry : found) ids.push_back(entry.second);
        return ids;
    }
};

void OnNodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<NodeFacts*>(data);
    node->state = info->state;
    if (info->props == nullptr) return;
    if (const std::uint32_t pid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID)))
        node->claimedPid = pid;
    if (const std::uint32_t client = ParseId(spa_dict_lookup(info->props, PW_KEY_CLIENT_ID)))
        node->client = client;
    if (const std::string name = Text(info->props, PW_KEY_APP_NAME); !name.empty())
        node->appName = name;
    node->linkGroup = spa_dict_lookup(info->props, "node.link-group") != nullptr;
}

void OnClientInfo(void* data, const pw_client_info* info) {
    auto* client = static_cast<ClientInfo*>(data);
    if (info->props == nullptr) return;
    ClientFacts& facts = client->facts;
    facts.known = true;
    facts.claimedPid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
    facts.securityPid = ParseId(spa_dict_lookup(info->props, PW_KEY_SEC_PID));
    facts.pulseServer = Text(info->props, PW_KEY_CLIENT_API) == "pipewire-pulse";
    facts.binary = Text(info->props, PW_KEY_APP_PROCESS_BINARY);
    client->appName = Text(info->props, PW_KEY_APP_NAME);
    client->connection = Text(info->props, kConnectionKey);
}

const pw_node_events kNodeEvents = {.version = PW_VERSION_NODE_EVENTS, .info = OnNodeInfo,
                                    .param = nullptr};
const pw_client_events kClientEvents = {.version = PW_VERSION_CLIENT_EVENTS,
                                        .info = OnClientInfo, .permissions = nullptr};

template <typename Object, typename Events>
void Bind(Listing& self, std::map<std::uint32_t, Object*>& into, std::uint32_t id,
          const char* type, std::uint32_t version, const Events* events) {
    auto* object = new (std::nothrow) Object;
    if (object == nullptr) return;
    object->owner = &self;
    object->id = id;
    object->proxy = static_cast<pw_proxy*>(pw_registry_bind(self.registry, id, type, version, 0));
    if (object->proxy == nullptr) {
        delete object;
        return;
    }
    pw_proxy_add_object_listener(object->proxy, &object->listener, events, object);
    into[id] = object;
}

template <typename Object>
void Unbind(Object* object) {
    spa_hook_remove(&object->listener);
    pw_proxy_destroy(object->proxy);
    delete object;
}

void OnGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t version,
              const spa_dict* props) {
    auto& self = *static_cast<Listing*>(data);
    if (props == nullptr) return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        self.ports[id] = PortFacts{ParseId(spa_dict_lookup(props, PW_KEY_NODE_ID)),
                                   Text(props, PW_KEY_PORT_DIRECTION) == "out",
                                   ParseId(spa_dict_lookup(props, PW_KEY_PORT_ID))};
        pw_thread_loop_signal(self.loop, false);  // a meter may wait for its ports
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        if (Text(props, PW_KEY_MEDIA_CLASS) != "Stream/Output/Audio") return;
        Bind(self, self.nodes, id, type, std::min<std::uint32_t>(version, PW_VERSION_NODE),
             &kNodeEvents);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        Bind(self, self.clients, id, type, std::min<std::uint32_t>(version, PW_VERSION_CLIENT),
             &kClientEvents);
    }
}

void OnGlobalRemove(void* data, std::uint32_t id) {
    auto& self = *static_cast<Listing*>(data);
    self.ports.erase(id);
    // A node that goes keeps its entry (and meter) until the end: what it
    // played so far still counts.
}

const pw_registry_events kRegistryEvents = {.version = PW_VERSION_REGISTRY_EVENTS,
                                            .global = OnGlobal, .global_remove = OnGlobalRemove};

void OnCoreDone(void* data, std::uint32_t id, int seq) {
    auto& self = *static_cast<Listing*>(data);
    if (id == PW_ID_CORE && seq == self.syncSeq) {
        self.synced = true;
        pw_thread_loop_signal(self.loop, false);
    }
}

void OnCoreError(void* data, std::uint32_t id, int, int res, const char*) {
    auto& self = *static_cast<Listing*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        self.lost = true;
        pw_thread_loop_signal(self.loop, false);
    }
}

const pw_core_events kCoreEvents = {.version = PW_VERSION_CORE_EVENTS, .info = nullptr,
                                    .done = OnCoreDone, .ping = nullptr, .error = OnCoreError,
                                    .remove_id = nullptr, .bound_id = nullptr,
                                    .add_mem = nullptr, .remove_mem = nullptr};

// Lock held. Everything asked of the daemon so far has been answered.
bool Sync(Listing& self) {
    self.synced = false;
    self.syncSeq = pw_core_sync(self.core, PW_ID_CORE, self.syncSeq + 1);
    while (!self.synced && !self.lost)
        if (pw_thread_loop_timed_wait(self.loop, kSyncTimeoutSeconds) != 0) break;
    return self.synced && !self.lost;
}

// Lock held: which process of ours played the node, 0 when none can be named.
DWORD ProcessOf(const Listing& self, const NodeFacts& node, bool daemonIsOurs,
                ProcessTree& claims) {
    const auto client = self.clients.find(node.client);
    const Attribution who = AttributeNode(
        node.claimedPid, client != self.clients.end() ? client->second->facts : ClientFacts{},
        daemonIsOurs);
    if (who.source == Attribution::Source::Vouched) return who.pid;
    if (who.source != Attribution::Source::Claimed) return 0;
    // Two sandboxed processes of one name and inner pid: no way to tell which.
    const std::vector<std::uint32_t> candidates = claims.ResolveClaim(who.pid, who.binary);
    return candidates.size() == 1 ? candidates[0] : 0;
}

void MeasureRunningNodes(Listing& self, DWORD measureMs) {
    for (auto& [id, node] : self.nodes) {
        const std::size_t outputs = self.PortsOf(id, true).size();
        if (node->state == PW_NODE_STATE_RUNNING && outputs > 0)
            node->meter = NewLevelMeter(self.core, self.loop, &self.measuring,
                                        static_cast<std::uint32_t>(outputs));
    }
    // Each meter is linked once its node and all its input ports are known.
    std::vector<NodeFacts*> waiting;
    for (auto& [id, node] : self.nodes)
        if (node->meter != nullptr && !node->meter->failed) waiting.push_back(node);
    const auto deadline = std::chrono::steady_clock::now() + kMeterSetUp;
    while (!waiting.empty() && !self.lost && std::chrono::steady_clock::now() < deadline) {
        for (auto it = waiting.begin(); it != waiting.end();) {
            LevelMeter& meter = *(*it)->meter;
            const auto inputs = meter.node != 0xFFFFFFFFu ? self.PortsOf(meter.node, false)
                                                          : std::vector<std::uint32_t>{};
            if (!meter.failed && inputs.size() < meter.channels) {
                ++it;
                continue;
            }
            if (!meter.failed) LinkLevelMeter(meter, self.core, (*it)->id, self.PortsOf((*it)->id, true), inputs);
            it = waiting.erase(it);
        }
        if (!waiting.empty()) pw_thread_loop_timed_wait(self.loop, 1);
    }
    if (!Sync(self)) return;
    // A link is made before its buffers are: the window starts once data flows.
    std::vector<const LevelMeter*> linked;
    for (const auto& [id, node] : self.nodes)
        if (node->meter != nullptr && !node->meter->links.empty()) linked.push_back(node->meter);
    pw_thread_loop_unlock(self.loop);
    const auto flowing = [&linked] {
        for (const LevelMeter* meter : linked)
            if (!meter->flowing.load(std::memory_order_acquire)) return false;
        return true;
    };
    for (const auto until = std::chrono::steady_clock::now() + kFirstBlock;
         !flowing() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(kFirstBlockPoll);
    self.measuring.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(measureMs));
    pw_thread_loop_lock(self.loop);
    self.measuring.store(false, std::memory_order_release);
}

void TearDown(Listing& self) {
    if (self.loop != nullptr) pw_thread_loop_stop(self.loop);
    for (auto& [id, node] : self.nodes) {
        if (node->meter != nullptr) DestroyLevelMeter(node->meter);
        Unbind(node);
    }
    for (auto& [id, client] : self.clients) Unbind(client);
    if (self.registry != nullptr) {
        spa_hook_remove(&self.registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(self.registry));
    }
    if (self.core != nullptr) {
        spa_hook_remove(&self.coreListener);
        pw_core_disconnect(self.core);
    }
    if (self.context != nullptr) pw_context_destroy(self.context);
    if (self.loop != nullptr) pw_thread_loop_destroy(self.loop);
}

}  // namespace

HRESULT EnumerateAudioSessions(DWORD measureMs, std::vector<AudioSessionInfo>* sessions) {
    sessions->clear();
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        if (std::getenv("PIPEWIRE_DEBUG") == nullptr) pw_log_set_level(SPA_LOG_LEVEL_NONE);
    });
    Listing self;
    HRESULT hr = S_OK;
    self.loop = pw_thread_loop_new("sondrel-pipewire-list", nullptr);
    pw_properties* props = pw_properties_new("context.num-data-loops", "1", nullptr);
    if (self.loop != nullptr && props != nullptr)
        self.context = pw_context_new(pw_thread_loop_get_loop(self.loop), props, 0);
    if (self.context == nullptr || pw_thread_loop_start(self.loop) != 0) {
        TearDown(self);
        return E_OUTOFMEMORY;
    }
    pw_thread_loop_lock(self.loop);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::snprintf(self.connection, sizeof self.connection, "%d-%lld-%ld-list",
                  static_cast<int>(getpid()), static_cast<long long>(now.tv_sec), now.tv_nsec);
    pw_properties* coreProps = pw_properties_new(kConnectionKey, self.connection, nullptr);
    self.core = coreProps != nullptr ? pw_context_connect(self.context, coreProps, 0) : nullptr;
    if (self.core != nullptr) {
        pw_core_add_listener(self.core, &self.coreListener, &kCoreEvents, &self);
        self.registry = pw_core_get_registry(self.core, PW_VERSION_REGISTRY, 0);
    }
    if (self.registry != nullptr)
        pw_registry_add_listener(self.registry, &self.registryListener, &kRegistryEvents, &self);
    // The first answer brings the globals, the second what the bound ones say.
    if (self.registry == nullptr || !Sync(self) || !Sync(self)) {
        hr = AUDCLNT_E_SERVICE_NOT_RUNNING;
    } else {
        MeasureRunningNodes(self, measureMs);
        if (self.lost) hr = AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    if (SUCCEEDED(hr)) {
        // Inside a PID namespace of our own, our client's claim differs from
        // its credentials, and the daemon's pids mean nothing to us.
        bool daemonIsOurs = true;
        for (const auto& [id, client] : self.clients)
            if (client->connection == self.connection)
                daemonIsOurs = client->facts.securityPid == 0 ||
                               client->facts.claimedPid == client->facts.securityPid;
        ProcessTree claims(static_cast<std::uint32_t>(getpid()));
        for (const auto& [id, node] : self.nodes) {
            // One half of an effect plays again what others played.
            if (node->linkGroup) continue;
            AudioSessionInfo session;
            session.processId = ProcessOf(self, *node, daemonIsOurs, claims);
            if (session.processId == 0) continue;
            session.active = node->state == PW_NODE_STATE_RUNNING;
            session.peak = node->meter != nullptr ? node->meter->peak.load() : 0.0f;
            const auto client = self.clients.find(node->client);
            const std::string name = !node->appName.empty() ? node->appName
                                     : client != self.clients.end() ? client->second->appName
                                                                    : std::string();
            session.displayName = PosixArgumentToWide(name.c_str());
            sessions->push_back(std::move(session));
        }
    }
    pw_thread_loop_unlock(self.loop);
    TearDown(self);
    return hr;
}
