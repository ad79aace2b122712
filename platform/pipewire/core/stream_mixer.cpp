#include "stream_mixer.h"

#include <cstring>
#include <new>

namespace {
// Our streams ask for this rate whatever the driver runs at.
constexpr std::int64_t kRate = 48000;
constexpr std::int64_t kNanos = 1000000000;
// A block this far behind the last closed cycle of its clock is taken for a
// clock that started over, not for a late one.
constexpr std::uint64_t kLateWindow = 1u << 16;
// How long cycles are held for inputs announced but silent: enough for a
// link made during a burst of new streams to become active, and a bound on
// the latency an input that never plays can add.
constexpr std::uint32_t kGraceFrames = 48000;
// How far a clock's cycle may start from where its time puts it and still
// follow its last cycle (5 ms: a driver's time estimate jitters far less), and
// how far before a sample is repeated or dropped to close the distance.
constexpr std::int64_t kFollow = 240;
constexpr std::int64_t kDrift = 16;
}  // namespace

StreamMixer::~StreamMixer() { delete[] acc_; }

bool StreamMixer::Init(PacketRing* out, std::uint32_t maxCycleFrames) {
    if (acc_ != nullptr || out == nullptr || maxCycleFrames == 0 || maxCycleFrames > (1u << 26))
        return false;
    // Room for the cycles of clocks running a cycle or two apart.
    std::uint32_t capacity = 64;
    while (capacity < 4 * maxCycleFrames) capacity *= 2;
    acc_ = new (std::nothrow) float[std::size_t{capacity} * 2]();
    if (acc_ == nullptr) return false;
    out_ = out;
    capacity_ = capacity;
    maxFrames_ = maxCycleFrames;
    slack_ = maxCycleFrames / 8;
    return true;
}

std::int64_t StreamMixer::TimeToFrame(std::uint64_t nsec) const {
    const auto delta = static_cast<std::int64_t>(nsec - anchorNsec_);
    const std::int64_t whole = delta / kNanos, part = delta % kNanos;
    const std::int64_t rounding = part < 0 ? -kNanos / 2 : kNanos / 2;
    return anchorFrame_ + whole * kRate + (part * kRate + rounding) / kNanos;
}

StreamMixer::Clock& StreamMixer::Find(std::uint32_t id) {
    Clock* unused = nullptr;
    Clock* oldest = nullptr;
    for (Clock& c : clocks_) {
        if (c.used && c.id == id) return c;
        if (!c.used) {
            if (unused == nullptr) unused = &c;
        } else if (oldest == nullptr || c.lastUse < oldest->lastUse) {
            oldest = &c;
        }
    }
    Clock* slot = unused != nullptr ? unused : oldest;
    if (slot->open) Close(*slot);
    *slot = Clock{};
    slot->used = true;
    slot->id = id;
    slot->cycle = ++serial_;
    return *slot;
}

void StreamMixer::Open(Clock& c, const MixClock& clock) {
    const bool timed = clock.nsec != 0;
    if (timed && !anchored_) {
        anchored_ = true;
        anchorNsec_ = clock.nsec;
        anchorFrame_ = end_;
    }
    std::int64_t at = timed ? TimeToFrame(clock.nsec) : base_;
    c.shift = 0;
    const std::int64_t drift = timed ? at + c.offset - c.done : 0;
    c.follows = c.continuing && c.done >= base_ && drift <= kFollow && drift >= -kFollow;
    if (c.follows) {
        c.start = c.done;
        c.shift = drift > kDrift ? 1 : drift < -kDrift ? -1 : 0;
    } else {
        // Starts, comes back or jumped. After a silence the timeline resumes
        // at the last frame written instead of writing the silence.
        if (timed && at > end_ + kFollow && base_ == end_) {
            anchorNsec_ = clock.nsec;
            anchorFrame_ = end_;
            at = end_;
        }
        c.start = at < base_ ? base_ : at > end_ ? end_ : at;
        c.offset = c.start - (timed ? TimeToFrame(clock.nsec) : c.start);
    }
    c.open = true;
    c.position = clock.position;
    c.frames = 0;
    c.done = c.start;
}

void StreamMixer::Close(Clock& c) {
    c.open = false;
    c.continuing = true;
    c.done = c.start + c.frames;
    if (c.done > end_) end_ = c.done;
    if (c.frames != 0) c.period = c.frames;
    c.previous = c.cycle;
    c.cycle = ++serial_;
    c.awaited = c.delivered;
    c.arrived = 0;
    c.delivered = 0;
    c.closedAny = true;
    c.closedPosition = c.position;
}

bool StreamMixer::Emit(std::int64_t upto) {
    bool wrote = false;
    const std::uint32_t mask = capacity_ - 1;
    while (base_ < upto) {
        const std::uint32_t first = static_cast<std::uint32_t>(base_) & mask;
        const std::int64_t left = upto - base_;
        const std::uint32_t run =
            left < capacity_ - first ? static_cast<std::uint32_t>(left) : capacity_ - first;
        float* frames = acc_ + std::size_t{first} * 2;
        wrote = out_->Write(frames, run) != 0 || wrote;
        std::memset(frames, 0, std::size_t{run} * 2 * sizeof(float));
        graceFrames_ -= run < graceFrames_ ? run : graceFrames_;
        base_ += run;
    }
    return wrote;
}

// Writes out what every running clock has closed. A clock that has fallen
// behind the furthest by more than its cycle and the longest one, with some
// slack for the data thread's timing, is no longer waited for: its cycle is
// closed with what it has.
bool StreamMixer::Advance() {
    std::int64_t furthest = base_;
    std::uint32_t longest = 0;
    for (const Clock& c : clocks_) {
        if (!c.used) continue;
        if (c.done > furthest) furthest = c.done;
        const std::uint32_t period = c.frames > c.period ? c.frames : c.period;
        if (period > longest) longest = period;
    }
    std::int64_t frontier = furthest;
    for (Clock& c : clocks_) {
        if (!c.used) continue;
        const std::uint32_t period = c.frames > c.period ? c.frames : c.period;
        if (furthest - c.done > std::int64_t{period} + longest + slack_) {
            if (c.open) Close(c);
            continue;
        }
        if (c.done < frontier) frontier = c.done;
    }
    return Emit(frontier);
}

bool StreamMixer::Holding() {
    const std::uint32_t announced = announced_.load(std::memory_order_acquire);
    if (announced != seenAnnounced_) {
        seenAnnounced_ = announced;
        graceFrames_ = kGraceFrames;
    }
    return graceFrames_ != 0 && newcomers_.load(std::memory_order_relaxed) > 0;
}

void StreamMixer::Add(const Clock& c, const PortGains& g, const float* samples,
                      std::uint32_t n, std::int64_t from) {
    // The drift step: the first sample twice, or not at all.
    std::int64_t at = c.start;
    if (c.shift > 0) {
        if (at >= from) {
            float* frame = acc_ + std::size_t{static_cast<std::uint32_t>(at) & (capacity_ - 1)} * 2;
            frame[0] += g.left * samples[0];
            frame[1] += g.right * samples[0];
        }
        ++at;
    } else if (c.shift < 0) {
        ++samples;
        --n;
    }
    if (at < from) {
        const std::int64_t skip = from - at;
        if (skip >= n) return;
        samples += skip;
        n -= static_cast<std::uint32_t>(skip);
        at = from;
    }
    const std::uint32_t first = static_cast<std::uint32_t>(at) & (capacity_ - 1);
    const std::uint32_t run = n < capacity_ - first ? n : capacity_ - first;
    float* sum = acc_ + std::size_t{first} * 2;
    for (std::uint32_t i = 0; i < run; ++i) {
        sum[2 * i] += g.left * samples[i];
        sum[2 * i + 1] += g.right * samples[i];
    }
    for (std::uint32_t i = run; i < n; ++i) {
        acc_[2 * (i - run)] += g.left * samples[i];
        acc_[2 * (i - run) + 1] += g.right * samples[i];
    }
}

bool StreamMixer::Mix(MixerInput& input, const MixClock& clock, const float* const* planes,
                      std::uint32_t frames) {
    if (acc_ == nullptr) return false;
    if (!input.joined.load(std::memory_order_relaxed) &&
        !input.joined.exchange(true, std::memory_order_acq_rel))
        newcomers_.fetch_sub(1, std::memory_order_relaxed);
    Clock& c = Find(clock.id);
    c.lastUse = ++serial_;
    if (c.closedAny && clock.position <= c.closedPosition &&
        c.closedPosition - clock.position < kLateWindow) {
        // Its cycle is closed: dropped, and waited for again from the next.
        if (input.readmitted != c.cycle) {
            input.readmitted = c.cycle;
            ++c.awaited;
        }
        return false;
    }
    // A second block of the same input, or a later cycle: the clock moved on.
    bool wrote = false;
    if (c.open && (input.cycle == c.cycle || clock.position != c.position)) {
        Close(c);
        wrote = Advance();
    }
    if (!c.open) Open(c, clock);
    // An input that moved to another clock (its player to another device)
    // must not overlap its own last block: a cycle that starts anew with it
    // starts where that block ended; in a running clock's cycle, the part
    // of its block that would overlap is left out.
    if (!c.follows && c.delivered == 0 && input.end > c.start) {
        c.offset += input.end - c.start;
        c.start = c.done = input.end;
    }
    const bool awaited = input.cycle == c.previous || input.readmitted == c.cycle;

    const std::uint32_t n = frames < maxFrames_ ? frames : maxFrames_;
    const std::uint32_t length = n == 0 ? 0 : static_cast<std::uint32_t>(std::int64_t{n} + c.shift);
    // A clock far ahead of one still awaited: the oldest frames go out as
    // they are rather than be overwritten.
    if (c.start + length > base_ + capacity_) wrote = Emit(c.start + length - capacity_) || wrote;
    const PortGains* gains = input.gains.load(std::memory_order_acquire);
    const std::int64_t from = input.end > base_ ? input.end : base_;
    for (std::size_t k = 0; gains != nullptr && n != 0 && k < input.ports; ++k) {
        const PortGains g = gains[k];
        if (planes[k] == nullptr || (g.left == 0.0f && g.right == 0.0f)) continue;
        Add(c, g, planes[k], n, from);
    }
    if (c.start + length > input.end) input.end = c.start + length;
    if (length > c.frames) c.frames = length;
    if (c.start + c.frames > end_) end_ = c.start + c.frames;
    input.cycle = c.cycle;
    ++c.delivered;
    if (awaited) ++c.arrived;
    if (c.arrived >= c.awaited && !Holding()) Close(c);
    return Advance() || wrote;
}

bool StreamMixer::Flush() {
    for (Clock& c : clocks_)
        if (c.open) Close(c);
    return Emit(end_);
}
