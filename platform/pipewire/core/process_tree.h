// Membership of a target's process tree, answered per process from its own
// ancestor chain (a few reads of /proc/<pid>/stat), never by walking every
// process. Members are remembered (pid + start time) once seen, so one whose
// parent exits later stays a member; a recycled pid does not inherit it.
// Orphaned before we ever saw them, processes still count when they sit in
// the target's session (the target leads it) or in a cgroup the target has
// to itself.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct ProcessStat {
    std::uint32_t parent = 0;
    std::uint32_t session = 0;
    std::uint64_t startTime = 0;
};

class ProcessTree {
public:
    // procRoot and cgroupRoot are "/proc" and "/sys/fs/cgroup" except in tests.
    explicit ProcessTree(std::uint32_t root, std::string procRoot = "/proc",
                         std::string cgroupRoot = "/sys/fs/cgroup");

    // True when pid is the root or descends from it (now or when last seen).
    bool Contains(std::uint32_t pid);

    // The processes of our namespace that a pulse client's claimed pid may
    // name: the claim itself when a process of that name holds it, else those
    // whose pid in their innermost namespace is the claim. Walks every
    // process in the second case, so it is for a client's arrival only.
    std::vector<std::uint32_t> ResolveClaim(std::uint32_t claimedPid, const std::string& binary);

    static bool ReadStat(const std::string& procRoot, std::uint32_t pid, ProcessStat* stat);

private:
    bool IsMember(std::uint32_t pid, std::uint64_t startTime) const;
    bool RootIsTarget() const;
    bool InOwnCgroup(std::uint32_t pid) const;
    bool NameMatches(std::uint32_t pid, const std::string& binary) const;
    std::string CgroupOf(std::uint32_t pid) const;

    std::uint32_t root_;
    std::string procRoot_;
    bool rootAlive_ = false;
    std::uint64_t rootStart_ = 0;
    std::string ownCgroup_;  // empty unless the target's tree has its cgroup alone
    std::unordered_map<std::uint32_t, std::uint64_t> members_;  // pid -> start time
};

