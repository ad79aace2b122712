// Captured audio on its way to standard output. The capture loop (main
// thread) copies each packet in and never waits for the reader; the writer
// thread (OutputWriterThread) writes it out, oldest first. A reader that
// stalls longer than the ring holds loses the oldest audio not yet being
// written, whole blocks of whole frames, and the stream goes on.
//
// The ring is a pool of blocks and a queue of block numbers in stream order.
// The loop appends to the newest queued block; the writer claims the oldest,
// seals it (the loop then opens a new one) and writes it straight from the
// pool. With no free block the loop takes the oldest queued one back: the one
// being written is out of the queue and never touched. No locks: the queue
// head and the fill of the newest block are the only values both sides
// change, each by one atomic read-modify-write.
//
// Every frame has a capture position (frames appended before it, dropped
// ones included); each block keeps the position of its first frame, so the
// writer sees a gap as a jump in positions and tells how many frames it
// lost. Discontinuities the platform flags travel to the writer as marks:
// the capture positions where they are.
#pragma once

#include "platform.h"

#include <atomic>
#include <cstdint>

inline constexpr std::uint32_t kRingBlockFrames = 4096;
// One block may be out being written and one half-filled: 64 whole blocks,
// 2^18 frames (5.46 s at 48 kHz), are always kept.
inline constexpr std::uint32_t kRingBlocks = 66;
inline constexpr std::uint32_t kRingKeptFrames = (kRingBlocks - 2) * kRingBlockFrames;

class OutputRing {
public:
    OutputRing() = default;
    OutputRing(const OutputRing&) = delete;
    OutputRing& operator=(const OutputRing&) = delete;
    ~OutputRing();

    // The only allocation; false when memory is short.
    bool Init(std::uint32_t frameBytes);

    // ---- main thread ----
    // Copies frames (zeros when data is null), dropping the oldest queued
    // audio when there is no room. Of a packet longer than the ring only its
    // newest kRingKeptFrames can be kept, so the rest is dropped unread.
    void Append(const BYTE* data, std::uint64_t frames);
    // The platform lost audio before the next frame appended. A mark that
    // finds kMarks unread is not kept.
    void MarkDiscontinuity();

    // ---- writer thread ----
    struct Block {
        const BYTE* data;
        std::uint32_t bytes;
        std::uint32_t frames;
        std::uint32_t index;
        std::uint64_t start;  // capture position of its first frame
    };
    // The oldest queued block, taken out of the queue; false when none is.
    bool Claim(Block* block);
    // Gives a claimed block back once it has been written.
    void Free(std::uint32_t index);
    // The oldest unread mark before capture position end, taken; false when
    // none is.
    bool TakeMark(std::uint64_t end, std::uint64_t* position);
    // Capture position after the last frame appended.
    std::uint64_t Appended() const { return appended_.load(std::memory_order_acquire); }

private:
    static constexpr std::uint32_t kSlots = 128;  // power of two above kRingBlocks
    static constexpr std::uint32_t kSealed = 0x80000000u;
    static constexpr std::uint32_t kMarks = 64;

    BYTE* Storage(std::uint32_t block) const;
    std::uint32_t TakeBlock();  // main thread: a free block, or the oldest queued one

    BYTE* storage_ = nullptr;
    std::uint32_t frameBytes_ = 0;
    // Frames in each block; kSealed once the writer has claimed it.
    std::atomic<std::uint32_t> fill_[kRingBlocks] = {};
    std::atomic<std::uint32_t> queue_[kSlots] = {};
    std::atomic<std::uint32_t> free_[kSlots] = {};
    std::uint64_t start_[kRingBlocks] = {};  // published with the queue tail
    std::atomic<std::uint64_t> marks_[kMarks] = {};
    // At a hundred packets a second false sharing costs nothing worth the
    // padding (which MSVC's /W4 would warn of).
    std::atomic<std::uint64_t> queueHead_{0};  // both threads (CAS)
    std::atomic<std::uint64_t> queueTail_{0};  // main thread stores
    std::atomic<std::uint64_t> freeTail_{0};   // writer thread stores
    std::uint64_t freeHead_ = 0;               // main thread only
    std::atomic<std::uint64_t> appended_{0};   // main thread stores
    std::atomic<std::uint64_t> markTail_{0};   // main thread stores
    std::atomic<std::uint64_t> markHead_{0};   // writer thread stores
    std::uint32_t open_ = kRingBlocks;         // main thread: block appended to
};

// The writer thread and what it shares with the main thread. wake is an
// auto-reset event the loop sets after appending; done is a manual-reset
// event the writer sets as it ends, after storing result. Each gap in what
// it writes becomes one notice on standard error, before the frame after it.
struct OutputWriter {
    OutputRing ring;
    HANDLE wake = nullptr;
    HANDLE done = nullptr;
    HANDLE thread = nullptr;
    std::atomic<bool> finishing{false};
    HRESULT result = S_OK;  // written by the writer before done is set
};

// Starts the writer thread; a thread that cannot start gives its code.
HRESULT StartOutputWriter(OutputWriter& writer);
// Lets the writer write what is queued, then waits for it to end; returns its
// result: S_OK, or the first failed write's code. Nothing when not started.
HRESULT FinishOutputWriter(OutputWriter& writer);
