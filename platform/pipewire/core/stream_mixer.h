// Sums the captured application streams, one input each, into the stereo
// frames of the packet ring, on one timeline of real time whatever graph
// clocks (drivers) the applications run on.
//
// Per clock, every input delivers at most one block per graph cycle,
// starting at the cycle's first sample, so blocks of one cycle are summed at
// the same place. A clock's cycle is closed as soon as every input it waits
// for has delivered: those that delivered its previous cycle and those that
// came back late. While a new input has not delivered yet (for at most a
// second of audio after the last one was added) a cycle is held until its
// clock moves on instead: its first block lands in the same graph cycle as
// the others' but may come after them, and must still find the cycle open. A
// stalled input does not hold the others of its clock back: when any input
// delivers again, or a block of a later cycle of the same clock arrives, the
// open cycle is closed with what it has and the missing input is no longer
// waited for. A block of a cycle already closed is dropped (it would shift
// everything after it), and its input is waited for again from the next
// cycle on.
//
// Cycles are placed by the time their clock says they started
// (spa_io_position's clock.nsec, CLOCK_MONOTONIC), and each clock's next
// cycle follows its last one sample for sample: within a few samples of where
// its time puts it, the remainder is taken up one sample at a time (a
// device's crystal drifting against the system clock); further off (the
// clock stopped, skipped or came back) it starts again where its time puts
// it, never before what was already written. Frames go out once every clock
// still running has closed its cycles past them; a clock that falls behind
// the others by more than its cycle and theirs (stopped, or all its inputs
// stalled) is no longer waited for. When nothing plays, nothing is written:
// the first cycle after a silence follows the last frame written.
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
    // Data thread only: the mixer cycle it last contributed to and the one
    // it is awaited again in.
    std::uint64_t cycle = ~std::uint64_t{0};
    std::uint64_t readmitted = ~std::uint64_t{0};
    // Data thread only: the timeline frame after its last block; the next
    // never starts before it.
    std::int64_t end = INT64_MIN;
    // Set by whichever comes first: its first block, or its owner forgetting
    // it. Whoever sets it takes it off the newcomers.
    std::atomic<bool> joined{false};
};

// Where a block belongs: the driver's spa_io_position clock.
struct MixClock {
    std::uint32_t id = 0;
    std::uint64_t position = 0;  // the cycle, in the driver's samples
    std::uint64_t nsec = 0;      // when the cycle started; 0 when unknown
};

class StreamMixer {
public:
    StreamMixer() = default;
    StreamMixer(const StreamMixer&) = delete;
    StreamMixer& operator=(const StreamMixer&) = delete;
    ~StreamMixer();

    // out receives interleaved float stereo at 48 kHz; blocks longer than
    // maxCycleFrames are cut. False when out of memory.
    bool Init(PacketRing* out, std::uint32_t maxCycleFrames);

    // Announces an input that will deliver soon: until it has, cycles are
    // held until their clock moves on, so its first block is not dropped.
    void AddInput() {
        newcomers_.fetch_add(1, std::memory_order_relaxed);
        // Publishes the count above to the data thread, which reads this first.
        announced_.fetch_add(1, std::memory_order_release);
    }

    // An announced input that goes. Only once Mix can no longer see it.
    void ForgetInput(MixerInput& input) {
        if (!input.joined.exchange(true, std::memory_order_acq_rel))
            newcomers_.fetch_sub(1, std::memory_order_relaxed);
    }

    // One block of an input: planes holds one pointer per port, port k's
    // samples or null for silence. Returns true when frames were written to
    // the ring.
    bool Mix(MixerInput& input, const MixClock& clock, const float* const* planes,
             std::uint32_t frames);

    // Closes every open cycle and writes everything out. Only while no Mix
    // can run.
    bool Flush();

private:
    struct Clock {
        bool used = false;
        std::uint32_t id = 0;
        std::uint64_t lastUse = 0;
        bool open = false;
        bool continuing = false;  // has closed a cycle its next one follows
        bool follows = false;  // the open cycle follows the last one
        std::uint64_t position = 0;
        std::int64_t start = 0;   // timeline frame of the open cycle
        std::uint32_t frames = 0;  // longest block of the open cycle
        int shift = 0;  // +1 repeats the open cycle's first sample, -1 drops it
        std::int64_t done = 0;  // this clock has nothing more before this frame
        std::int64_t offset = 0;  // timeline frame minus where its time puts it
        std::uint32_t period = 0;  // length of its last closed cycle
        std::uint64_t cycle = 0;  // the open (or next) cycle
        std::uint64_t previous = 0;  // the last closed one
        std::uint32_t delivered = 0;
        std::uint32_t awaited = 0;  // inputs the open cycle waits for
        std::uint32_t arrived = 0;  // how many of them delivered
        bool closedAny = false;
        std::uint64_t closedPosition = 0;
    };
    static constexpr std::uint32_t kClocks = 8;

    Clock& Find(std::uint32_t id);
    void Open(Clock& c, const MixClock& clock);
    void Close(Clock& c);
    std::int64_t TimeToFrame(std::uint64_t nsec) const;
    bool Advance();
    bool Emit(std::int64_t upto);
    bool Holding();
    void Add(const Clock& c, const PortGains& g, const float* samples, std::uint32_t n,
             std::int64_t from);

    PacketRing* out_ = nullptr;
    float* acc_ = nullptr;  // interleaved left/right, frame f at f & mask_
    std::uint32_t capacity_ = 0;
    std::uint32_t maxFrames_ = 0;
    std::uint32_t slack_ = 0;

    Clock clocks_[kClocks];
    std::uint64_t serial_ = 0;  // numbers cycles of every clock, and uses
    std::int64_t base_ = 0;     // first frame not written out yet
    std::int64_t end_ = 0;      // end of the furthest cycle
    bool anchored_ = false;
    std::uint64_t anchorNsec_ = 0;
    std::int64_t anchorFrame_ = 0;

    std::uint32_t graceFrames_ = 0;  // left of the hold for newcomers
    std::uint32_t seenAnnounced_ = 0;
    std::atomic<std::int32_t> newcomers_{0};  // announced, not delivered yet
    std::atomic<std::uint32_t> announced_{0};
};
