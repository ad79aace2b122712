#include "graph_mirror.h"

#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr char kOutputStreamClass[] = "Stream/Output/Audio";
constexpr char kSinkClass[] = "Audio/Sink";
// Set on both halves of a loopback, filter chain or echo canceller: what
// enters one leaves by the other.
constexpr char kLinkGroupKey[] = "node.link-group";

std::uint32_t ParseId(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return (*end == '\0' && value <= UINT32_MAX) ? static_cast<std::uint32_t>(value) : 0;
}

std::uint32_t ParseNode(const char* text) {
    return text != nullptr && *text != '\0' ? ParseId(text) : kNoNode;
}

}  // namespace

struct GraphMirror::Node {
    GraphMirror* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};
    std::uint32_t clientId = kNoNode;
    std::uint32_t processId = 0;    // application.process.id, 0 if absent
    std::uint32_t outputPorts = 0;  // as the node's info counts them
    // The application's own channels, from its Format; empty until known.
    std::vector<std::string> appPositions;
    Attribution attribution;  // what the verdict was decided from
    Verdict verdict = Verdict::Undecided;
    bool linkGroup = false;  // one half of an effect
    bool replays = false;    // plays again what applications send the other half
};

struct GraphMirror::Client {
    GraphMirror* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};
    ClientFacts facts;
};

GraphMirror::GraphMirror(SessionEvents& session, const CaptureRule& rule,
                         std::uint32_t targetPid, std::function<bool(std::uint32_t)> ours)
    : session_(session), rule_(rule), tree_(targetPid), ours_(std::move(ours)) {}

void GraphMirror::Listen(pw_registry* registry, const char* connection) {
    connection_ = connection;
    registry_ = registry;
    pw_registry_add_listener(registry_, &registryListener_, &kRegistryEvents, this);
}

template <typename Object>
static void DestroyBound(Object* object) {
    spa_hook_remove(&object->objectListener);
    pw_proxy_destroy(object->proxy);
    delete object;
}

void GraphMirror::Clear() {
    for (auto& [id, node] : nodes_) DestroyBound(node);
    nodes_.clear();
    for (auto& [id, client] : clients_) DestroyBound(client);
    clients_.clear();
    if (registry_ != nullptr) spa_hook_remove(&registryListener_);
    registry_ = nullptr;
}

bool GraphMirror::Captured(const Node& node) {
    return node.verdict == Verdict::Capture && !node.replays;
}

std::map<std::uint32_t, StreamFacts> GraphMirror::Streams() const {
    std::map<std::uint32_t, StreamFacts> streams;
    for (const auto& [id, node] : nodes_) {
        StreamFacts& facts = streams[id];
        facts.captured = Captured(*node);
        facts.ruledOut = node->verdict == Verdict::Skip || node->replays;
        if (facts.captured) facts.ports = PortsOf(id, true);
        facts.portCount = node->outputPorts;
    }
    return streams;
}

// By port.id, then global id should a port ever lack the former.
std::vector<std::uint32_t> GraphMirror::PortsOf(std::uint32_t nodeId, bool output) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // index, global id
    for (const auto& [id, port] : ports_)
        if (port.nodeId == nodeId && port.output == output) found.emplace_back(port.index, id);
    std::sort(found.begin(), found.end());
    std::vector<std::uint32_t> ids;
    for (const auto& [index, id] : found) ids.push_back(id);
    return ids;
}

std::vector<PortGains> GraphMirror::GainsFor(std::uint32_t nodeId,
                                             const std::vector<std::uint32_t>& appPorts) const {
    std::vector<std::string> positions;
    for (std::uint32_t port : appPorts) {
        const auto found = ports_.find(port);
        positions.push_back(found != ports_.end() ? found->second.channel : std::string());
    }
    const auto node = nodes_.find(nodeId);
    return ChannelGains(node != nodes_.end() ? node->second->appPositions
                                             : std::vector<std::string>{},
                        positions);
}

// Decides a node once its process is known, and again only when what
// it was decided from changes: /proc is read here, never per event.
// True when the verdict changed.
bool GraphMirror::Attribute(Node& node) {
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

bool GraphMirror::UpdateReplayers() {
    bool changed = false;
    for (auto& [id, node] : nodes_) {
        if (!node->linkGroup) continue;
        const bool replays =
            ReplaysApplications(id, node->clientId, others_, edges_,
                                [this](std::uint32_t n) { return nodes_.count(n) != 0; }, ours_);
        if (replays == node->replays) continue;
        const bool was = Captured(*node);
        node->replays = replays;
        if (was != Captured(*node)) changed = true;
    }
    return changed;
}

// Whether a port's comings and goings can change our taps or links.
bool GraphMirror::Concerns(const Port& port) const {
    const auto node = nodes_.find(port.nodeId);
    if (node != nodes_.end()) return Captured(*node->second);
    return !port.output && ours_(port.nodeId);
}

void GraphMirror::OnNodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<Node*>(data);
    GraphMirror& self = *node->owner;
    Guarded(self.session_, [&] {
        // A tap is made for the whole set of ports, once the node has them.
        if (node->outputPorts != info->n_output_ports) {
            node->outputPorts = info->n_output_ports;
            if (Captured(*node)) self.session_.GraphChanged();
        }
        // Volume and other param changes arrive here too; only props matter.
        if (info->props == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0)
            return;
        const std::uint32_t pid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        const std::uint32_t client = ParseId(spa_dict_lookup(info->props, PW_KEY_CLIENT_ID));
        if (pid != 0) node->processId = pid;
        if (client != 0) node->clientId = client;
        bool changed = self.Attribute(*node);
        const bool linkGroup = spa_dict_lookup(info->props, kLinkGroupKey) != nullptr;
        if (linkGroup != node->linkGroup) {
            node->linkGroup = linkGroup;
            changed = self.UpdateReplayers() || changed;
        }
        if (changed) self.session_.GraphChanged();
    });
}

void GraphMirror::OnNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                              const spa_pod* param) {
    auto* node = static_cast<Node*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return;
    spa_audio_info_raw raw{};
    if (spa_format_audio_raw_parse(param, &raw) < 0) return;
    Guarded(node->owner->session_, [&] {
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
        // Often after the tap exists: its gains change in place.
        if (Captured(*node)) node->owner->session_.GraphChanged();
    });
}

void GraphMirror::OnClientInfo(void* data, const pw_client_info* info) {
    auto* client = static_cast<Client*>(data);
    if (info->props == nullptr || (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) == 0) return;
    GraphMirror& self = *client->owner;
    Guarded(self.session_, [&] {
        ClientFacts& facts = client->facts;
        facts.known = true;
        facts.claimedPid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        facts.securityPid = ParseId(spa_dict_lookup(info->props, PW_KEY_SEC_PID));
        const char* api = spa_dict_lookup(info->props, PW_KEY_CLIENT_API);
        facts.pulseServer = api != nullptr && std::strcmp(api, "pipewire-pulse") == 0;
        const char* binary = spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_BINARY);
        facts.binary = binary != nullptr ? binary : "";
        // Our own connection tells whether the daemon sees our pids as we do.
        bool everyNode = false;
        const char* connection = spa_dict_lookup(info->props, kConnectionKey);
        if (connection != nullptr && self.connection_ == connection) {
            const bool ours = facts.securityPid == 0 || facts.claimedPid == facts.securityPid;
            everyNode = ours != self.daemonIsOurs_;
            self.daemonIsOurs_ = ours;
        }
        bool changed = false;
        for (auto& [id, node] : self.nodes_)
            if ((everyNode || node->clientId == client->id) && self.Attribute(*node))
                changed = true;
        if (changed) self.session_.GraphChanged();
    });
}

void GraphMirror::AddGlobal(std::uint32_t id, const char* type, std::uint32_t version,
                            const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Port port;
        port.nodeId = ParseNode(spa_dict_lookup(props, PW_KEY_NODE_ID));
        const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
        port.output = direction != nullptr && std::strcmp(direction, "out") == 0;
        port.index = ParseId(spa_dict_lookup(props, PW_KEY_PORT_ID));
        const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
        port.channel = channel != nullptr ? channel : "";
        ports_[id] = port;
        // Only ports of streams we capture, or of our own, change the links.
        if (Concerns(port)) session_.GraphChanged();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        edges_[id] = Edge{ParseNode(spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE)),
                          ParseNode(spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE))};
        if (UpdateReplayers()) session_.GraphChanged();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
        if (mediaClass == nullptr || std::strcmp(mediaClass, kOutputStreamClass) != 0) {
            others_[id] = OtherNode{ParseNode(spa_dict_lookup(props, PW_KEY_CLIENT_ID)),
                                mediaClass != nullptr && std::strcmp(mediaClass, kSinkClass) == 0};
            return;
        }
        auto* node = new Node;
        node->owner = this;
        node->id = id;
        node->clientId = ParseNode(spa_dict_lookup(props, PW_KEY_CLIENT_ID));
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
        // A spare starts its set-up while the node's client and ports
        // are still on their way.
        session_.GraphChanged();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto* client = new Client;
        client->owner = this;
        client->id = id;
        client->proxy = static_cast<pw_proxy*>(pw_registry_bind(
            registry_, id, type, version < PW_VERSION_CLIENT ? version : PW_VERSION_CLIENT, 0));
        if (client->proxy == nullptr) {
            delete client;
            return;
        }
        pw_proxy_add_object_listener(client->proxy, &client->objectListener, &kClientEvents,
                                     client);
        clients_[id] = client;
    }
}

void GraphMirror::RemoveGlobal(std::uint32_t id) {
    bool changed = false;
    if (auto port = ports_.find(id); port != ports_.end()) {
        changed = Concerns(port->second);
        ports_.erase(port);
    }
    if (auto node = nodes_.find(id); node != nodes_.end()) {
        // Its tap, or a spare kept for it, may go.
        changed = node->second->verdict != Verdict::Skip;
        DestroyBound(node->second);
        nodes_.erase(node);
    }
    if (others_.erase(id) != 0 || edges_.erase(id) != 0) changed = UpdateReplayers() || changed;
    // A node keeps the verdict its client's facts gave it.
    if (auto client = clients_.find(id); client != clients_.end()) {
        DestroyBound(client->second);
        clients_.erase(client);
    }
    if (changed) session_.GraphChanged();
}

void GraphMirror::OnGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                           std::uint32_t version, const spa_dict* props) {
    if (props == nullptr) return;
    auto* self = static_cast<GraphMirror*>(data);
    Guarded(self->session_, [&] { self->AddGlobal(id, type, version, props); });
}

void GraphMirror::OnGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<GraphMirror*>(data);
    Guarded(self->session_, [&] { self->RemoveGlobal(id); });
}

const pw_registry_events GraphMirror::kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS,
    .global = GraphMirror::OnGlobal,
    .global_remove = GraphMirror::OnGlobalRemove,
};

const pw_node_events GraphMirror::kNodeEvents = {
    .version = PW_VERSION_NODE_EVENTS,
    .info = GraphMirror::OnNodeInfo,
    .param = GraphMirror::OnNodeParam,
};

const pw_client_events GraphMirror::kClientEvents = {
    .version = PW_VERSION_CLIENT_EVENTS,
    .info = GraphMirror::OnClientInfo,
    .permissions = nullptr,
};
