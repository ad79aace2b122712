// The benchmarks' reading end of the program's standard output.
//   stream_probe discard BYTES [SKIP]
//       reads BYTES (header included), prints "bytes seconds" of the part
//       after the first read past SKIP bytes, then exits, closing the pipe
//   stream_probe check FRAMES [--rss PID] [--stall SECONDS --every SECONDS]
//       checks the header and that frame n holds n+1 and -(n+1) (n wrapping
//       at 2^24-1), bit for bit, for FRAMES frames; samples PID's resident
//       set after one minute of audio and at the end; optionally stops
//       reading for SECONDS after every SECONDS of wall time
//   stream_probe latency PACKET-FRAMES PACKETS [--raw]
//       reads packets whose first 8 bytes hold the time their event was
//       signalled (CLOCK_MONOTONIC, or CLOCK_MONOTONIC_RAW with --raw) and
//       prints how long after that each became readable: p50, p99, max
// Exits 1 on a short or wrong stream.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

constexpr std::size_t kHeader = 16;
constexpr unsigned char kExpectedHeader[kHeader] = {'S', 'D', 'R', 'A', 1, 0, 0, 0,
                                                    0x80, 0xBB, 0, 0, 2, 0, 32, 0};
constexpr std::uint64_t kPatternWrap = 16777215;
constexpr std::uint64_t kFramesPerMinute = 48000 * 60;

std::vector<unsigned char> buffer(1 << 20);

clockid_t readClock = CLOCK_MONOTONIC;

std::uint64_t NowNs() {
    timespec ts{};
    clock_gettime(readClock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// One read of what is there, up to the buffer's size; 0 at end of stream.
std::size_t ReadSome(std::size_t limit) {
    for (;;) {
        const ssize_t n = read(0, buffer.data(), std::min(limit, buffer.size()));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return 0;
    }
}

long ResidentKb(long pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* status = std::fopen(path.c_str(), "r");
    if (status == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1) break;
    std::fclose(status);
    return kb;
}

// Timed from the return of the first read that goes past `skip` bytes, so a
// writer that pauses after its header is not charged for the pause; that
// read's own bytes are left out of the count.
int Discard(std::uint64_t bytes, std::uint64_t skip) {
    std::uint64_t got = 0;
    std::uint64_t timedFrom = 0;
    std::uint64_t first = 0;
    while (got < bytes) {
        const std::size_t n = ReadSome(static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes - got, buffer.size())));
        if (n == 0) break;
        got += n;
        if (first == 0 && got > skip) {
            first = NowNs();
            timedFrom = got;
        }
    }
    const double seconds = static_cast<double>(NowNs() - first) / 1e9;
    std::printf("%llu %.6f\n", static_cast<unsigned long long>(got - timedFrom), seconds);
    return got == bytes ? 0 : 1;
}

// Header, then the pattern; a frame may straddle two reads.
int Check(std::uint64_t frames, long rssPid, double stallSeconds, double everySeconds) {
    unsigned char header[kHeader];
    std::size_t headerGot = 0;
    unsigned char partial[8];
    std::size_t partialGot = 0;
    std::uint64_t frame = 0;
    long rssMinute = -1;
    long rssPeak = -1;
    const std::uint64_t started = NowNs();
    std::uint64_t nextStall = started + static_cast<std::uint64_t>(everySeconds * 1e9);
    unsigned stalls = 0;
    while (frame < frames) {
        if (stallSeconds > 0 && NowNs() >= nextStall) {
            usleep(static_cast<useconds_t>(stallSeconds * 1e6));
            ++stalls;
            nextStall = NowNs() + static_cast<std::uint64_t>(everySeconds * 1e9);
        }
        const std::size_t n = ReadSome(buffer.size());
        if (n == 0) break;
        std::size_t i = 0;
        while (headerGot < kHeader && i < n) header[headerGot++] = buffer[i++];
        if (headerGot == kHeader && std::memcmp(header, kExpectedHeader, kHeader) != 0) {
            std::printf("wrong header\n");
            return 1;
        }
        while (i < n && frame < frames) {
            const unsigned char* bytes = buffer.data() + i;
            if (partialGot > 0 || n - i < 8) {
                const std::size_t take = std::min(8 - partialGot, n - i);
                std::memcpy(partial + partialGot, bytes, take);
                partialGot += take;
                i += take;
                if (partialGot < 8) break;
                partialGot = 0;
                bytes = partial;
            } else {
                i += 8;
            }
            const auto value = static_cast<float>(frame % kPatternWrap + 1);
            const float expected[2] = {value, -value};
            if (std::memcmp(bytes, expected, 8) != 0) {
                std::printf("frame %llu differs\n", static_cast<unsigned long long>(frame));
                return 1;
            }
            ++frame;
            if (frame == kFramesPerMinute && rssPid > 0) rssMinute = ResidentKb(rssPid);
        }
        if (rssPid > 0) rssPeak = std::max(rssPeak, ResidentKb(rssPid));
    }
    const long rssEnd = rssPid > 0 ? ResidentKb(rssPid) : -1;
    std::printf("frames %llu of %llu, exact; %.1f s; %u stalls; rss after 1 min of audio %ld kB,"
                " at the end %ld kB, peak %ld kB\n",
                static_cast<unsigned long long>(frame), static_cast<unsigned long long>(frames),
                static_cast<double>(NowNs() - started) / 1e9, stalls, rssMinute, rssEnd, rssPeak);
    return frame == frames ? 0 : 1;
}

int Latency(std::uint64_t packetFrames, std::uint64_t packets) {
    const std::uint64_t packetBytes = packetFrames * 8;
    std::vector<unsigned char> stream;  // bytes of the packet being read
    std::uint64_t received = 0;         // body bytes
    std::uint64_t skip = kHeader;
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(packets));
    unsigned char stamp[8];
    while (latencies.size() < packets) {
        const std::size_t n = ReadSome(buffer.size());
        const std::uint64_t now = NowNs();
        if (n == 0) break;
        for (std::size_t i = 0; i < n; ++i) {
            if (skip > 0) {
                --skip;
                continue;
            }
            const std::uint64_t at = received++ % packetBytes;
            if (at < 8) stamp[at] = buffer[i];
            if (at == 7 && latencies.size() < packets) {
                std::uint64_t signalled = 0;
                std::memcpy(&signalled, stamp, 8);
                latencies.push_back((static_cast<double>(now) - static_cast<double>(signalled)) /
                                    1e3);
            }
        }
    }
    if (latencies.size() < packets) {
        std::printf("stream ended after %zu packets\n", latencies.size());
        return 1;
    }
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) {
        return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()))];
    };
    std::printf("%zu packets: p50 %.1f us  p99 %.1f us  max %.1f us  min %.1f us\n",
                sorted.size(), at(0.5), at(0.99), sorted.back(), sorted.front());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto number = [&](std::size_t i) {
        return i < args.size() ? std::strtod(args[i].c_str(), nullptr) : 0.0;
    };
    if (args.size() >= 2 && args[0] == "discard")
        return Discard(static_cast<std::uint64_t>(number(1)),
                       static_cast<std::uint64_t>(number(2)));
    if (args.size() >= 2 && args[0] == "check") {
        long pid = 0;
        double stall = 0, every = 0;
        for (std::size_t i = 2; i + 1 < args.size(); i += 2) {
            if (args[i] == "--rss") pid = static_cast<long>(number(i + 1));
            if (args[i] == "--stall") stall = number(i + 1);
            if (args[i] == "--every") every = number(i + 1);
        }
        return Check(static_cast<std::uint64_t>(number(1)), pid, stall, every);
    }
    if (args.size() >= 3 && args[0] == "latency") {
        if (args.size() > 3 && args[3] == "--raw") readClock = CLOCK_MONOTONIC_RAW;
        return Latency(static_cast<std::uint64_t>(number(1)), static_cast<std::uint64_t>(number(2)));
    }
    std::fprintf(stderr, "usage: stream_probe discard BYTES [SKIP] | check FRAMES [--rss PID] "
                         "[--stall S --every S] | latency PACKET-FRAMES PACKETS [--raw]\n");
    return 2;
}
