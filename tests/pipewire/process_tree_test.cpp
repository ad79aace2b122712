#include "process_tree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// A fake /proc: init 1; target 10 with child 11 and grandchild 12; 20 and its
// child 21 unrelated.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sondrel-proc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (auto [pid, parent] : {std::pair{1u, 0u}, {10u, 1u}, {11u, 10u}, {12u, 11u},
                                   {20u, 1u}, {21u, 20u}})
            Process(pid, parent);
    }
    void TearDown() override { fs::remove_all(root_); }

    // The command name mimics fields, so only parsing after the last ')' works.
    void Process(std::uint32_t pid, std::uint32_t parent, std::uint64_t start = 1000) {
        fs::create_directories(root_ / std::to_string(pid));
        std::ofstream stat(root_ / std::to_string(pid) / "stat");
        stat << pid << " (a) S 9 (b) S " << parent;
        for (int field = 5; field <= 21; ++field) stat << " 0";
        stat << " " << start << " 0 0\n";
    }

    fs::path root_;
};

TEST_F(FakeProc, TreeHoldsTheTargetAndItsDescendantsOnly) {
    ProcessTree tree(10, root_);
    for (std::uint32_t pid : {10u, 11u, 12u}) EXPECT_TRUE(tree.Contains(pid)) << pid;
    for (std::uint32_t pid : {1u, 20u, 21u, 99u}) EXPECT_FALSE(tree.Contains(pid)) << pid;
}

TEST_F(FakeProc, DescendantStaysAfterItsParentExitsButARecycledPidDoesNot) {
    ProcessTree tree(10, root_);
    tree.Refresh();
    Process(12, 1);        // 11 exited: 12 was re-parented to init
    Process(11, 1, 2000);  // and another process got pid 11
    EXPECT_TRUE(tree.Contains(12));
    EXPECT_FALSE(tree.Contains(11));
}

TEST_F(FakeProc, MissingTargetHasNoTree) {
    Process(31, 30);
    ProcessTree tree(30, root_);
    EXPECT_FALSE(tree.Contains(30));
    EXPECT_FALSE(tree.Contains(31));
}

}  // namespace
