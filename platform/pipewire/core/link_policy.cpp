#include "link_policy.h"

#include <algorithm>
#include <string_view>

Attribution AttributeNode(std::uint32_t nodeClaimedPid, const ClientFacts& client,
                          bool daemonIsOurs) {
    Attribution result;
    if (!client.known) {
        // A stream made on someone's behalf says so on the node, but without
        // the client we cannot tell which namespace that claim lives in.
        return result;
    }
    // A pulse client's socket belongs to the pulse server, so its credentials
    // say nothing about the player; a client without credentials (another
    // protocol) has none at all. Inside a sandbox ourselves, the daemon's
    // pids mean nothing to us: a client whose claim differs from its
    // credentials claims an inner pid, perhaps of our namespace, and one
    // whose claim matches lives in the daemon's namespace, an ancestor of
    // ours, where nothing can descend from a process we can name.
    const bool claimOnly = client.pulseServer || client.securityPid == 0 ||
                           (!daemonIsOurs && client.claimedPid != client.securityPid);
    if (claimOnly) {
        const std::uint32_t claim = nodeClaimedPid != 0 ? nodeClaimedPid : client.claimedPid;
        if (claim == 0) return result;
        result.source = Attribution::Source::Claimed;
        result.pid = claim;
        result.binary = client.binary;
        return result;
    }
    if (!daemonIsOurs) {
        result.source = Attribution::Source::Elsewhere;
        return result;
    }
    result.source = Attribution::Source::Vouched;
    result.pid = client.securityPid;
    // A node may name the process it plays for (a bridge, a portal). That is
    // only meaningful when the client's own claim shows it shares our
    // namespace; in a sandbox every claim is an inner pid.
    if (nodeClaimedPid != 0 && client.claimedPid == client.securityPid)
        result.pid = nodeClaimedPid;
    return result;
}

Verdict Decide(const CaptureRule& rule, bool resolved,
               const std::vector<std::uint32_t>& candidates,
               const std::function<bool(std::uint32_t)>& inTree) {
    if (!resolved) return Verdict::Undecided;
    for (std::uint32_t pid : candidates)
        if (pid == rule.ownPid) return Verdict::Skip;
    if (rule.excludeTree) {
        // An echo is worse than a gap: one matching candidate is enough to
        // leave the stream out. Unattributable streams are not the tree's.
        for (std::uint32_t pid : candidates)
            if (inTree(pid)) return Verdict::Skip;
        return Verdict::Capture;
    }
    // Ambiguous claims are captured only when every reading of them is ours.
    if (candidates.empty()) return Verdict::Skip;
    for (std::uint32_t pid : candidates)
        if (!inTree(pid)) return Verdict::Skip;
    return Verdict::Capture;
}

namespace {

constexpr float kMinus3dB = 0.70710678f;

enum class Side { Left, Right, Centre, Surround, SurroundLeft, SurroundRight, None };

Side SideOf(std::string_view position) {
    if (position == "FL" || position == "FLC" || position == "FLW" || position == "TFL")
        return Side::Left;
    if (position == "FR" || position == "FRC" || position == "FRW" || position == "TFR")
        return Side::Right;
    if (position == "FC" || position == "MONO" || position == "TFC") return Side::Centre;
    if (position == "SL" || position == "RL" || position == "TRL" || position == "TSL")
        return Side::SurroundLeft;
    if (position == "SR" || position == "RR" || position == "TRR" || position == "TSR")
        return Side::SurroundRight;
    if (position == "RC" || position == "TC" || position == "TRC") return Side::Surround;
    return Side::None;  // LFE and anything unknown
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// Whether a port carries one of the application's own channels. Side and
// rear surrounds stand in for each other when the sink has only the other
// kind; where it has both, the ones not named by the application are copies.
bool CarriesOwnChannel(const std::vector<std::string>& app, const std::vector<std::string>& ports,
                       const std::string& port) {
    if (Contains(app, port)) return true;
    const Side side = SideOf(port);
    if (side != Side::SurroundLeft && side != Side::SurroundRight) return false;
    const auto ownSide = [&](const std::string& name) { return SideOf(name) == side; };
    const bool appHasSide = std::any_of(app.begin(), app.end(), ownSide);
    const bool sideHasOwnPort = std::any_of(ports.begin(), ports.end(), [&](const std::string& p) {
        return ownSide(p) && Contains(app, p);
    });
    return appHasSide && !sideHasOwnPort;
}

PortGains Downmix(Side side) {
    switch (side) {
        case Side::Left: return {1.0f, 0.0f};
        case Side::Right: return {0.0f, 1.0f};
        case Side::Centre:
        case Side::Surround: return {kMinus3dB, kMinus3dB};
        case Side::SurroundLeft: return {kMinus3dB, 0.0f};
        case Side::SurroundRight: return {0.0f, kMinus3dB};
        case Side::None: break;
    }
    return {0.0f, 0.0f};
}

// The front pair, where the daemon put whatever the application played when
// its own channels have no port of their own.
void FrontPair(const std::vector<std::string>& ports, std::vector<PortGains>& gains) {
    bool found = false;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i] == "FL") gains[i] = {1.0f, 0.0f}, found = true;
        if (ports[i] == "FR") gains[i] = {0.0f, 1.0f}, found = true;
    }
    if (found) return;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i] == "MONO") {
            gains[i] = {1.0f, 1.0f};
            return;
        }
    }
    // Unnamed channels (AUX0...): first left, second right, a lone one both.
    if (ports.size() == 1) gains[0] = {1.0f, 1.0f};
    if (ports.size() >= 2) gains[0] = {1.0f, 0.0f}, gains[1] = {0.0f, 1.0f};
}

}  // namespace

std::vector<PortGains> ChannelGains(const std::vector<std::string>& app,
                                    const std::vector<std::string>& ports) {
    std::vector<PortGains> gains(ports.size(), PortGains{0.0f, 0.0f});
    bool any = false;
    if (app.size() > 2) {
        // Real surround: the standard downmix over the ports that carry the
        // application's channels, scaled so a full-scale signal on every
        // channel at once cannot clip.
        float sumLeft = 0.0f, sumRight = 0.0f;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (!CarriesOwnChannel(app, ports, ports[i])) continue;
            gains[i] = Downmix(SideOf(ports[i]));
            sumLeft += gains[i].left;
            sumRight += gains[i].right;
            any = any || gains[i].left > 0.0f || gains[i].right > 0.0f;
        }
        const float scale = std::max({sumLeft, sumRight, 1.0f});
        for (PortGains& gain : gains) gain = {gain.left / scale, gain.right / scale};
    } else {
        // One or two channels: what the daemon upmixed beyond them is a copy,
        // so only the application's own channels count, at their level.
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (!Contains(app, ports[i])) continue;
            const Side side = SideOf(ports[i]);
            if (app.size() == 1 || side == Side::Centre || side == Side::Surround)
                gains[i] = {1.0f, 1.0f};
            else if (side == Side::Left || side == Side::SurroundLeft)
                gains[i] = {1.0f, 0.0f};
            else if (side == Side::Right || side == Side::SurroundRight)
                gains[i] = {0.0f, 1.0f};
            else
                continue;
            any = true;
        }
    }
    if (!any) FrontPair(ports, gains);
    return gains;
}
