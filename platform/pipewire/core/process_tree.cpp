#include "process_tree.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

// Deeper chains than this are not real process trees; it bounds the walk if
// /proc ever reports a cycle while processes come and go.
constexpr int kMaxDepth = 4096;

// Reads a small /proc or cgroup file whole; false when it is not there.
bool ReadSmallFile(const std::string& path, std::string* text) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return false;
    char buffer[4096];
    text->clear();
    std::size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, length);
    std::fclose(file);
    return true;
}

std::string PidPath(const std::string& procRoot, std::uint32_t pid, const char* leaf) {
    return procRoot + "/" + std::to_string(pid) + "/" + leaf;
}

bool ParsePid(const char* text, std::uint32_t* pid) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || value == 0 || value > UINT32_MAX) return false;
    *pid = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

ProcessTree::ProcessTree(std::uint32_t root, std::string procRoot, std::string cgroupRoot)
    : root_(root), procRoot_(std::move(procRoot)) {
    ProcessStat stat;
    if (!ReadStat(procRoot_, root_, &stat)) return;
    rootAlive_ = true;
    rootStart_ = stat.startTime;
    members_[root_] = stat.startTime;

    // A cgroup of the target's own (a launcher's per-application scope)
    // keeps its members however they were orphaned. Shared ones, as the
    // root of a container or a whole login session, say nothing.
    const std::string cgroup = CgroupOf(root_);
    if (cgroup.empty() || cgroup == "/") return;
    std::string procs;
    if (!ReadSmallFile(cgroupRoot + cgroup + "/cgroup.procs", &procs)) return;
    for (const char* cursor = procs.c_str(); *cursor != '\0';) {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(cursor, &end, 10);
        if (end == cursor) break;
        if (pid != 0 && !Contains(static_cast<std::uint32_t>(pid))) return;
        cursor = end;
        while (*cursor == '\n') ++cursor;
    }
    ownCgroup_ = cgroup;
}

bool ProcessTree::ReadStat(const std::string& procRoot, std::uint32_t pid, ProcessStat* stat) {
    std::string text;
    if (!ReadSmallFile(PidPath(procRoot, pid, "stat"), &text)) return false;
    // The command name may hold spaces and parentheses; fields resume after
    // the last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    const char* cursor = text.c_str() + close + 1;
    // Field 3 is the state, 4 the parent, 6 the session, 22 the start time.
    unsigned long long fields[22] = {};
    int field = 3;
    while (*cursor != '\0' && field <= 22) {
        while (*cursor == ' ') ++cursor;
        if (*cursor == '\0') break;
        char* end = nullptr;
        if (field == 3) {
            ++cursor;
            end = const_cast<char*>(cursor);
        } else {
            fields[field - 1] = std::strtoull(cursor, &end, 10);
            if (end == cursor) return false;
        }
        cursor = end;
        ++field;
    }
    if (field <= 22) return false;
    stat->parent = static_cast<std::uint32_t>(fields[3]);
    stat->session = static_cast<std::uint32_t>(fields[5]);
    stat->startTime = fields[21];
    return true;
}

// Once the target has gone its pid may name a stranger, who may lead a
// session of its own or land in a cgroup of the same name: neither then
// says anything about the tree.
bool ProcessTree::RootIsTarget() const {
    ProcessStat stat;
    return rootAlive_ && ReadStat(procRoot_, root_, &stat) && stat.startTime == rootStart_;
}

bool ProcessTree::IsMember(std::uint32_t pid, std::uint64_t startTime) const {
    const auto found = members_.find(pid);
    return found != members_.end() && found->second == startTime;
}

std::string ProcessTree::CgroupOf(std::uint32_t pid) const {
    std::string text;
    if (!ReadSmallFile(PidPath(procRoot_, pid, "cgroup"), &text)) return {};
    // The unified hierarchy's line is "0::/path".
    const std::size_t line = text.rfind("0::", std::string::npos);
    if (line == std::string::npos || (line != 0 && text[line - 1] != '\n')) return {};
    const std::size_t end = text.find('\n', line);
    return text.substr(line + 3, end == std::string::npos ? std::string::npos : end - line - 3);
}

bool ProcessTree::InOwnCgroup(std::uint32_t pid) const {
    if (ownCgroup_.empty()) return false;
    const std::string cgroup = CgroupOf(pid);
    return cgroup == ownCgroup_ || cgroup.rfind(ownCgroup_ + "/", 0) == 0;
}

bool ProcessTree::Contains(std::uint32_t pid) {
    if (pid == 0) return false;
    // Every process of ours descends from init.
    if (root_ == 1) return true;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> chain;
    std::uint32_t current = pid;
    bool member = false;
    for (int depth = 0; depth < kMaxDepth && current > 1; ++depth) {
        ProcessStat stat;
        if (!ReadStat(procRoot_, current, &stat)) {
            // Gone: only what we saw while it lived counts.
            if (depth == 0) return members_.count(current) != 0;
            break;
        }
        if (IsMember(current, stat.startTime)) {
            member = true;
            break;
        }
        chain.emplace_back(current, stat.startTime);
        // Only a process the target forked can be in the session it leads;
        // descendants never start before their ancestor.
        if (stat.session == root_ && stat.startTime >= rootStart_ && RootIsTarget()) {
            member = true;
            break;
        }
        current = stat.parent;
    }
    if (!member && !ownCgroup_.empty() && InOwnCgroup(pid) && RootIsTarget()) member = true;
    if (member)
        for (const auto& [process, start] : chain) members_[process] = start;
    return member;
}

bool ProcessTree::NameMatches(std::uint32_t pid, const std::string& binary) const {
    // A claim that comes without a name cannot be checked, so it is not believed.
    if (binary.empty()) return false;
    std::string comm;
    if (ReadSmallFile(PidPath(procRoot_, pid, "comm"), &comm)) {
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        // The kernel keeps 15 characters of the name.
        if (!comm.empty() && binary.compare(0, 15, comm) == 0) return true;
    }
    char target[PATH_MAX];
    const ssize_t length =
        readlink(PidPath(procRoot_, pid, "exe").c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    const char* base = std::strrchr(target, '/');
    return binary == (base != nullptr ? base + 1 : target);
}

std::vector<std::uint32_t> ProcessTree::ResolveClaim(std::uint32_t claimedPid,
                                                     const std::string& binary) {
    std::vector<std::uint32_t> candidates;
    if (claimedPid == 0) return candidates;
    ProcessStat stat;
    if (ReadStat(procRoot_, claimedPid, &stat) && NameMatches(claimedPid, binary)) {
        candidates.push_back(claimedPid);
        return candidates;
    }
    // Not ours to read as it stands: look for a process whose innermost
    // namespace gives it that pid (the last NSpid field).
    if (binary.empty()) return candidates;
    DIR* directory = opendir(procRoot_.c_str());
    if (directory == nullptr) return candidates;
    std::string status;
    while (const dirent* entry = readdir(directory)) {
        std::uint32_t pid = 0;
        if (!ParsePid(entry->d_name, &pid)) continue;
        if (!ReadSmallFile(PidPath(procRoot_, pid, "status"), &status)) continue;
        const std::size_t line = status.find("\nNSpid:");
        if (line == std::string::npos) continue;
        const std::size_t end = status.find('\n', line + 1);
        const std::string ids = status.substr(line + 7, end - line - 7);
        const std::size_t last = ids.find_last_of(" \t");
        // One field: a process of our own namespace, already handled above.
        if (last == std::string::npos || ids.find_first_not_of(" \t") == last + 1) continue;
        std::uint32_t inner = 0;
        if (ParsePid(ids.c_str() + last + 1, &inner) && inner == claimedPid &&
            NameMatches(pid, binary))
            candidates.push_back(pid);
    }
    closedir(directory);
    return candidates;
}

