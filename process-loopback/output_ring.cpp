// Append and TakeBlock run on the main thread (capture loop), Claim, Free and
// OutputWriterThread on the writer thread, Start/FinishOutputWriter on the
// main thread.
#include "output_ring.h"

#include "standard_error.h"
#include "last_error.h"
#include "output_stream.h"

#include <cstring>
#include <new>

OutputRing::~OutputRing() { delete[] storage_; }

bool OutputRing::Init(std::uint32_t frameBytes) {
    if (storage_ != nullptr || frameBytes == 0) return false;
    storage_ = new (std::nothrow) BYTE[std::size_t{kRingBlocks} * kRingBlockFrames * frameBytes];
    if (storage_ == nullptr) return false;
    frameBytes_ = frameBytes;
    for (std::uint32_t b = 0; b < kRingBlocks; ++b) free_[b].store(b, std::memory_order_relaxed);
    freeTail_.store(kRingBlocks, std::memory_order_release);
    return true;
}

BYTE* OutputRing::Storage(std::uint32_t block) const {
    return storage_ + std::size_t{block} * kRingBlockFrames * frameBytes_;
}

std::uint32_t OutputRing::TakeBlock() {
    for (;;) {
        if (freeHead_ != freeTail_.load(std::memory_order_acquire)) {
            const std::uint32_t block = free_[freeHead_++ % kSlots].load(std::memory_order_relaxed);
            fill_[block].store(0, std::memory_order_relaxed);
            return block;
        }
        // No block is free, so all but the one being written are queued: the
        // oldest is not the one being appended to.
        std::uint64_t head = queueHead_.load(std::memory_order_acquire);
        if (head == queueTail_.load(std::memory_order_relaxed)) continue;
        const std::uint32_t block = queue_[head % kSlots].load(std::memory_order_relaxed);
        if (queueHead_.compare_exchange_strong(head, head + 1, std::memory_order_acq_rel)) {
            fill_[block].store(0, std::memory_order_relaxed);
            return block;
        }
    }
}

void OutputRing::Append(const BYTE* data, std::uint64_t frames) {
    if (storage_ == nullptr) return;
    std::uint64_t position = appended_.load(std::memory_order_relaxed);
    if (frames > kRingKeptFrames) {
        const std::uint64_t skipped = frames - kRingKeptFrames;
        position += skipped;
        if (data != nullptr) data += skipped * frameBytes_;
        frames = kRingKeptFrames;
    }
    const auto put = [&](BYTE* to, std::uint32_t n) {
        if (data != nullptr) {
            std::memcpy(to, data, std::size_t{n} * frameBytes_);
            data += std::size_t{n} * frameBytes_;
        } else {
            std::memset(to, 0, std::size_t{n} * frameBytes_);
        }
        frames -= n;
    };
    while (frames > 0) {
        if (open_ != kRingBlocks) {
            std::uint32_t fill = fill_[open_].load(std::memory_order_acquire);
            if ((fill & kSealed) == 0 && fill < kRingBlockFrames) {
                const std::uint32_t room = kRingBlockFrames - fill;
                const auto n = static_cast<std::uint32_t>(frames < room ? frames : room);
                // Past the fill the writer never reads, so the copy is safe
                // even if the block is sealed meanwhile; then it just does
                // not count, and the frames go to a new block.
                const BYTE* before = data;
                const std::uint64_t framesBefore = frames;
                put(Storage(open_) + std::size_t{fill} * frameBytes_, n);
                if (fill_[open_].compare_exchange_strong(fill, fill + n, std::memory_order_release,
                                                         std::memory_order_relaxed)) {
                    position += n;
                    continue;
                }
                data = before;
                frames = framesBefore;
            }
            open_ = kRingBlocks;
            continue;
        }
        const std::uint32_t block = TakeBlock();
        const auto n = static_cast<std::uint32_t>(frames < kRingBlockFrames ? frames
                                                                             : kRingBlockFrames);
        put(Storage(block), n);
        fill_[block].store(n, std::memory_order_relaxed);
        start_[block] = position;
        position += n;
        const std::uint64_t tail = queueTail_.load(std::memory_order_relaxed);
        queue_[tail % kSlots].store(block, std::memory_order_relaxed);
        queueTail_.store(tail + 1, std::memory_order_release);
        open_ = block;
    }
    appended_.store(position, std::memory_order_release);
}

void OutputRing::MarkDiscontinuity() {
    const std::uint64_t tail = markTail_.load(std::memory_order_relaxed);
    if (tail - markHead_.load(std::memory_order_acquire) == kMarks) return;
    marks_[tail % kMarks].store(appended_.load(std::memory_order_relaxed),
                                std::memory_order_relaxed);
    markTail_.store(tail + 1, std::memory_order_release);
}

bool OutputRing::Claim(Block* block) {
    std::uint64_t head = queueHead_.load(std::memory_order_acquire);
    std::uint32_t claimed = 0;
    do {
        if (head == queueTail_.load(std::memory_order_acquire)) return false;
        claimed = queue_[head % kSlots].load(std::memory_order_relaxed);
    } while (!queueHead_.compare_exchange_weak(head, head + 1, std::memory_order_acq_rel,
                                               std::memory_order_acquire));
    const std::uint32_t frames =
        fill_[claimed].fetch_or(kSealed, std::memory_order_acq_rel) & ~kSealed;
    *block = {Storage(claimed), frames * frameBytes_, frames, claimed, start_[claimed]};
    return true;
}

void OutputRing::Free(std::uint32_t index) {
    const std::uint64_t tail = freeTail_.load(std::memory_order_relaxed);
    free_[tail % kSlots].store(index, std::memory_order_relaxed);
    freeTail_.store(tail + 1, std::memory_order_release);
}

bool OutputRing::TakeMark(std::uint64_t end, std::uint64_t* position) {
    const std::uint64_t head = markHead_.load(std::memory_order_relaxed);
    if (head == markTail_.load(std::memory_order_acquire)) return false;
    const std::uint64_t mark = marks_[head % kMarks].load(std::memory_order_relaxed);
    if (mark >= end) return false;
    *position = mark;
    markHead_.store(head + 1, std::memory_order_release);
    return true;
}

namespace {

// Where the stream stands: frames written, and the capture position of the
// frame that follows them.
struct Written {
    std::uint64_t frames = 0;
    std::uint64_t next = 0;
};

// Tells of what was lost before capture position `start`, the next frame
// to be written (audio the ring dropped), then of the platform's marks
// before `end`. A mark on the stream's first frame lost nothing of it.
void ReportGaps(OutputRing& ring, Written& at, std::uint64_t start, std::uint64_t end) {
    if (start > at.next) {
        ReportAudioLost(start - at.next, at.frames, AudioLoss::ReaderBehind);
        at.next = start;
    }
    for (std::uint64_t mark = 0; ring.TakeMark(end, &mark);) {
        const std::uint64_t position = at.frames + (mark - at.next);
        if (mark >= at.next && position != 0) ReportAudioLost(0, position, AudioLoss::Platform);
    }
}

// Writes queued blocks until the loop says it is finishing and none is left,
// or a write fails.
DWORD WINAPI OutputWriterThread(LPVOID parameter) {
    auto& writer = *static_cast<OutputWriter*>(parameter);
    HRESULT hr = S_OK;
    Written at;
    for (;;) {
        const bool last = writer.finishing.load(std::memory_order_acquire);
        OutputRing::Block block{};
        if (writer.ring.Claim(&block)) {
            ReportGaps(writer.ring, at, block.start, block.start + block.frames);
            hr = WriteFully(block.data, block.bytes);
            writer.ring.Free(block.index);
            if (FAILED(hr)) break;
            at = {at.frames + block.frames, block.start + block.frames};
        } else if (last) {
            const std::uint64_t appended = writer.ring.Appended();
            ReportGaps(writer.ring, at, appended, appended + 1);
            break;
        } else if (WaitForSingleObject(writer.wake, INFINITE) != WAIT_OBJECT_0) {
            hr = LastErrorAsFailure();
            break;
        }
    }
    writer.result = hr;
    SetEvent(writer.done);
    return 0;
}

}  // namespace

HRESULT StartOutputWriter(OutputWriter& writer) {
    writer.thread = CreateThread(nullptr, 0, OutputWriterThread, &writer, 0, nullptr);
    return writer.thread != nullptr ? S_OK : LastErrorAsFailure();
}

HRESULT FinishOutputWriter(OutputWriter& writer) {
    if (writer.thread == nullptr) return writer.result;
    writer.finishing.store(true, std::memory_order_release);
    SetEvent(writer.wake);
    WaitForSingleObject(writer.thread, INFINITE);
    CloseHandle(writer.thread);
    writer.thread = nullptr;
    return writer.result;
}
