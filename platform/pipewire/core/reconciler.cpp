#include "reconciler.h"

#include <algorithm>

namespace {

constexpr std::int64_t kFirstRetryMs = 50;
constexpr std::int64_t kLongestRetryMs = 5000;
// Through how many other nodes a re-player's feed is traced back.
constexpr int kFeedDepth = 4;

}  // namespace

TapPlan PlanTaps(const TapSnapshot& s, TapRecords& records) {
    TapPlan plan;
    plan.spareChannels = s.spareChannels;
    if (!s.capturing) {
        for (const auto& [node, tap] : s.taps) plan.drop.push_back(node);
        for (std::size_t i = s.spares.size(); i-- > 0;) plan.dropSpares.push_back(i);
        records = {};
        return plan;
    }

    std::set<std::uint32_t> tapped;
    for (const auto& [node, tap] : s.taps) {
        const auto stream = s.streams.find(node);
        if (tap.failed) NoteLost(records.taps[node], s.now);
        if (tap.failed || stream == s.streams.end() || !stream->second.captured ||
            stream->second.ports != tap.appPorts)
            plan.drop.push_back(node);
        else
            tapped.insert(node);
    }
    for (auto it = records.taps.begin(); it != records.taps.end();) {
        const auto stream = s.streams.find(it->first);
        if (stream == s.streams.end() || !stream->second.captured)
            it = records.taps.erase(it);
        else
            ++it;
    }

    // A spare that fits saves a new stream's set-up (two graph cycles on a
    // quiet machine, far more while many start at once) at a sound's start.
    std::vector<bool> taken(s.spares.size(), false);
    for (const auto& [node, stream] : s.streams) {
        if (!stream.captured || tapped.count(node) != 0) continue;
        // Ports arrive one by one; a tap is made for the whole set.
        if (stream.ports.empty() || stream.ports.size() != stream.portCount) continue;
        if (const auto record = records.taps.find(node);
            record != records.taps.end() && Waits(record->second, s.now, plan.wakeAt))
            continue;
        const auto channels = static_cast<std::uint32_t>(stream.ports.size());
        int best = -1;
        for (std::size_t i = 0; i < s.spares.size(); ++i) {
            const TapFacts& spare = s.spares[i];
            if (taken[i] || spare.failed || spare.channels != channels) continue;
            if (best < 0 || (spare.Linkable() && !s.spares[best].Linkable()))
                best = static_cast<int>(i);
        }
        if (best >= 0) taken[best] = true;
        plan.attach.push_back({node, stream.ports, best});
        NoteMade(records.taps[node], s.now);
        plan.spareChannels = channels;
        tapped.insert(node);
    }

    // One spare, and one for every stream that may still need a tap.
    std::size_t wanted = 1;
    for (const auto& [node, stream] : s.streams)
        if (!stream.ruledOut && tapped.count(node) == 0) ++wanted;
    wanted = std::min(wanted, kMaxSpares);
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < s.spares.size(); ++i) {
        if (taken[i]) continue;
        const TapFacts& spare = s.spares[i];
        if (spare.failed) NoteLost(records.spares, s.now);
        if (spare.failed || spare.channels != plan.spareChannels)
            plan.dropSpares.push_back(i);
        else
            kept.push_back(i);
    }
    while (kept.size() > wanted) {  // the newest, least ready, go first
        plan.dropSpares.push_back(kept.back());
        kept.pop_back();
    }
    std::sort(plan.dropSpares.rbegin(), plan.dropSpares.rend());
    if (!Waits(records.spares, s.now, plan.wakeAt)) plan.newSpares = wanted - kept.size();
    if (plan.newSpares != 0) NoteMade(records.spares, s.now);
    return plan;
}

std::set<LinkKey> WantedLinks(const std::vector<TapFacts>& taps) {
    std::set<LinkKey> wanted;
    for (const TapFacts& tap : taps) {
        if (tap.appNode == kNoNode || !tap.Linkable() || tap.appPorts.size() != tap.ports.size())
            continue;
        for (std::size_t k = 0; k < tap.ports.size(); ++k)
            wanted.insert(LinkKey{tap.appNode, tap.appPorts[k], tap.node, tap.ports[k]});
    }
    return wanted;
}

std::int64_t RetryDelayMs(unsigned failures) {
    std::int64_t delay = kFirstRetryMs;
    for (unsigned k = 1; k < failures && delay < kLongestRetryMs; ++k) delay *= 2;
    return std::min(delay, kLongestRetryMs);
}

void NoteMade(RetryRecord& record, std::int64_t now) {
    record.live = true;
    record.madeAt = now;
}

void NoteLost(RetryRecord& record, std::int64_t now) {
    if (!record.live) return;  // refused and then removed: one loss
    record.live = false;
    record.failures = now - record.madeAt >= kSteadyMs ? 1 : record.failures + 1;
    record.retryAt = now + RetryDelayMs(record.failures);
}

bool Waits(const RetryRecord& record, std::int64_t now, std::int64_t& wakeAt) {
    if (record.live || now >= record.retryAt) return false;
    if (wakeAt < 0 || record.retryAt < wakeAt) wakeAt = record.retryAt;
    return true;
}

LinkPlan PlanLinks(const std::set<LinkKey>& wanted, const std::map<LinkKey, RetryRecord>& ours,
                   std::int64_t now) {
    LinkPlan plan;
    for (const auto& [key, record] : ours)
        if (wanted.count(key) == 0) plan.drop.push_back(key);
    for (const LinkKey& key : wanted) {
        const auto found = ours.find(key);
        if (found == ours.end() ||
            (!found->second.live && !Waits(found->second, now, plan.wakeAt)))
            plan.make.push_back(key);
    }
    return plan;
}

bool ReplaysApplications(std::uint32_t node, std::uint32_t client,
                         const std::map<std::uint32_t, OtherNode>& others,
                         const std::map<std::uint32_t, Edge>& edges,
                         const std::function<bool(std::uint32_t)>& isStream,
                         const std::function<bool(std::uint32_t)>& isOurs) {
    if (client == kNoNode) return false;
    std::set<std::uint32_t> fed;  // nodes whose feed counts
    for (const auto& [id, other] : others)
        if (other.client == client && id != node && !isOurs(id)) fed.insert(id);
    for (int depth = 0; depth <= kFeedDepth && !fed.empty(); ++depth) {
        std::set<std::uint32_t> next;
        for (const auto& [id, edge] : edges) {
            if (fed.count(edge.inputNode) == 0 || edge.outputNode == node) continue;
            if (isStream(edge.outputNode)) return true;
            const auto other = others.find(edge.outputNode);
            if (other == others.end()) continue;
            if (other->second.sink) return true;
            next.insert(edge.outputNode);
        }
        fed = std::move(next);
    }
    return false;
}
