// Our view of the daemon's graph: application streams (bound, to read their
// properties and format), their clients, every port, the other nodes and the
// links between them; and the verdict on each application stream.
//
// Threads: everything here runs on the session's loop thread, lock held; the
// registry and proxy callbacks too.
#pragma once

#include "link_policy.h"
#include "process_tree.h"
#include "reconciler.h"
#include "session_events.h"

#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class GraphMirror {
public:
    // ours: whether a node is one of our own input streams.
    GraphMirror(SessionEvents& session, const CaptureRule& rule, std::uint32_t targetPid,
                std::function<bool(std::uint32_t)> ours);
    GraphMirror(const GraphMirror&) = delete;
    GraphMirror& operator=(const GraphMirror&) = delete;
    ~GraphMirror() { Clear(); }

    // connection: the value of kConnectionKey on our own client.
    void Listen(pw_registry* registry, const char* connection);
    void Clear();

    // What the reconciler needs about every application stream.
    std::map<std::uint32_t, StreamFacts> Streams() const;
    // Output ports of a node, or input ports of one of ours, in port order.
    std::vector<std::uint32_t> PortsOf(std::uint32_t node, bool output) const;
    // One gain pair per port of appPorts, by the node's own channel layout.
    std::vector<PortGains> GainsFor(std::uint32_t node,
                                    const std::vector<std::uint32_t>& appPorts) const;

    static constexpr char kConnectionKey[] = "sondrel.connection";

private:
    struct Node;
    struct Client;
    struct Port {
        std::uint32_t nodeId = kNoNode;
        bool output = false;
        std::uint32_t index = 0;  // port.id: its place among the node's ports
        std::string channel;
    };

    static void OnGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void OnGlobalRemove(void* data, std::uint32_t id);
    static void OnNodeInfo(void* data, const pw_node_info* info);
    static void OnNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                            const spa_pod* param);
    static void OnClientInfo(void* data, const pw_client_info* info);

    void AddGlobal(std::uint32_t id, const char* type, std::uint32_t version,
                   const spa_dict* props);
    void RemoveGlobal(std::uint32_t id);
    bool Attribute(Node& node);
    bool UpdateReplayers();
    bool Concerns(const Port& port) const;
    static bool Captured(const Node& node);

    static const pw_registry_events kRegistryEvents;
    static const pw_node_events kNodeEvents;
    static const pw_client_events kClientEvents;

    SessionEvents& session_;
    CaptureRule rule_;
    ProcessTree tree_;
    std::function<bool(std::uint32_t)> ours_;
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    bool daemonIsOurs_ = true;  // until our own client says otherwise
    std::string connection_;

    std::map<std::uint32_t, Node*> nodes_;  // application streams
    std::map<std::uint32_t, Client*> clients_;
    std::map<std::uint32_t, Port> ports_;
    std::map<std::uint32_t, OtherNode> others_;
    std::map<std::uint32_t, Edge> edges_;  // every link of the graph, ours too
};
