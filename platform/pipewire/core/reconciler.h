// Which taps, spares and links should exist, decided from a snapshot of the
// graph as we mirror it. No PipeWire here: the session gathers the facts,
// asks, and carries the answers out. Runs on the session's loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <vector>

constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;
// Spare streams kept ready at most, however many new streams wait.
constexpr std::size_t kMaxSpares = 32;

struct LinkKey {
    std::uint32_t outputNode, outputPort, inputNode, inputPort;
    bool operator<(const LinkKey& o) const {
        return std::tie(outputNode, outputPort, inputNode, inputPort) <
               std::tie(o.outputNode, o.outputPort, o.inputNode, o.inputPort);
    }
    bool operator==(const LinkKey& o) const = default;
};

// A link or a stream of ours, kept while it is wanted, also while it is lost
// and waits to be made again.
struct RetryRecord {
    bool live = false;       // made, neither refused, failed nor removed since
    unsigned failures = 0;   // losses in a row
    std::int64_t madeAt = 0;   // ms, steady clock
    std::int64_t retryAt = 0;  // ms; when lost, not made again before
};

// A loss soon after it was made counts as one more failure in a row; one
// that lived a while starts the count again.
constexpr std::int64_t kSteadyMs = 500;
std::int64_t RetryDelayMs(unsigned failures);  // 50 ms, doubling, at most 5 s
void NoteMade(RetryRecord& record, std::int64_t now);
void NoteLost(RetryRecord& record, std::int64_t now);
// Whether a lost one waits for its retry at `now`; if so, wakeAt becomes the
// earliest retry it has seen (-1: none yet).
bool Waits(const RetryRecord& record, std::int64_t now, std::int64_t& wakeAt);

// An application stream as the mirror knows it.
struct StreamFacts {
    bool captured = false;  // its verdict is to capture it
    bool ruledOut = false;  // its verdict is final and not to capture it
    std::vector<std::uint32_t> ports;  // its output ports, in port order
    std::uint32_t portCount = 0;       // how many its info announces
};

// An input stream of ours: a tap of one application stream, or a spare.
struct TapFacts {
    std::uint32_t appNode = kNoNode;  // kNoNode while it waits as a spare
    std::vector<std::uint32_t> appPorts;
    std::uint32_t channels = 0;
    bool failed = false;  // could not be made, went to an error state or was removed
    std::uint32_t node = kNoNode;      // our stream's node, once known
    std::vector<std::uint32_t> ports;  // our input ports, in port order
    bool Linkable() const { return !failed && node != kNoNode && ports.size() == channels; }
};

struct TapSnapshot {
    bool capturing = false;
    std::int64_t now = 0;  // ms, steady clock
    std::map<std::uint32_t, StreamFacts> streams;  // by node
    std::map<std::uint32_t, TapFacts> taps;        // by application node
    std::vector<TapFacts> spares;                  // oldest first
    std::uint32_t spareChannels = 2;
};

// The losses of our streams, kept by the session from one pass to the next:
// a tap that fails is dropped and made again for its application stream,
// spares that fail are replaced, each when its retry is due.
struct TapRecords {
    std::map<std::uint32_t, RetryRecord> taps;  // by application node
    RetryRecord spares;
};

struct TapPlan {
    std::vector<std::uint32_t> drop;  // taps to destroy, by application node
    struct Attach {
        std::uint32_t node;
        std::vector<std::uint32_t> ports;
        int spare;  // index into the snapshot's spares, or -1 for a new stream
    };
    std::vector<Attach> attach;
    std::vector<std::size_t> dropSpares;  // indexes into the snapshot's spares, highest first
    std::size_t newSpares = 0;
    std::uint32_t spareChannels = 2;
    std::int64_t wakeAt = -1;  // the next stream's retry, -1 if none waits
};

// A failed tap or spare is never handed out: it is dropped, and noted lost
// in records, which also learn of every tap and spare the plan makes.
TapPlan PlanTaps(const TapSnapshot& snapshot, TapRecords& records);

// Every port of every linkable tap fed by its application's port of the same
// place, nothing else.
std::set<LinkKey> WantedLinks(const std::vector<TapFacts>& taps);

struct LinkPlan {
    std::vector<LinkKey> drop;  // ours, no longer wanted
    std::vector<LinkKey> make;  // new, or lost and due again
    std::int64_t wakeAt = -1;   // the next lost link's retry, -1 if none waits
};

LinkPlan PlanLinks(const std::set<LinkKey>& wanted, const std::map<LinkKey, RetryRecord>& ours,
                   std::int64_t now);

// A node that is not an application stream, and a link, as far as re-players go.
struct OtherNode {
    std::uint32_t client = kNoNode;
    bool sink = false;  // Audio/Sink: its monitor carries what applications play
};
struct Edge {
    std::uint32_t outputNode, inputNode;
};

// Whether an application stream that is one half of an effect (a loopback,
// filter chain, echo canceller: node.link-group) plays again what
// applications send into the other half, a node of the same client that
// takes input. It does when that half is fed, directly or through up to
// four other nodes, by an application stream or a sink's monitor; those
// applications are then captured from their own ports, once, by their own
// verdicts. Fed by nothing of the kind (a microphone monitor), it is a player
// of its own process like any other.
bool ReplaysApplications(std::uint32_t node, std::uint32_t client,
                         const std::map<std::uint32_t, OtherNode>& others,
                         const std::map<std::uint32_t, Edge>& edges,
                         const std::function<bool(std::uint32_t)>& isStream,
                         const std::function<bool(std::uint32_t)>& isOurs);
