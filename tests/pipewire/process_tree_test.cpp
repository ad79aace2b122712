#include "process_tree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A fake /proc: one stat file per process, with only the fields we read set.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sondrel-proc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void Process(std::uint32_t pid, std::uint32_t parent, std::uint64_t start = 1000,
                 const std::string& name = "proc") {
        fs::create_directories(root_ / std::to_string(pid));
        std::ofstream stat(root_ / std::to_string(pid) / "stat");
        stat << pid << " (" << name << ") S " << parent;
        for (int field = 5; field <= 21; ++field) stat << " 0";
        stat << " " << start << " 0 0\n";
    }
    void Exit(std::uint32_t pid) { fs::remove_all(root_ / std::to_string(pid)); }

    fs::path root_;
};

TEST_F(FakeProc, ReadsParentAndStartTimePastOddCommandNames) {
    Process(42, 7, 123456, "a) b (c");
    ProcessStat stat;
    ASSERT_TRUE(ProcessTree::ReadStat(root_, 42, &stat));
    EXPECT_EQ(stat.parent, 7u);
    EXPECT_EQ(stat.startTime, 123456u);
    EXPECT_FALSE(ProcessTree::ReadStat(root_, 43, &stat));
}

TEST_F(FakeProc, TreeHoldsRootAndDescendantsOnly) {
    Process(1, 0);
    Process(10, 1);    // target
    Process(11, 10);   // child
    Process(12, 11);   // grandchild
    Process(20, 1);    // unrelated
    Process(21, 20);
    ProcessTree tree(10, root_);
    EXPECT_TRUE(tree.Contains(10));
    EXPECT_TRUE(tree.Contains(11));
    EXPECT_TRUE(tree.Contains(12));
    EXPECT_FALSE(tree.Contains(20));
    EXPECT_FALSE(tree.Contains(21));
    EXPECT_FALSE(tree.Contains(1));
    EXPECT_FALSE(tree.Contains(0));
    EXPECT_FALSE(tree.Contains(99));  // never existed
}

TEST_F(FakeProc, DescendantSeenOnceStaysAfterItsParentExits) {
    Process(1, 0);
    Process(10, 1);
    Process(11, 10);
    Process(12, 11);
    Process(13, 11);
    ProcessTree tree(10, root_);
    ASSERT_TRUE(tree.Contains(12));
    // 11 exits: 12 and 13 are re-parented to init.
    Exit(11);
    Process(12, 1);
    Process(13, 1);
    EXPECT_TRUE(tree.Contains(12));
    EXPECT_FALSE(tree.Contains(13)) << "never seen while its chain was intact";
}

TEST_F(FakeProc, RefreshRemembersDescendantsBeforeTheyAreOrphaned) {
    Process(1, 0);
    Process(10, 1);
    Process(11, 10);
    Process(13, 11);
    ProcessTree tree(10, root_);
    tree.Refresh();
    Exit(11);
    Process(13, 1);
    EXPECT_TRUE(tree.Contains(13));
}

TEST_F(FakeProc, RecycledPidDoesNotInheritMembership) {
    Process(1, 0);
    Process(10, 1);
    Process(11, 10, 500);
    ProcessTree tree(10, root_);
    ASSERT_TRUE(tree.Contains(11));
    Exit(11);
    Process(11, 1, 900);  // same pid, another process
    EXPECT_FALSE(tree.Contains(11));
}

TEST_F(FakeProc, TargetThatDoesNotExistHasNoTree) {
    Process(1, 0);
    Process(11, 10);  // claims a parent that is not there
    ProcessTree tree(10, root_);
    EXPECT_FALSE(tree.Contains(11));
    EXPECT_FALSE(tree.Contains(10));
}

TEST(ProcessExists, TellsLiveProcessesFromFreePids) {
    EXPECT_TRUE(ProcessExists(static_cast<std::uint32_t>(getpid())));
    EXPECT_TRUE(ProcessExists(1));
    EXPECT_FALSE(ProcessExists(0));
    std::ifstream limit("/proc/sys/kernel/pid_max");
    std::uint32_t pidMax = 0;
    ASSERT_TRUE(limit >> pidMax);
    EXPECT_FALSE(ProcessExists(pidMax + 1));
}

}  // namespace
