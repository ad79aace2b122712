// For every line on standard input, one line on standard output with the
// performance counter in ns; the caller brackets each answer with its own
// clock readings to see whether the two clocks agree.
#include <windows.h>

#include <cstdint>
#include <cstdio>

int main() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
        std::printf("%llu\n", static_cast<unsigned long long>(
                                  ticks / perSecond * 1000000000u +
                                  ticks % perSecond * 1000000000u / perSecond));
        std::fflush(stdout);
    }
    return 0;
}
