// Linked into the helper with a static libstdc++ only. libstdc++.a's
// std::random_device refers to arc4random, which glibc has from 2.36 on; the
// helper never makes a random_device, but the link still needs the symbol,
// and defining it here keeps the helper off glibc 2.36. getrandom is 2.25.
// Any thread may call it; it keeps no state.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/random.h>

extern "C" uint32_t arc4random() noexcept {
  uint32_t value = 0;
  for (;;) {
    const ssize_t got = getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    if (got < 0 && errno != EINTR) std::abort();
  }
}
