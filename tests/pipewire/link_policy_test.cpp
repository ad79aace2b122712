#include "link_policy.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Source = Attribution::Source;

ClientFacts Native(std::uint32_t id, std::uint32_t sec) { return {true, id, sec, false, "pw-cat"}; }

TEST(Attribution, TrustsTheDaemonOverClaimsFromAnotherNamespace) {
    const ClientFacts pulse{true, 42, 300, true, "pacat"};
    struct { std::uint32_t nodeClaim; ClientFacts client; bool daemonIsOurs; Source source;
             std::uint32_t pid; } const cases[] = {
        {0, Native(1, 5000), true, Source::Vouched, 5000},    // native in a sandbox: claims 1
        {2, Native(2, 5000), true, Source::Vouched, 5000},    // node repeats the inner pid
        {700, Native(500, 500), true, Source::Vouched, 700},  // plays for another process
        {3, Native(1, 5000), true, Source::Vouched, 5000},    // in a sandbox: cannot speak for 3
        {0, pulse, true, Source::Claimed, 42},                // the socket is the server's
        {0, ClientFacts{true, 77, 0, false, "x"}, true, Source::Claimed, 77},  // no credentials
        {600, ClientFacts{}, true, Source::Unknown, 0},       // client not seen yet
        {0, ClientFacts{true, 0, 0, true, ""}, true, Source::Unknown, 0},  // says nothing
        {0, Native(500, 500), false, Source::Elsewhere, 0},  // we are inside; daemon's namespace
        {0, Native(3, 5003), false, Source::Claimed, 3},     // we are inside; maybe our sandbox
    };
    for (const auto& c : cases) {
        const Attribution who = AttributeNode(c.nodeClaim, c.client, c.daemonIsOurs);
        EXPECT_EQ(who.source, c.source) << &c - cases;
        EXPECT_EQ(who.pid, c.pid) << &c - cases;
    }
    EXPECT_EQ(AttributeNode(0, pulse).binary, "pacat");
}

TEST(Decision, IncludeExcludeOwnAndUndecided) {
    const auto inTree = [](std::uint32_t pid) { return pid >= 10 && pid <= 12; };
    const CaptureRule include{10, false, 99}, exclude{10, true, 99};
    const Verdict C = Verdict::Capture, S = Verdict::Skip, U = Verdict::Undecided;
    struct { bool known; std::vector<std::uint32_t> pids; Verdict in, ex; } const cases[] = {
        {true, {12}, C, S}, {true, {20}, S, C}, {true, {99}, S, S},  // member, stranger, us
        {false, {}, U, U}, {true, {}, S, C},  // process not known yet, no such process
        {true, {11, 12}, C, S}, {true, {12, 20}, S, S},  // ambiguous: all ours, partly ours
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decide(include, c.known, c.pids, inTree), c.in) << &c - cases;
        EXPECT_EQ(Decide(exclude, c.known, c.pids, inTree), c.ex) << &c - cases;
    }
}

TEST(ChannelGains, OwnChannelsAtTheirLevelLeftStaysLeftFullScaleFits) {
    constexpr float k = 0.70710678f, s = 1.0f + 2.0f * k;  // one side of 5.1 at full scale
    const std::vector<std::string> st = {"FL", "FR"}, sur = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    const std::vector<PortGains> up = {{1, 0}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}},
        full = {{1 / s, 0}, {0, 1 / s}, {k / s, k / s}, {0, 0}, {k / s, 0}, {0, k / s}};
    std::vector<PortGains> full71 = full;
    full71.insert(full71.end(), {{0, 0}, {0, 0}});  // 7.1's extra sides are copies
    struct { std::vector<std::string> app, ports; std::vector<PortGains> g; } const layouts[] = {
        {st, sur, up}, {{"MONO"}, sur, up}, {{}, sur, up},  // last: format not known yet
        {{"FC"}, sur, {{0, 0}, {0, 0}, {1, 1}, {0, 0}, {0, 0}, {0, 0}}},
        {{"", ""}, {"AUX0", "AUX1", "AUX2"}, {{1, 0}, {0, 1}, {0, 0}}},  // unnamed channels
        {sur, sur, full}, {{"FL", "FR", "FC", "LFE", "SL", "SR"}, sur, full},
        {st, {"MONO"}, {{1, 1}}}, {sur, st, {{1, 0}, {0, 1}}},  // mono sink; daemon downmixes
        {sur, {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"}, full71},
        {sur, {"FC", "LFE"}, {{k, k}, {0, 0}}},  // only the centre has a port: -3 dB, not raised
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(&layout - layouts);
        const std::vector<PortGains> gains = ChannelGains(layout.app, layout.ports);
        ASSERT_EQ(gains.size(), layout.ports.size());
        float left = 0, right = 0;
        for (std::size_t i = 0; i < gains.size(); ++i) {
            EXPECT_NEAR(gains[i].left, layout.g[i].left, 1e-5) << i;
            EXPECT_NEAR(gains[i].right, layout.g[i].right, 1e-5) << i;
            left += gains[i].left, right += gains[i].right;
        }
        EXPECT_LE(std::max(left, right), 1.0f + 1e-5);
    }
}

}  // namespace
