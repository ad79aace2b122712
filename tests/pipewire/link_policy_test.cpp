#include "link_policy.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using Source = Attribution::Source;

ClientFacts Native(std::uint32_t claimed, std::uint32_t security) {
    return ClientFacts{true, claimed, security, false, "pw-cat"};
}

TEST(Attribution, TrustsTheDaemonOverClaimsFromAnotherNamespace) {
    const ClientFacts pulse{true, 42, 300, true, "pacat"};
    struct Case {
        const char* name;
        std::uint32_t nodeClaim;
        ClientFacts client;
        bool daemonIsOurs;
        Source source;
        std::uint32_t pid;
    } cases[] = {
        {"native, our namespace", 0, Native(500, 500), true, Source::Vouched, 500},
        {"native in a sandbox: claims 1", 0, Native(1, 5000), true, Source::Vouched, 5000},
        {"sandboxed node repeats the inner pid", 2, Native(2, 5000), true, Source::Vouched, 5000},
        {"node plays for another process of ours", 700, Native(500, 500), true, Source::Claimed,
         700},
        {"pulse client: the socket is the server's", 0, pulse, true, Source::Claimed, 42},
        {"pulse node names its player", 43, pulse, true, Source::Claimed, 43},
        {"no credentials at all", 0, ClientFacts{true, 77, 0, false, "x"}, true, Source::Claimed,
         77},
        {"client not seen yet", 600, ClientFacts{}, true, Source::Unknown, 0},
        {"client says nothing", 0, ClientFacts{true, 0, 0, true, ""}, true, Source::Unknown, 0},
        // We run in a sandbox: the daemon's pids name nothing we can see.
        {"inside: client of the daemon's namespace", 0, Native(500, 500), false,
         Source::Elsewhere, 0},
        {"inside: client of a sandbox, maybe ours", 0, Native(3, 5003), false, Source::Claimed, 3},
        {"inside: pulse client", 0, pulse, false, Source::Claimed, 42},
    };
    for (const Case& c : cases) {
        const Attribution who = AttributeNode(c.nodeClaim, c.client, c.daemonIsOurs);
        EXPECT_EQ(who.source, c.source) << c.name;
        EXPECT_EQ(who.pid, c.pid) << c.name;
    }
    EXPECT_EQ(AttributeNode(0, pulse).binary, "pacat");
}

TEST(Decision, IncludeExcludeOwnAndUndecided) {
    const std::set<std::uint32_t> tree = {10, 11, 12};
    const auto inTree = [&](std::uint32_t pid) { return tree.count(pid) != 0; };
    const CaptureRule include{10, false, 99}, exclude{10, true, 99};
    struct Case {
        const char* name;
        bool resolved;
        std::vector<std::uint32_t> candidates;
        Verdict include, exclude;
    } cases[] = {
        {"member", true, {12}, Verdict::Capture, Verdict::Skip},
        {"stranger", true, {20}, Verdict::Skip, Verdict::Capture},
        {"ourselves", true, {99}, Verdict::Skip, Verdict::Skip},
        {"process not known yet", false, {}, Verdict::Undecided, Verdict::Undecided},
        {"claim that matches no process", true, {}, Verdict::Skip, Verdict::Capture},
        {"ambiguous claim, all ours", true, {11, 12}, Verdict::Capture, Verdict::Skip},
        {"ambiguous claim, partly ours", true, {12, 20}, Verdict::Skip, Verdict::Skip},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decide(include, c.resolved, c.candidates, inTree), c.include) << c.name;
        EXPECT_EQ(Decide(exclude, c.resolved, c.candidates, inTree), c.exclude) << c.name;
    }
}

TEST(Decision, NodeWhoseProcessAppearsLateIsDecidedThen) {
    const CaptureRule rule{10, false, 99};
    const auto inTree = [](std::uint32_t pid) { return pid == 10 || pid == 5000; };
    Attribution who = AttributeNode(0, ClientFacts{});
    EXPECT_EQ(Decide(rule, who.source != Source::Unknown, {}, inTree), Verdict::Undecided);
    who = AttributeNode(0, Native(1, 5000));
    EXPECT_EQ(Decide(rule, who.source != Source::Unknown, {who.pid}, inTree), Verdict::Capture);
}

struct Layout {
    const char* name;
    std::vector<std::string> app, ports;
    std::vector<PortGains> gains;
};

constexpr float k = 0.70710678f;
constexpr float s = 1.0f + 2.0f * k;  // one side of 5.1 at full scale

TEST(ChannelGains, OwnChannelsAtTheirLevelLeftStaysLeft) {
    const std::vector<std::string> surround = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    const Layout layouts[] = {
        {"stereo on stereo", {"FL", "FR"}, {"FL", "FR"}, {{1, 0}, {0, 1}}},
        {"stereo upmixed to 5.1", {"FL", "FR"}, surround,
         {{1, 0}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {"mono upmixed to 5.1", {"MONO"}, surround,
         {{1, 0}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {"mono on stereo", {"MONO"}, {"FL", "FR"}, {{1, 0}, {0, 1}}},
        {"centre only on 5.1", {"FC"}, surround,
         {{0, 0}, {0, 0}, {1, 1}, {0, 0}, {0, 0}, {0, 0}}},
        {"centre only on stereo", {"FC"}, {"FL", "FR"}, {{1, 0}, {0, 1}}},
        {"stereo on a mono sink", {"FL", "FR"}, {"MONO"}, {{1, 1}}},
        {"format not known yet", {}, surround,
         {{1, 0}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {"unnamed channels", {"", ""}, {"AUX0", "AUX1", "AUX2"}, {{1, 0}, {0, 1}, {0, 0}}},
        {"native 5.1", surround, surround,
         {{1 / s, 0}, {0, 1 / s}, {k / s, k / s}, {0, 0}, {k / s, 0}, {0, k / s}}},
        {"5.1 with side surrounds on a rear layout", {"FL", "FR", "FC", "LFE", "SL", "SR"},
         surround, {{1 / s, 0}, {0, 1 / s}, {k / s, k / s}, {0, 0}, {k / s, 0}, {0, k / s}}},
        {"5.1 downmixed by the daemon", surround, {"FL", "FR"}, {{1, 0}, {0, 1}}},
        {"5.1 on 7.1: extra sides are copies", surround,
         {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"},
         {{1 / s, 0}, {0, 1 / s}, {k / s, k / s}, {0, 0}, {k / s, 0}, {0, k / s}, {0, 0},
          {0, 0}}},
    };
    for (const Layout& layout : layouts) {
        const std::vector<PortGains> gains = ChannelGains(layout.app, layout.ports);
        ASSERT_EQ(gains.size(), layout.ports.size()) << layout.name;
        float left = 0, right = 0;
        for (std::size_t i = 0; i < gains.size(); ++i) {
            EXPECT_NEAR(gains[i].left, layout.gains[i].left, 1e-5) << layout.name << " " << i;
            EXPECT_NEAR(gains[i].right, layout.gains[i].right, 1e-5) << layout.name << " " << i;
            left += gains[i].left;
            right += gains[i].right;
        }
        // Full scale on every channel at once still fits.
        EXPECT_LE(left, 1.0f + 1e-5) << layout.name;
        EXPECT_LE(right, 1.0f + 1e-5) << layout.name;
    }
}

}  // namespace
