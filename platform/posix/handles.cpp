// The table every handle goes through, with generation counts: as on
// Windows, a closed or never-issued handle fails with ERROR_INVALID_HANDLE
// instead of reaching freed memory or another object.
// Any thread uses and closes handles: the main thread, the stop watcher, the
// output writer and the audio side's real-time thread. Use is lock-free;
// Claim and Recycle take the allocation lock.
#include "handle_table.h"

#include <mutex>

#include <unistd.h>

namespace posix_handles {
namespace {

// state: generation in the high 32 bits, then an open bit, then the number of
// calls that are using the slot right now. A slot is recycled only when it is
// closed and nobody uses it, so a call that got in keeps a live object.
constexpr std::uint64_t kOpen = std::uint64_t{1} << 31;
constexpr std::uint64_t kUsers = kOpen - 1;
constexpr std::uint64_t kGenerationOne = std::uint64_t{1} << 32;

constexpr std::uint32_t kSlots = 4095;  // index + 1 fits the handle's 12 bits
constexpr std::uint32_t kStandardSlots = 3;
// The standard slots never close: like the process's own standard handles,
// they refer to whatever is on descriptors 0-2. Constant-initialised, so they
// work before any constructor of another file runs.
Slot slots[kSlots] = {{{kOpen}, Kind::StandardStream, 0, nullptr, 0},
                      {{kOpen}, Kind::StandardStream, 1, nullptr, 0},
                      {{kOpen}, Kind::StandardStream, 2, nullptr, 0}};
std::mutex allocation;  // creating and recycling slots; never held by a signal or wait

// Values are multiples of 4 as on Windows, never null, never the
// pseudo-handle of the current process.
HANDLE HandleValue(std::uint32_t index, std::uint64_t state) {
    const std::uint64_t generation = (state >> 32) & 0xFFFFFFFFu;
    return reinterpret_cast<HANDLE>(
        static_cast<std::uintptr_t>(((generation << 12) | (index + 1)) << 2));
}

// The last user of a closed slot frees what it held and makes it reusable.
void Recycle(Slot& slot) {
    ReleaseEventObject(slot.event);
    std::lock_guard<std::mutex> lock(allocation);
    slot.kind = Kind::Free;
    slot.event = nullptr;
    slot.access = 0;
    slot.state.store((slot.state.load() & ~kUsers & ~kOpen) + kGenerationOne,
                     std::memory_order_release);
}

}  // namespace

Use::Use(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || (value & 3) != 0) return;
    const std::uint64_t index = ((value >> 2) & 0xFFF);
    if (index == 0 || index > kSlots) return;
    Slot& slot = slots[index - 1];
    const std::uint64_t generation = value >> 14;
    std::uint64_t state = slot.state.load(std::memory_order_acquire);
    do {
        if ((state & kOpen) == 0 || ((state >> 32) & 0xFFFFFFFFu) != generation ||
            (state & kUsers) == kUsers)
            return;
    } while (!slot.state.compare_exchange_weak(state, state + 1, std::memory_order_acquire));
    slot_ = &slot;
}

Use::~Use() {
    if (slot_ == nullptr) return;
    const std::uint64_t before = slot_->state.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & kOpen) == 0 && (before & kUsers) == 1) Recycle(*slot_);
}

bool Use::Close() {
    std::uint64_t state = slot_->state.load();
    do {
        if ((state & kOpen) == 0) return false;
    } while (!slot_->state.compare_exchange_weak(state, state & ~kOpen));
    return true;
}

HANDLE Claim(Kind kind, DWORD access, EventObject* event, int fd) {
    std::lock_guard<std::mutex> lock(allocation);
    for (std::uint32_t i = kStandardSlots; i < kSlots; ++i) {
        Slot& slot = slots[i];
        if (slot.kind != Kind::Free) continue;
        slot.kind = kind;
        slot.fd = fd;
        slot.event = event;
        slot.access = access;
        const std::uint64_t state = slot.state.load() | kOpen;
        slot.state.store(state, std::memory_order_release);
        openHandles.fetch_add(1);
        return HandleValue(i, state);
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HANDLE StandardHandle(std::uint32_t descriptor) {
    return HandleValue(descriptor, slots[descriptor].state.load());
}

void ReleaseEventObject(EventObject* event) {
    if (event != nullptr && event->handles.fetch_sub(1) == 1) {
        close(event->fd);
        delete event;
    }
}


std::atomic<long> openHandles{0};

}  // namespace posix_handles

using namespace posix_handles;

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL, DWORD options) {
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() ||
        target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Use use(source);
    if (!use || use->kind != Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD granted = (options & DUPLICATE_SAME_ACCESS) != 0 ? use->access : access;
    use->event->handles.fetch_add(1);
    *target = Claim(Kind::Event, granted, use->event, -1);
    if (*target == nullptr) {
        ReleaseEventObject(use->event);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Use use(handle);
    if (!use || use->kind == Kind::StandardStream || !use.Close()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    openHandles.fetch_sub(1);
    return TRUE;  // recycled when the last call using it returns
}

BOOL GetHandleInformation(HANDLE handle, DWORD* flags) {
    Use use(handle);
    if (!use || flags == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *flags = 0;
    return TRUE;
}
