#include "pw_capture.h"

#include "capture_format.h"
#include "link_policy.h"
#include "process_tree.h"
#include "signal_only.h"
#include "stream_mixer.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kSyncTimeoutSeconds = 5;
// Spare streams kept ready at most, however many new streams wait.
constexpr std::size_t kMaxSpares = 32;
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
    std::uint32_t outputPorts = 0;  // as the node's info counts them
    // The application's own channels, from its Format; empty until known.
    std::vector<std::string> appPositions;
    Attribution attribution;  // what the verdict was decided from
    Verdict verdict = Verdict::Undecided;
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
    std::uint32_t outputNode, outputPort, inputNode, inputPort;
    bool operator<(const LinkKey& o) const {
        return std::tie(outputNode, outputPort, inputNode, inputPort) <
               std::tie(o.outputNode, o.outputPort, o.inputNode, o.inputPort);
    }
};

// One input stream of ours per captured application stream, so an
// application that stalls holds back only its own input, never the others.
struct Tap {
    PwCapture* owner = nullptr;
    std::uint32_t channels = 0;
    std::uint32_t appNode = SPA_ID_INVALID;  // none while it waits as the spare
    std::vector<std::uint32_t> appPorts;  // linked in this order to our ports 0..n-1
    MixerInput input;
    // Every gain set the mixer was given, kept until the tap goes: the data
    // thread may still read an earlier one while a new one is published.
    std::vector<std::vector<PortGains>> gainSets;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::uint32_t node = SPA_ID_INVALID;  // our stream's node
    bool failed = false;  // not retried while the application keeps these ports
    std::atomic<spa_io_position*> position{nullptr};
    std::atomic<bool> mixing{false};  // set once the fields above are final
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
        : rule_{request.targetPid, request.excludeTree, static_cast<std::uint32_t>(getpid())},
          tree_(request.targetPid) {}

    CaptureRule rule_;
    ProcessTree tree_;
    PacketRing ring_;
    StreamMixer mixer_;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    int syncSeq_ = -1;
    bool synced_ = false;

    std::map<std::uint32_t, Node*> nodes_;
    std::map<std::uint32_t, Client*> clients_;
    std::map<std::uint32_t, Port> ports_;
    std::map<LinkKey, Link*> links_;
    std::map<std::uint32_t, Tap*> taps_;  // by application node
    std::vector<Tap*> spares_;
    std::uint32_t spareChannels_ = 2;
    bool spareFailed_ = false;

    // Only touched under the loop lock or on the loop thread.
    bool linking_ = false;
    spa_source* evaluateSource_ = nullptr;
    bool evaluatePending_ = false;
    bool daemonIsOurs_ = true;  // until our own client says otherwise
    char connection_[64] = {};  // value of kConnectionKey on our client

    HANDLE event_ = nullptr;  // our duplicate; set before the stream exists
    std::atomic<bool> invalid_{false};

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

    static bool Captured(const Node& node) { return node.verdict == Verdict::Capture; }

    // Whether a port's comings and goings can change our taps or links.
    bool Concerns(const Port& port) const {
        const auto node = nodes_.find(port.nodeId);
        if (node != nodes_.end()) return Captured(*node->second);
        if (port.output) return false;
        for (const Tap* spare : spares_)
            if (spare->node == port.nodeId) return true;
        for (const auto& [id, tap] : taps_)
            if (tap->node == port.nodeId) return true;
        return false;
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
        // Passive: our link alone never sets the application's graph running,
        // so its own route to the sink decides when it plays.
        pw_properties* props =
            pw_properties_new(PW_KEY_OBJECT_LINGER, "false", PW_KEY_LINK_PASSIVE, "true", nullptr);
        if (props == nullptr) {
            delete link;
            return;
        }
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", key.outputNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", key.outputPort);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", key.inputNode);
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

    // Output ports of a node, or input ports of one of ours, by port.id, then
    // global id should a port ever lack the former.
    std::vector<std::uint32_t> PortsOf(std::uint32_t nodeId, bool output) const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // index, global id
        for (const auto& [id, port] : ports_)
            if (port.nodeId == nodeId && port.output == output) found.emplace_back(port.index, id);
        std::sort(found.begin(), found.end());
        std::vector<std::uint32_t> ids;
        for (const auto& [index, id] : found) ids.push_back(id);
        return ids;
    }

    // One PortGains per port of the tap's application, in the tap's order.
    std::vector<PortGains> GainsFor(const Node& node, const Tap& tap) const {
        std::vector<std::string> positions;
        for (std::uint32_t port : tap.appPorts) positions.push_back(ports_.at(port).channel);
        return ChannelGains(node.appPositions, positions);
    }

    // Hands the mixer the node's gains when they differ from what it has;
    // its data thread picks them up at the next block.
    void UpdateGains(const Node& node, Tap& tap) {
        std::vector<PortGains> gains = GainsFor(node, tap);
        if (!tap.gainSets.empty() &&
            std::equal(gains.begin(), gains.end(), tap.gainSets.back().begin(),
                       tap.gainSets.back().end(), [](const PortGains& a, const PortGains& b) {
                           return a.left == b.left && a.right == b.right;
                       }))
            return;
        tap.gainSets.push_back(std::move(gains));
        tap.input.gains.store(tap.gainSets.back().data(), std::memory_order_release);
    }

    // A connected input stream with one port per channel, not yet linked.
    Tap* NewTap(std::uint32_t channels) {
        auto* tap = new (std::nothrow) Tap;
        if (tap == nullptr) return nullptr;
        tap->owner = this;
        tap->channels = channels;
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_NODE_NAME, "sondrel-process-loopback", PW_KEY_APP_NAME,
            "sondrel-process-loopback", PW_KEY_NODE_ALWAYS_PROCESS, "false", nullptr);
        tap->stream = props != nullptr && channels <= SPA_AUDIO_MAX_CHANNELS
                          ? pw_stream_new(core_, "sondrel-process-loopback", props)
                          : nullptr;
        if (tap->stream == nullptr) {
            tap->failed = true;
            return tap;
        }
        pw_stream_add_listener(tap->stream, &tap->listener, &kTapEvents, tap);
        // Planar, one port per application port and no channel mixing: the
        // gains decide what reaches left and right.
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32P;
        info.rate = kCaptureSampleRate;
        info.channels = channels;
        for (std::uint32_t k = 0; k < channels; ++k) info.position[k] = SPA_AUDIO_CHANNEL_AUX0 + k;
        std::uint8_t buffer[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        // No AUTOCONNECT: the session manager must not route anything to us;
        // the links we make ourselves are the only inputs.
        if (pw_stream_connect(tap->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS |
                                                           PW_STREAM_FLAG_RT_PROCESS),
                              params, 1) < 0)
            tap->failed = true;
        return tap;
    }

    // Ready to be linked at once: its node and all its ports are known.
    bool Linkable(const Tap& tap) const {
        return !tap.failed && tap.node != SPA_ID_INVALID &&
               PortsOf(tap.node, false).size() == tap.channels;
    }

    // Gives the node a tap: a spare when one fits, the readiest first, which
    // saves a new stream's set-up (two graph cycles on a quiet machine, far
    // more while many streams start at once) at the start of every sound.
    void AttachTap(const Node& node, std::vector<std::uint32_t> appPorts) {
        const auto channels = static_cast<std::uint32_t>(appPorts.size());
        auto best = spares_.end();
        for (auto it = spares_.begin(); it != spares_.end(); ++it) {
            if ((*it)->failed || (*it)->channels != channels) continue;
            if (best == spares_.end() || (Linkable(**it) && !Linkable(**best))) best = it;
        }
        Tap* tap = nullptr;
        if (best != spares_.end()) {
            tap = *best;
            spares_.erase(best);
        } else {
            tap = NewTap(channels);
            if (tap == nullptr) return;
        }
        spareChannels_ = channels;
        tap->appNode = node.id;
        tap->appPorts = std::move(appPorts);
        tap->input.ports = channels;
        UpdateGains(node, *tap);
        taps_[node.id] = tap;
        if (tap->failed) return;
        mixer_.AddInput();
        tap->mixing.store(true, std::memory_order_release);
    }

    // Unlinked streams kept ready, with as many ports as the last application
    // stream had: one, and one more for every application stream that has
    // appeared and may still need a tap. A burst of new streams so gets its
    // taps made while their clients and ports are still being announced.
    void KeepSpares() {
        std::size_t wanted = 1;
        for (const auto& [id, node] : nodes_)
            if (node->verdict != Verdict::Skip && taps_.count(id) == 0) ++wanted;
        wanted = std::min(wanted, kMaxSpares);
        if (spareFailed_) wanted = 0;
        for (auto it = spares_.begin(); it != spares_.end();) {
            if ((*it)->channels != spareChannels_ || (*it)->failed) {
                // A spare that fails is not replaced: taps are then made on demand.
                if ((*it)->failed) spareFailed_ = true;
                DestroyTap(*it);
                it = spares_.erase(it);
            } else {
                ++it;
            }
        }
        while (spares_.size() > wanted) {  // the newest, least ready, go first
            DestroyTap(spares_.back());
            spares_.pop_back();
        }
        while (!spareFailed_ && spares_.size() < wanted) {
            Tap* spare = NewTap(spareChannels_);
            if (spare == nullptr) break;
            if (spare->failed) {
                spareFailed_ = true;
                DestroyTap(spare);
                break;
            }
            spares_.push_back(spare);
        }
    }

    void DestroyTap(Tap* tap) {
        for (auto it = links_.begin(); it != links_.end();) {
            if (it->first.outputNode == tap->appNode) {
                DestroyLink(it->second);
                it = links_.erase(it);
            } else {
                ++it;
            }
        }
        if (tap->stream != nullptr) {
            spa_hook_remove(&tap->listener);
            // Returns once the data thread has let go of the stream.
            pw_stream_destroy(tap->stream);
        }
        if (tap->mixing.load(std::memory_order_relaxed)) mixer_.ForgetInput(tap->input);
        delete tap;
    }

    template <typename Gone>
    void RemoveTaps(Gone gone) {
        bool removed = false;
        for (auto it = taps_.begin(); it != taps_.end();) {
            if (gone(*it->second)) {
                DestroyTap(it->second);
                it = taps_.erase(it);
                removed = true;
            } else {
                ++it;
            }
        }
        // With no stream left to run Mix the loop thread may end the open
        // cycle, so the last block of a stream that ended is not held back.
        if (removed && taps_.empty() && mixer_.Flush()) Signal();
    }

    // Graph events come in bursts (a new stream brings its node, its ports and
    // several info events): each asks for one pass, made once the burst is
    // read. Stream callbacks that fire during a pass also land here.
    void Evaluate() {
        if (evaluatePending_) return;
        evaluatePending_ = true;
        pw_loop_signal_event(pw_thread_loop_get_loop(loop_), evaluateSource_);
    }

    static void OnEvaluate(void* data, std::uint64_t) {
        auto* self = static_cast<PwCapture*>(data);
        self->evaluatePending_ = false;
        self->EvaluateNow();
    }

    // Brings taps and links in line with the graph: every output port of every
    // wanted application stream feeds its own input of ours, nothing else does.
    void EvaluateNow() {
        if (!linking_) {
            for (Tap* spare : spares_) DestroyTap(spare);
            spares_.clear();
            RemoveTaps([](const Tap&) { return true; });
            for (auto& [key, link] : links_) DestroyLink(link);
            links_.clear();
            return;
        }

        RemoveTaps([this](const Tap& tap) {
            const auto node = nodes_.find(tap.appNode);
            return node == nodes_.end() || !Captured(*node->second) ||
                   PortsOf(tap.appNode, true) != tap.appPorts;
        });
        for (const auto& [nodeId, tap] : taps_) UpdateGains(*nodes_.at(nodeId), *tap);
        for (const auto& [nodeId, node] : nodes_) {
            if (taps_.count(nodeId) != 0 || !Captured(*node)) continue;
            // Ports arrive one by one; a tap is made for the whole set.
            std::vector<std::uint32_t> ports = PortsOf(nodeId, true);
            if (!ports.empty() && ports.size() == node->outputPorts)
                AttachTap(*node, std::move(ports));
        }
        KeepSpares();

        std::set<LinkKey> wanted;
        for (const auto& [nodeId, tap] : taps_) {
            if (!Linkable(*tap)) continue;  // our ports are still appearing
            const std::vector<std::uint32_t> ours = PortsOf(tap->node, false);
            for (std::size_t k = 0; k < ours.size(); ++k)
                wanted.insert(LinkKey{nodeId, tap->appPorts[k], tap->node, ours[k]});
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
        PwCapture& self = *node->owner;
        // A tap is made for the whole set of ports, once the node has them.
        if (node->outputPorts != info->n_output_ports) {
            node->outputPorts = info->n_output_ports;
            if (Captured(*node)) self.Evaluate();
        }
        // Volume and other param changes arrive here too; only props matter.
        if (info->props == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0)
            return;
        const std::uint32_t pid = ParseId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        const std::uint32_t client = ParseId(spa_dict_lookup(info->props, PW_KEY_CLIENT_ID));
        if (pid != 0) node->processId = pid;
        if (client != 0) node->clientId = client;
        if (self.Attribute(*node)) self.Evaluate();
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
        // Often after the tap exists: its gains change in place.
        if (Captured(*node)) node->owner->Evaluate();
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
            port.index = ParseId(spa_dict_lookup(props, PW_KEY_PORT_ID));
            const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
            port.channel = channel != nullptr ? channel : "";
            ports_[id] = port;
            // Only ports of streams we capture, or of our own, change the links.
            if (Concerns(port)) Evaluate();
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
            // A spare starts its set-up while the node's client and ports
            // are still on their way.
            Evaluate();
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
        bool changed = false;
        if (auto port = ports_.find(id); port != ports_.end()) {
            changed = Concerns(port->second);
            ports_.erase(port);
        }
        if (auto node = nodes_.find(id); node != nodes_.end()) {
            changed = taps_.count(id) != 0 || Captured(*node->second);
            DestroyBound(node->second);
            nodes_.erase(node);
        }
        // A node keeps the verdict its client's facts gave it.
        if (auto client = clients_.find(id); client != clients_.end()) {
            DestroyBound(client->second);
            clients_.erase(client);
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

    static void OnTapState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* tap = static_cast<Tap*>(data);
        const std::uint32_t node =
            state == PW_STREAM_STATE_ERROR ? SPA_ID_INVALID : pw_stream_get_node_id(tap->stream);
        if (state == PW_STREAM_STATE_ERROR) tap->failed = true;
        if (node != tap->node || state == PW_STREAM_STATE_ERROR) {
            tap->node = node;
            tap->owner->Evaluate();
        }
    }

    static void OnTapIoChanged(void* data, std::uint32_t id, void* area, std::uint32_t size) {
        auto* tap = static_cast<Tap*>(data);
        if (id == SPA_IO_Position)
            tap->position.store(size >= sizeof(spa_io_position)
                                    ? static_cast<spa_io_position*>(area)
                                    : nullptr,
                                std::memory_order_release);
    }

    // Real-time thread: no locks, no allocation, no system call but the event.
    static void OnTapProcess(void* data) {
        auto* tap = static_cast<Tap*>(data);
        PwCapture* self = tap->owner;
        pw_buffer* buffer = pw_stream_dequeue_buffer(tap->stream);
        if (buffer == nullptr) return;
        if (!tap->mixing.load(std::memory_order_acquire)) {
            pw_stream_queue_buffer(tap->stream, buffer);
            return;
        }
        const float* planes[SPA_AUDIO_MAX_CHANNELS] = {};
        const std::size_t ports = tap->input.ports;
        std::uint32_t frames = 0;
        bool any = false;
        for (std::uint32_t k = 0; k < buffer->buffer->n_datas && k < ports; ++k) {
            const spa_data& plane = buffer->buffer->datas[k];
            if (plane.data == nullptr || plane.chunk == nullptr) continue;
            // Clamped as PipeWire's own tools do: the chunk is the peer's word.
            const std::uint32_t offset = SPA_MIN(plane.chunk->offset, plane.maxsize);
            const std::uint32_t size = SPA_MIN(plane.chunk->size, plane.maxsize - offset);
            const std::uint32_t samples = size / sizeof(float);
            planes[k] = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(plane.data) +
                                                       offset);
            frames = any ? SPA_MIN(frames, samples) : samples;
            any = true;
        }
        // Without the driver's position there is no cycle to place the block in.
        const spa_io_position* position = tap->position.load(std::memory_order_acquire);
        const bool emitted =
            position != nullptr &&
            self->mixer_.Mix(tap->input,
                             MixClock{position->clock.id, position->clock.position,
                                      position->clock.nsec},
                             planes, frames);
        pw_stream_queue_buffer(tap->stream, buffer);
        if (emitted) self->Signal();
    }

    static const pw_core_events kCoreEvents;
    static const pw_registry_events kRegistryEvents;
    static const pw_node_events kNodeEvents;
    static const pw_client_events kClientEvents;
    static const pw_proxy_events kLinkEvents;
    static const pw_stream_events kTapEvents;
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

const pw_stream_events PwCapture::kTapEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = PwCapture::OnTapState,
    .control_info = nullptr,
    .io_changed = PwCapture::OnTapIoChanged,
    .param_changed = nullptr,
    .add_buffer = nullptr,
    .remove_buffer = nullptr,
    .process = PwCapture::OnTapProcess,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

void PwCaptureDestroy(PwCapture* capture) {
    if (capture == nullptr) return;
    PwCapture& c = *capture;
    // With the loop thread gone no callback can run while we take things apart;
    // destroying the streams also takes them off the real-time thread.
    if (c.loop_ != nullptr) pw_thread_loop_stop(c.loop_);
    for (auto& [id, tap] : c.taps_) c.DestroyTap(tap);
    c.taps_.clear();
    for (Tap* spare : c.spares_) c.DestroyTap(spare);
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
    if (c.evaluateSource_ != nullptr)
        pw_loop_destroy_source(pw_thread_loop_get_loop(c.loop_), c.evaluateSource_);
    if (c.loop_ != nullptr) pw_thread_loop_destroy(c.loop_);
    if (c.event_ != nullptr) CloseHandle(c.event_);
    delete capture;
}

HRESULT PwCaptureConnect(const CaptureRequest& request, PwCapture** capture) {
    *capture = nullptr;
    InitPipeWire();
    auto* c = new (std::nothrow) PwCapture(request);
    if (c == nullptr) return E_OUTOFMEMORY;
    if (!c->ring_.Init(kRingFrames, kCaptureFrameBytes, kMaxPacketFrames) ||
        !c->mixer_.Init(&c->ring_, kMaxCycleFrames)) {
        PwCaptureDestroy(c);
        return E_OUTOFMEMORY;
    }
    c->loop_ = pw_thread_loop_new("sondrel-pipewire", nullptr);
    if (c->loop_ != nullptr) {
        // The client configuration that loads the real-time module, as
        // PipeWire's own players and recorders use.
        pw_properties* props = pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
        if (props != nullptr)
            c->context_ = pw_context_new(pw_thread_loop_get_loop(c->loop_), props, 0);
        c->evaluateSource_ =
            pw_loop_add_event(pw_thread_loop_get_loop(c->loop_), PwCapture::OnEvaluate, c);
    }
    if (c->context_ == nullptr || c->evaluateSource_ == nullptr ||
        pw_thread_loop_start(c->loop_) != 0) {
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
    HANDLE duplicate = nullptr;
    HRESULT hr = DuplicateSignalOnly(event, &duplicate);
    if (FAILED(hr)) return hr;

    pw_thread_loop_lock(c->loop_);
    if (c->invalid_.load()) {
        hr = AUDCLNT_E_DEVICE_INVALIDATED;
    } else {
        // A restart after Stop keeps the event it was first given.
        if (c->event_ == nullptr) {
            c->event_ = duplicate;
            duplicate = nullptr;
        }
        c->linking_ = true;
        c->EvaluateNow();
    }
    pw_thread_loop_unlock(c->loop_);
    if (duplicate != nullptr) CloseHandle(duplicate);
    return hr;
}

HRESULT PwCaptureStop(PwCapture* c) {
    pw_thread_loop_lock(c->loop_);
    c->linking_ = false;
    c->EvaluateNow();
    pw_thread_loop_unlock(c->loop_);
    return S_OK;
}

PacketRing& PwCaptureRing(PwCapture* capture) { return capture->ring_; }

bool PwCaptureInvalidated(const PwCapture* capture) {
    return capture->invalid_.load(std::memory_order_acquire);
}
