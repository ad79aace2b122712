#include "process_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// A fake /proc and cgroup tree: init 1; target 10 (start 1000, leads session
// 10) with child 11 and grandchild 12; 20 and its child 21 unrelated.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sondrel-proc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        proc_ = root_ / "proc";
        cgroups_ = root_ / "cgroup";
        Process(1, 0, 1, 1);
        Process(10, 1, 10);
        Process(11, 10, 10);
        Process(12, 11, 10);
        Process(20, 1, 20);
        Process(21, 20, 20);
    }
    void TearDown() override { fs::remove_all(root_); }

    // The command name mimics fields, so only parsing after the last ')' works.
    void Process(std::uint32_t pid, std::uint32_t parent, std::uint32_t session,
                 std::uint64_t start = 1000, const std::string& cgroup = "/",
                 const std::string& nspid = "", const std::string& comm = "player") {
        const fs::path dir = proc_ / std::to_string(pid);
        fs::create_directories(dir);
        std::ofstream(dir / "stat") << pid << " (a) S 9 (b) S " << parent << " " << session
                                    << " " << session;
        {
            std::ofstream stat(dir / "stat", std::ios::app);
            for (int field = 7; field <= 21; ++field) stat << " 0";
            stat << " " << start << " 0 0\n";
        }
        std::ofstream(dir / "cgroup") << "1:cpu:/elsewhere\n0::" << cgroup << "\n";
        std::ofstream(dir / "comm") << comm << "\n";
        std::ofstream(dir / "status") << "Name:\t" << comm << "\nNSpid:\t" << pid << nspid
                                      << "\nNSpgid:\t0\n";
    }
    void Cgroup(const std::string& path, const std::string& procs) {
        fs::create_directories(cgroups_ / path.substr(1));
        std::ofstream(cgroups_ / path.substr(1) / "cgroup.procs") << procs;
    }
    ProcessTree Tree(std::uint32_t root) { return ProcessTree(root, proc_, cgroups_); }

    fs::path root_, proc_, cgroups_;
};

TEST_F(FakeProc, TreeHoldsTheTargetAndItsDescendantsOnly) {
    ProcessTree tree = Tree(10);
    for (std::uint32_t pid : {10u, 11u, 12u}) EXPECT_TRUE(tree.Contains(pid)) << pid;
    for (std::uint32_t pid : {1u, 20u, 21u, 99u, 0u}) EXPECT_FALSE(tree.Contains(pid)) << pid;
    // Every process descends from init, even one we have never read.
    ProcessTree all = Tree(1);
    for (std::uint32_t pid : {1u, 10u, 21u, 99u}) EXPECT_TRUE(all.Contains(pid)) << pid;
}

TEST_F(FakeProc, MemberSeenOnceStaysAfterItsParentExitsButARecycledPidDoesNot) {
    Process(12, 11, 12);  // a session of its own: only the chain ties it to us
    ProcessTree tree = Tree(10);
    EXPECT_TRUE(tree.Contains(12));
    Process(12, 1, 12);        // 11 exited: 12 was re-parented to init
    Process(11, 1, 1, 2000);   // and another process got pid 11
    EXPECT_TRUE(tree.Contains(12));
    EXPECT_FALSE(tree.Contains(11));
    Process(12, 1, 12, 3000);  // 12 exited too and its pid was reused
    EXPECT_FALSE(tree.Contains(12));
}

TEST_F(FakeProc, OrphansNeverSeenCountOnlyThroughSessionOrOwnCgroup) {
    Process(30, 1, 10, 1500);  // double fork, still in the target's session
    Process(31, 1, 10, 500);   // same session id but older than the target: not its
    Process(32, 1, 32, 1500);  // left the session, nothing ties it to us
    ProcessTree tree = Tree(10);
    EXPECT_TRUE(tree.Contains(30));
    EXPECT_FALSE(tree.Contains(31));
    EXPECT_FALSE(tree.Contains(32));

    // The target and its tree alone in a cgroup: its orphans keep it.
    for (std::uint32_t pid : {10u, 11u, 12u}) Process(pid, pid == 10 ? 1 : pid - 1, 10, 1000, "/app.scope");
    Process(32, 1, 32, 1500, "/app.scope/sub");
    Cgroup("/app.scope", "10\n11\n12\n");
    EXPECT_TRUE(Tree(10).Contains(32));
    // Shared with a stranger, the cgroup says nothing.
    Cgroup("/app.scope", "10\n11\n12\n20\n");
    EXPECT_FALSE(Tree(10).Contains(32));
}

TEST_F(FakeProc, ClaimsFromAnotherNamespaceResolveByInnerPidAndName) {
    Process(40, 1, 40, 2000, "/", "\t2", "pacat");   // sandbox A's pid 2
    Process(41, 1, 41, 2000, "/", "\t7\t2", "pacat");  // nested sandbox, also 2 inside
    Process(42, 1, 42, 2000, "/", "\t2", "other");
    Process(50, 1, 50, 2000, "/", "", "pacat");      // a pacat of our own namespace
    ProcessTree tree = Tree(10);
    EXPECT_EQ(tree.ResolveClaim(50, "pacat"), std::vector<std::uint32_t>{50});
    EXPECT_EQ(tree.ResolveClaim(50, ""), std::vector<std::uint32_t>{50});
    std::vector<std::uint32_t> found = tree.ResolveClaim(2, "pacat");
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::uint32_t>{40, 41}));
    EXPECT_TRUE(tree.ResolveClaim(2, "").empty());
    EXPECT_TRUE(tree.ResolveClaim(3, "pacat").empty());
    EXPECT_TRUE(tree.ResolveClaim(0, "pacat").empty());
}

TEST_F(FakeProc, MissingTargetHasNoTree) {
    Process(31, 30, 30);
    ProcessTree tree = Tree(30);
    EXPECT_FALSE(tree.Contains(30));
    EXPECT_FALSE(tree.Contains(31));
}

}  // namespace
