#include "reconciler.h"
#include "tap_chunk.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

StreamFacts Captured(std::vector<std::uint32_t> ports) {
    const auto count = static_cast<std::uint32_t>(ports.size());
    return {true, false, std::move(ports), count};
}

TapFacts Spare(std::uint32_t channels, std::uint32_t node, bool linkable = true) {
    TapFacts spare{kNoNode, {}, channels, false, node, {}};
    if (linkable)
        for (std::uint32_t k = 0; k < channels; ++k) spare.ports.push_back(node * 10 + k);
    return spare;
}

TapFacts Tapping(std::uint32_t app, std::vector<std::uint32_t> appPorts, std::uint32_t node) {
    TapFacts tap = Spare(static_cast<std::uint32_t>(appPorts.size()), node);
    tap.appNode = app;
    tap.appPorts = std::move(appPorts);
    return tap;
}

TEST(Taps, WhoGetsATapAndWhichGoesNeverAFailedOne) {
    TapSnapshot s;
    s.capturing = true;
    s.streams[50] = Captured({51, 52});                   // new, ports complete
    s.streams[60] = {true, false, {61}, 2};               // second port still on its way
    s.streams[70] = Captured({71, 72});                   // tapped, unchanged
    s.streams[80] = Captured({81, 83});                   // tapped, ports changed
    s.streams[90] = {false, true, {}, 2};                 // ruled out, had a tap
    s.taps[70] = Tapping(70, {71, 72}, 700);
    s.taps[80] = Tapping(80, {81, 82}, 800);
    s.taps[90] = Tapping(90, {91, 92}, 900);
    s.taps[99] = Tapping(99, {98}, 990);                  // its stream went
    s.spares = {Spare(2, 95), Spare(2, 100, false), Spare(2, 110), Spare(1, 120)};
    s.spares[0].failed = true;                            // removed, or in error
    TapRecords records;
    const TapPlan plan = PlanTaps(s, records);

    std::vector<std::uint32_t> dropped = plan.drop;
    std::sort(dropped.begin(), dropped.end());
    EXPECT_EQ(dropped, (std::vector<std::uint32_t>{80, 90, 99}));
    ASSERT_EQ(plan.attach.size(), 2u);  // 50 and 80 again; 60 waits for its port
    EXPECT_EQ(plan.attach[0].node, 50u);
    EXPECT_EQ(plan.attach[0].spare, 2);  // the linkable spare before the one still setting up
    EXPECT_EQ(plan.attach[1].node, 80u);
    EXPECT_EQ(plan.attach[1].ports, (std::vector<std::uint32_t>{81, 83}));
    EXPECT_EQ(plan.attach[1].spare, 1);  // setting up, yet healthy: not the failed one
    // One spare plus one for 60, all of the last stream's width: the mono and the failed go.
    EXPECT_EQ(plan.dropSpares, (std::vector<std::size_t>{3, 0}));
    EXPECT_EQ(plan.newSpares, 2u);

    s.capturing = false;
    const TapPlan stop = PlanTaps(s, records);
    EXPECT_EQ(stop.drop.size(), s.taps.size());
    EXPECT_EQ(stop.dropSpares, (std::vector<std::size_t>{3, 2, 1, 0}));
    EXPECT_TRUE(stop.attach.empty());
    EXPECT_EQ(stop.newSpares, 0u);
}

TEST(Taps, SparesFollowWhatWaits) {
    TapSnapshot s;
    s.capturing = true;
    TapRecords records;
    for (std::uint32_t n = 0; n < 40; ++n) s.streams[n] = {false, false, {}, 0};  // undecided
    EXPECT_EQ(PlanTaps(s, records).newSpares, kMaxSpares);
    s.streams.clear();
    s.spares = {Spare(2, 100), Spare(2, 110), Spare(2, 120)};
    EXPECT_EQ(PlanTaps(s, records).dropSpares, (std::vector<std::size_t>{2, 1}));  // newest go first
}

// Our stream of an application and our spare, destroyed or failed: each is
// dropped and made again after 50 ms, 100, 200 while it fails within 0.5 s
// of being made, 50 again once it lived longer.
TEST(Taps, FailedStreamsOfOursComeBackWithTheLinksBackoff) {
    TapSnapshot s;
    s.capturing = true;
    s.streams[50] = Captured({51, 52});
    TapRecords records;
    s.now = 1000;
    ASSERT_EQ(PlanTaps(s, records).attach.size(), 1u);
    for (const auto& [lived, delay] : {std::pair{0, 50}, {10, 100}, {499, 200}, {500, 50}}) {
        SCOPED_TRACE(lived);
        s.now += lived;
        s.taps[50] = Tapping(50, {51, 52}, 500);
        s.spares = {Spare(2, 600)};
        s.taps[50].failed = s.spares[0].failed = true;
        const TapPlan lost = PlanTaps(s, records);
        EXPECT_EQ(lost.drop, (std::vector<std::uint32_t>{50}));
        EXPECT_EQ(lost.dropSpares, (std::vector<std::size_t>{0}));
        EXPECT_TRUE(lost.attach.empty() && lost.newSpares == 0);
        EXPECT_EQ(lost.wakeAt, s.now + delay);
        s.taps.clear(), s.spares.clear();
        s.now += delay - 1;
        EXPECT_TRUE(PlanTaps(s, records).attach.empty());
        s.now += 1;
        const TapPlan again = PlanTaps(s, records);
        EXPECT_EQ(again.attach.size(), 1u);
        EXPECT_EQ(again.newSpares, 1u);
    }
}

TEST(Links, EachTapPortFedByItsApplicationPortAndNothingLeftBehind) {
    const std::vector<TapFacts> taps = {Tapping(50, {52, 51}, 500), Spare(2, 600),
                                        Tapping(70, {71}, 700)};
    std::vector<TapFacts> settingUp = taps;
    settingUp[2].ports.clear();
    EXPECT_EQ(WantedLinks(taps), (std::set<LinkKey>{{50, 52, 500, 5000}, {50, 51, 500, 5001},
                                                    {70, 71, 700, 7000}}));
    EXPECT_EQ(WantedLinks(settingUp).size(), 2u);

    // The stream of node 70 goes while a new one reuses its port ids: only
    // the new links are made and every link into the old tap is dropped.
    std::map<LinkKey, RetryRecord> ours;
    for (const LinkKey& key : WantedLinks(taps)) NoteMade(ours[key], 0);
    const std::vector<TapFacts> after = {taps[0], Tapping(80, {71}, 800)};
    const LinkPlan plan = PlanLinks(WantedLinks(after), ours, 10);
    EXPECT_EQ(plan.drop, (std::vector<LinkKey>{{70, 71, 700, 7000}}));
    EXPECT_EQ(plan.make, (std::vector<LinkKey>{{80, 71, 800, 8000}}));
    EXPECT_EQ(plan.wakeAt, -1);
}

// Beyond what failed streams show: a link refused and then removed is one
// loss, the wait stops growing at 5 s, and a link no longer wanted is dropped.
TEST(Links, LostLinksComeBackNoLaterThan5sAndOnlyWhileWanted) {
    const LinkKey key{50, 51, 500, 5000};
    std::map<LinkKey, RetryRecord> ours;
    for (std::int64_t now = 0, loss = 1; loss <= 10; ++loss, now += 10000) {
        NoteMade(ours[key], now);
        NoteLost(ours[key], now + 10);
        NoteLost(ours[key], now + 10);  // refused, then removed
        EXPECT_EQ(PlanLinks({key}, ours, now + 10).wakeAt - now - 10,
                  std::min<std::int64_t>(50 << (loss - 1), 5000)) << loss;
    }
    EXPECT_EQ(PlanLinks({}, ours, 1 << 30).drop, (std::vector<LinkKey>{key}));
    EXPECT_TRUE(PlanLinks({}, ours, 1 << 30).make.empty());
}

TEST(Replayers, FedByApplicationsOrByNothingOfTheKind) {
    // Client 7 runs an effect: 10 is its output stream, 11 the sink it takes
    // input from. 20 and 21 are application streams, 30 a device sink, 40 a
    // microphone, 41 a virtual source, 50 our own tap, 60 another client's sink,
    // 71 to 75 filters of a chain.
    const std::map<std::uint32_t, OtherNode> others = {
        {11, {7, true}}, {30, {2, true}}, {40, {2, false}}, {41, {9, false}}, {50, {7, false}},
        {60, {8, true}}, {71, {9, false}}, {72, {9, false}}, {73, {9, false}},
        {74, {9, false}}, {75, {9, false}}};
    const std::map<std::uint32_t, Edge> chain = {  // 20 through 75, 74, 73, 72 and 71
        {1, {20, 75}}, {2, {75, 74}}, {3, {74, 73}}, {4, {73, 72}}, {5, {72, 71}}, {6, {71, 11}}};
    std::map<std::uint32_t, Edge> shorter = chain;
    shorter.erase(1), shorter[2] = {20, 74};
    const auto isStream = [](std::uint32_t n) { return n == 10 || n == 20 || n == 21; };
    const auto isOurs = [](std::uint32_t n) { return n == 50; };
    struct { std::map<std::uint32_t, Edge> edges; bool replays; } const cases[] = {
        {{{1, {20, 11}}}, true},                     // an application plays into it
        {{{1, {30, 11}}}, true},                     // a sink's monitor
        {{{1, {21, 41}}, {2, {41, 11}}}, true},      // through a virtual source
        {{{1, {40, 11}}}, false},                    // a microphone monitor
        {{}, false},                                 // fed by nothing
        {{{1, {20, 60}}}, false},                    // into another client's sink
        {{{1, {20, 50}}}, false},                    // into our own tap
        {{{1, {10, 11}}}, false},                    // its own output looped back
        {shorter, true},                             // through four other nodes
        {chain, false},                              // through five: too far to follow
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaysApplications(10, 7, others, c.edges, isStream, isOurs), c.replays)
            << &c - cases;
    EXPECT_FALSE(ReplaysApplications(10, kNoNode, others, cases[0].edges, isStream, isOurs));
}

TEST(Chunks, APeersChunkNeverReachesPastItsPlane) {
    struct { std::uint32_t offset, size, maxsize, start, samples; } const cases[] = {
        {0, 4096, 4096, 0, 1024},      // the whole plane
        {1024, 4096, 4096, 1024, 768}, // size past the end
        {8192, 4096, 4096, 4096, 0},   // offset past the end
        {0, 0xFFFFFFFFu, 4096, 0, 1024},
        {100, 10, 4096, 100, 2},       // part of a sample is no sample
    };
    for (const auto& c : cases) {
        const ChunkSpan span = ClampChunk(c.offset, c.size, c.maxsize);
        EXPECT_EQ(span.offset, c.start) << &c - cases;
        EXPECT_EQ(span.samples, c.samples) << &c - cases;
    }
}

}  // namespace
