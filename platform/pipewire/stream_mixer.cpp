#include "stream_mixer.h"

#include <cstring>
#include <new>

namespace {
// A block this far behind the last emitted cycle of its clock is taken for a
// clock that started over, not for a late one.
constexpr std::uint64_t kLateWindow = 1u << 16;
// How long cycles are held for inputs announced but silent: enough for a
// link made during a burst of new streams to become active, and a bound on
// the latency an input that never plays can add.
constexpr std::uint32_t kGraceFrames = 48000;
constexpr std::uint64_t kNever = ~std::uint64_t{0};
}  // namespace

StreamMixer::~StreamMixer() { delete[] sum_; }

bool StreamMixer::Init(PacketRing* out, std::uint32_t maxCycleFrames) {
    if (sum_ != nullptr || out == nullptr || maxCycleFrames == 0) return false;
    sum_ = new (std::nothrow) float[std::size_t{maxCycleFrames} * 2]();
    if (sum_ == nullptr) return false;
    out_ = out;
    maxFrames_ = maxCycleFrames;
    return true;
}

bool StreamMixer::Late(std::uint32_t clock, std::uint64_t position) const {
    return emittedAny_ && clock == emittedClock_ && position <= emittedPosition_ &&
           emittedPosition_ - position < kLateWindow;
}

bool StreamMixer::Emit() {
    if (!open_) return false;
    const bool wrote = frames_ != 0 && out_->Write(sum_, frames_) != 0;
    std::memset(sum_, 0, std::size_t{frames_} * 2 * sizeof(float));
    emittedAny_ = true;
    emittedClock_ = clock_;
    emittedPosition_ = position_;
    ++cycle_;
    awaited_ = delivered_;
    arrived_ = 0;
    delivered_ = 0;
    graceFrames_ -= frames_ < graceFrames_ ? frames_ : graceFrames_;
    frames_ = 0;
    open_ = false;
    return wrote;
}

bool StreamMixer::Holding() {
    const std::uint32_t announced = announced_.load(std::memory_order_relaxed);
    if (announced != seenAnnounced_) {
        seenAnnounced_ = announced;
        graceFrames_ = kGraceFrames;
    }
    return graceFrames_ != 0 && newcomers_.load(std::memory_order_relaxed) > 0;
}

bool StreamMixer::Mix(MixerInput& input, std::uint32_t clock, std::uint64_t position,
                      const float* const* planes, std::uint32_t frames) {
    if (sum_ == nullptr) return false;
    if (!input.joined.load(std::memory_order_relaxed)) {
        input.joined.store(true, std::memory_order_relaxed);
        newcomers_.fetch_sub(1, std::memory_order_relaxed);
    }
    if (Late(clock, position)) {
        if (input.readmitted != cycle_) {
            input.readmitted = cycle_;
            ++awaited_;
        }
        return false;
    }
    bool emitted = false;
    // A second block of the same input, or a later cycle: the graph moved on.
    if (open_ && (input.cycle == cycle_ || (clock == clock_ && position != position_)))
        emitted = Emit();
    if (!open_) {
        open_ = true;
        clock_ = clock;
        position_ = position;
    }
    const bool awaited = (input.cycle != kNever && input.cycle + 1 == cycle_) ||
                         input.readmitted == cycle_;

    const std::uint32_t n = frames < maxFrames_ ? frames : maxFrames_;
    const PortGains* gains = input.gains.load(std::memory_order_acquire);
    for (std::size_t k = 0; gains != nullptr && k < input.ports; ++k) {
        const float* samples = planes[k];
        const PortGains g = gains[k];
        if (samples == nullptr || (g.left == 0.0f && g.right == 0.0f)) continue;
        for (std::uint32_t i = 0; i < n; ++i) {
            sum_[2 * i] += g.left * samples[i];
            sum_[2 * i + 1] += g.right * samples[i];
        }
    }
    if (n > frames_) frames_ = n;
    input.cycle = cycle_;
    ++delivered_;
    if (awaited) ++arrived_;
    if (arrived_ >= awaited_ && !Holding()) emitted = Emit() || emitted;
    return emitted;
}
