// Sums the captured application streams, one input each, into the stereo
// frames of the packet ring, cycle by cycle of the graph's clock.
//
// Every input delivers at most one block per graph cycle, starting at the
// cycle's first sample, so blocks of one cycle are summed from offset 0. A
// cycle is emitted as soon as every input it waits for has delivered: those
// that delivered the previous cycle and those that came back late. While a
// new input has not delivered yet (for at most a second of audio after the
// last one was added) a cycle is held until the graph moves on instead: its
// first block lands in the same graph cycle as the others' but may come after
// them, and must still find the cycle open. A stalled input does not hold the
// others back: when any input delivers again, or a block of a later cycle of
// the same clock arrives, the open cycle is emitted with what it has and the
// missing input is no longer waited for. A block that arrives after its cycle
// was emitted is dropped (it would otherwise shift everything after it), and
// its input is waited for again from the next cycle on.
//
// Mix runs on PipeWire's data thread only (all our streams share one), so
// the cycle state needs no locks; AddInput and ForgetInput may be called from
// any thread.
#pragma once

#include "link_policy.h"
#include "packet_ring.h"

#include <atomic>
#include <cstdint>

struct MixerInput {
    // One per port, in port order. Whoever owns the input may point it at
    // another set of the same length at any time, and keeps every set it
    // published until the input is gone: Mix reads it once per block.
    std::atomic<const PortGains*> gains{nullptr};
    std::uint32_t ports = 0;
    // Mixer cycles it last contributed to and was last awaited again in.
    std::uint64_t cycle = ~std::uint64_t{0};
    std::uint64_t readmitted = ~std::uint64_t{0};
    std::atomic<bool> joined{false};  // has delivered a block
};

class StreamMixer {
public:
    StreamMixer() = default;
    StreamMixer(const StreamMixer&) = delete;
    StreamMixer& operator=(const StreamMixer&) = delete;
    ~StreamMixer();

    // out receives interleaved float stereo; blocks longer than
    // maxCycleFrames are cut. False when out of memory.
    bool Init(PacketRing* out, std::uint32_t maxCycleFrames);

    // Announces an input that will deliver soon: until it has, cycles are
    // held until the graph moves on, so its first block is not dropped.
    void AddInput() {
        newcomers_.fetch_add(1, std::memory_order_relaxed);
        announced_.fetch_add(1, std::memory_order_relaxed);
    }

    // An announced input that goes. Only once Mix can no longer see it.
    void ForgetInput(const MixerInput& input) {
        if (!input.joined.load(std::memory_order_relaxed))
            newcomers_.fetch_sub(1, std::memory_order_relaxed);
    }

    // One block of an input: planes holds one pointer per port, port k's
    // samples or null for silence.
    // clock and position name the graph cycle. Returns true when a cycle was
    // written to the ring.
    bool Mix(MixerInput& input, std::uint32_t clock, std::uint64_t position,
             const float* const* planes, std::uint32_t frames);

    // Writes the open cycle out. Only while no Mix can run.
    bool Flush() { return Emit(); }

private:
    bool Emit();
    bool Late(std::uint32_t clock, std::uint64_t position) const;
    bool Holding();

    PacketRing* out_ = nullptr;
    float* sum_ = nullptr;  // interleaved left/right
    std::uint32_t maxFrames_ = 0;

    bool open_ = false;
    std::uint32_t clock_ = 0;
    std::uint64_t position_ = 0;
    std::uint32_t frames_ = 0;
    std::uint64_t cycle_ = 0;  // counts emitted cycles
    std::uint32_t delivered_ = 0;
    std::uint32_t awaited_ = 0;  // inputs the open cycle waits for
    std::uint32_t arrived_ = 0;  // how many of them delivered
    bool emittedAny_ = false;
    std::uint32_t emittedClock_ = 0;
    std::uint64_t emittedPosition_ = 0;
    std::uint32_t graceFrames_ = 0;  // left of the hold for newcomers
    std::uint32_t seenAnnounced_ = 0;
    std::atomic<std::int32_t> newcomers_{0};  // announced, not delivered yet
    std::atomic<std::uint32_t> announced_{0};
};
