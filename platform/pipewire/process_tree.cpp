#include "process_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <vector>

namespace {

// Deeper chains than this are not real process trees; it bounds the walk if
// /proc ever reports a cycle while processes come and go.
constexpr int kMaxDepth = 4096;

}  // namespace

ProcessTree::ProcessTree(std::uint32_t root, std::string procRoot)
    : root_(root), procRoot_(std::move(procRoot)) {
    ProcessStat stat;
    if (ReadStat(procRoot_, root_, &stat)) members_[root_] = stat.startTime;
}

bool ProcessTree::ReadStat(const std::string& procRoot, std::uint32_t pid, ProcessStat* stat) {
    char path[256];
    std::snprintf(path, sizeof path, "%s/%u/stat", procRoot.c_str(), pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return false;
    char buffer[1024];
    const std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    buffer[length] = '\0';
    // The command name may hold spaces and parentheses; fields resume after
    // the last ')'.
    const char* cursor = std::strrchr(buffer, ')');
    if (cursor == nullptr) return false;
    ++cursor;
    // Field 3 is the state, 4 the parent, 22 the start time.
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
    stat->startTime = fields[21];
    return true;
}

bool ProcessTree::IsMember(std::uint32_t pid, std::uint64_t startTime) const {
    const auto found = members_.find(pid);
    return found != members_.end() && found->second == startTime;
}

bool ProcessTree::Contains(std::uint32_t pid) {
    if (pid == 0) return false;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> chain;
    std::uint32_t current = pid;
    for (int depth = 0; depth < kMaxDepth && current > 1; ++depth) {
        ProcessStat stat;
        if (!ReadStat(procRoot_, current, &stat)) {
            // Gone: only what we saw while it lived counts.
            return depth == 0 && members_.count(current) != 0;
        }
        if (IsMember(current, stat.startTime)) {
            for (const auto& [member, start] : chain) members_[member] = start;
            return true;
        }
        chain.emplace_back(current, stat.startTime);
        current = stat.parent;
    }
    return false;
}

void ProcessTree::Refresh() {
    DIR* directory = opendir(procRoot_.c_str());
    if (directory == nullptr) return;
    while (const dirent* entry = readdir(directory)) {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == 0) continue;
        Contains(static_cast<std::uint32_t>(pid));
    }
    closedir(directory);
}

bool ProcessExists(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}
