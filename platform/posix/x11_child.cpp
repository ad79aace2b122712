#include "x11_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

// An X server answers in milliseconds; one that does not (a hung server, a
// TCP display that drops packets) must not hang the program.
constexpr auto kDeadline = std::chrono::seconds(3);

[[noreturn]] void SendAndExit(int fd, const std::string& out) {
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = write(fd, out.data() + sent, out.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        sent += static_cast<std::size_t>(n);
    }
    _exit(0);  // nothing of the parent's exit handlers runs here
}

}  // namespace

std::optional<std::string> QueryInChild(std::string (*query)(const void* context),
                                        const void* context) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        close(fds[0]);
        SendAndExit(fds[1], query(context));
    }
    close(fds[1]);
    std::string in;
    bool complete = false;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd readable{fds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        in.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (!complete) kill(child, SIGKILL);  // not to go on
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // A child cut short may have written half its answer: none rather than a wrong one.
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return in;
}
