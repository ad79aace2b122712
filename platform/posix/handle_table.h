// What the stand-ins in this folder share: the table every handle goes
// through, the event object behind events and threads, and the errno
// mapping. Not part of the program's view of the platform.
// Use, Signal and ReleaseEventObject run on any thread, the audio side's
// real-time thread included; Claim on whichever creates a handle.
#pragma once

#include <win32_posix.h>

#include <atomic>
#include <cstdint>

namespace posix_handles {

enum class Kind : std::uint8_t { Free, Event, StandardStream, Thread, Process };

// One event object, shared by its handle and every duplicate of it; for a
// process, its pidfd, which never resets.
struct EventObject {
    int fd;
    bool manualReset;
    std::atomic<long> handles{1};
    // Orders what the signaller wrote before SetEvent with what the waiter
    // reads after its wait, in the language's memory model (the eventfd alone
    // orders it only in the kernel's).
    std::atomic<std::uint64_t> signals{0};
};

struct Slot {
    std::atomic<std::uint64_t> state{0};
    Kind kind = Kind::Free;
    int fd = -1;  // standard streams
    EventObject* event = nullptr;  // events; a thread's or process's end
    DWORD access = 0;
};

// A slot held for the length of one call: a closed, recycled or never-issued
// handle gives none, and the object stays alive while it is held even if
// another thread closes the handle meanwhile (as on Windows).
class Use {
public:
    explicit Use(HANDLE handle);
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use();

    Slot* get() const { return slot_; }
    Slot* operator->() const { return slot_; }
    explicit operator bool() const { return slot_ != nullptr; }

    // Marks the slot closed; it is recycled when the last user leaves.
    bool Close();

private:
    Slot* slot_ = nullptr;
};

// Claims a free slot; null with ERROR_NOT_ENOUGH_MEMORY when the table is
// full. The slot takes over one reference to event only when it succeeds.
HANDLE Claim(Kind kind, DWORD access, EventObject* event, int fd);

// The handle of standard descriptor 0, 1 or 2.
HANDLE StandardHandle(std::uint32_t descriptor);

// Drops one reference; the last one closes the eventfd.
void ReleaseEventObject(EventObject* event);

// Lock-free, as SetEvent and a thread's end need it.
bool Signal(EventObject* event);

// The Windows code for a failed call's errno.
DWORD ErrorFromErrno(int error);

// Open handles, and the failures tests may ask for (test_hooks/); zero in
// the shipped program, which never sets them.
extern std::atomic<long> openHandles;
extern thread_local DWORD failingWait;
extern std::atomic<DWORD> writeLimit;
extern std::atomic<int> failingThreadStarts;
extern std::atomic<DWORD> failingOpenProcess;

}  // namespace posix_handles
