#include "process_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Fake /proc: init 1; target 10 (start 1000, leads session 10) > 11 > 12; 20 > 21 unrelated.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sondrel-proc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        Process(1, 0, 1, 1);
        for (unsigned pid : {10u, 11u, 12u, 20u, 21u})
            Process(pid, pid % 10 ? pid - 1 : 1, pid - pid % 10, 1000, "/app.scope");
    }
    void TearDown() override { fs::remove_all(root_); }
    void Process(unsigned pid, unsigned parent, unsigned session, unsigned start = 1000,
                 std::string cgroup = "/", std::string ns = "", std::string name = "player",
                 unsigned group = 0) {
        const fs::path dir = root_ / "proc" / std::to_string(pid);
        fs::create_directories(dir);
        // The command name mimics fields, so only parsing after the last ')' works.
        // Each process leads its own process group unless told otherwise.
        std::ofstream(dir / "stat") << pid << " (a) S 9 (b) S " << parent << ' '
                                    << (group ? group : pid) << ' ' << session
                                    << " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 " << start << " 0 0\n";
        std::ofstream(dir / "cgroup") << "1:cpu:/elsewhere\n0::" << cgroup << "\n";
        std::ofstream(dir / "comm") << name << "\n";
        std::ofstream(dir / "status") << "Name:\t" << name << "\nNSpid:\t" << pid << ns << "\nNSpgid:\t0\n";
    }
    ProcessTree Tree(unsigned pid) { return ProcessTree(pid, root_ / "proc", root_ / "cgroup"); }
    fs::path root_;
};

TEST_F(FakeProc, MembersAreTheChainSeenOnceTheSessionOrAnOwnCgroupNeverAStrangerOrARecycledPid) {
    Process(12, 11, 12);                         // a session of its own: only the chain ties it
    Process(30, 1, 10, 1500);                    // double fork, still in the target's session
    Process(31, 1, 10, 500);                     // that session id, but older than the target
    Process(32, 1, 32, 1500, "/app.scope/sub");  // left the session: only the cgroup ties it
    Process(33, 1, 33, 1500, "/", "", "player", 10);  // in the target's process group only
    Process(34, 1, 34, 1500, "/app.scope-2");    // a cgroup whose name starts like the target's
    Process(41, 40, 40);                         // child of a missing target
    ProcessTree tree = Tree(10);
    for (unsigned pid : {10u, 11u, 12u, 30u}) EXPECT_TRUE(tree.Contains(pid)) << pid;
    for (unsigned pid : {1u, 20u, 21u, 31u, 32u, 33u, 99u, 0u})
        EXPECT_FALSE(tree.Contains(pid)) << pid;
    EXPECT_FALSE(Tree(40).Contains(40) || Tree(40).Contains(41));
    fs::create_directories(root_ / "cgroup/app.scope");
    std::ofstream(root_ / "cgroup/app.scope/cgroup.procs") << "10\n11\n12\n";
    ProcessTree owned = Tree(10);  // the target's tree alone in the cgroup
    EXPECT_TRUE(owned.Contains(32) && !owned.Contains(34));
    std::ofstream(root_ / "cgroup/app.scope/cgroup.procs") << "10\n11\n12\n20\n";
    EXPECT_FALSE(Tree(10).Contains(32));  // shared with a stranger, it says nothing
    Process(12, 1, 12), Process(11, 1, 1, 2000);  // 11 exited, its pid reused; 12 re-parented
    EXPECT_TRUE(tree.Contains(12) && !tree.Contains(11));
    Process(12, 1, 12, 3000);  // 12 exited too and its pid was reused
    EXPECT_FALSE(tree.Contains(12));
    // The target exited; a stranger took its pid, leads a session by that id
    // in a cgroup of the same name, and has a child there.
    Process(10, 1, 10, 5000, "/app.scope"), Process(36, 10, 10, 5001, "/app.scope/sub");
    EXPECT_FALSE(tree.Contains(36) || owned.Contains(36) || tree.Contains(10));
}

TEST_F(FakeProc, ClaimsFromAnotherNamespaceResolveByInnerPidAndName) {
    Process(40, 1, 40, 2000, "/", "\t2", "pacat");     // a sandbox's pid 2
    Process(41, 1, 41, 2000, "/", "\t7\t2", "pacat");  // nested sandbox, also 2 inside
    Process(42, 1, 42, 2000, "/", "\t2", "other");
    Process(50, 1, 50);  // of our own namespace
    std::vector<std::uint32_t> found = Tree(10).ResolveClaim(2, "pacat");
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::uint32_t>{40, 41}));
    EXPECT_EQ(Tree(10).ResolveClaim(50, "player"), std::vector<std::uint32_t>{50});
    // Without a name nothing can be checked: no pid is believed, ours or not.
    EXPECT_TRUE(Tree(10).ResolveClaim(50, "").empty() && Tree(10).ResolveClaim(2, "").empty() &&
                Tree(10).ResolveClaim(0, "pacat").empty());
}

}  // namespace
