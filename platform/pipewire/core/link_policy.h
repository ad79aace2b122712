// Which application streams we capture, and how each of their output ports
// maps into our left and right. Pure decisions over what the graph reports;
// the PipeWire plumbing gathers the facts and applies the answers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What a client object says about the process behind it.
struct ClientFacts {
    bool known = false;             // its info has arrived
    std::uint32_t claimedPid = 0;   // application.process.id, as the client sees it
    std::uint32_t securityPid = 0;  // pipewire.sec.pid, from the socket's credentials
    bool pulseServer = false;       // a client of the pulse server, which owns the socket
    std::string binary;             // application.process.binary
};

// Who played a stream, as far as the graph tells.
struct Attribution {
    enum class Source {
        Unknown,  // not enough facts yet; decided when they arrive
        Vouched,  // pid in our namespace: the daemon's, or the node's of a client it vouches for
        Claimed,  // the client's own word, checked by name: its pid may be in another namespace
        Elsewhere,  // a process of the daemon's namespace, which we cannot see
    };
    Source source = Source::Unknown;
    std::uint32_t pid = 0;
    std::string binary;  // for Claimed: what the process calls itself
};

// nodeClaimedPid: the node's own application.process.id, 0 when absent.
// daemonIsOurs: false when we run in a PID namespace inside the daemon's (our
// own client's claim differs from its pipewire.sec.pid), where the daemon's
// pids mean nothing to us.
Attribution AttributeNode(std::uint32_t nodeClaimedPid, const ClientFacts& client,
                          bool daemonIsOurs = true);

struct CaptureRule {
    std::uint32_t targetPid = 0;
    bool excludeTree = false;
    std::uint32_t ownPid = 0;
};

enum class Verdict { Undecided, Capture, Skip };

// candidates: the processes in our namespace the stream may belong to (one,
// unless a claim from another namespace matched several); resolved is false
// while the attribution is still unknown. inTree tells membership of the
// target's tree.
Verdict Decide(const CaptureRule& rule, bool resolved,
               const std::vector<std::uint32_t>& candidates,
               const std::function<bool(std::uint32_t)>& inTree);

struct PortGains {
    float left;
    float right;
};

// appPositions: the channel positions of the application's own format
// ("FL", "FR", "MONO", ...), empty while unknown. portPositions: the node's
// output ports in order, which carry the sink's layout after any up- or
// downmix. Returns one gain pair per port.
std::vector<PortGains> ChannelGains(const std::vector<std::string>& appPositions,
                                    const std::vector<std::string>& portPositions);
