// The set of processes that make up a target's tree, from /proc parent links.
// A process whose parent exits is re-parented and would drop out of the
// chain, so every member is remembered once seen; members are keyed by pid
// and start time so a recycled pid does not inherit membership.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

struct ProcessStat {
    std::uint32_t parent = 0;
    std::uint64_t startTime = 0;
};

class ProcessTree {
public:
    // procRoot is "/proc" except in tests.
    explicit ProcessTree(std::uint32_t root, std::string procRoot = "/proc");

    // True when pid is the root or descends from it (now or when last seen).
    bool Contains(std::uint32_t pid);
    // Walks every process once so descendants are remembered while their
    // chain to the root is still intact.
    void Refresh();

    static bool ReadStat(const std::string& procRoot, std::uint32_t pid, ProcessStat* stat);

private:
    bool IsMember(std::uint32_t pid, std::uint64_t startTime) const;

    std::uint32_t root_;
    std::string procRoot_;
    std::unordered_map<std::uint32_t, std::uint64_t> members_;  // pid -> start time
};

// Whether a process with this id exists right now.
bool ProcessExists(std::uint32_t pid);
