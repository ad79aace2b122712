// What the parts of a capture session tell the session itself, and the
// boundary every PipeWire callback of ours passes through.
#pragma once

#include <win32_posix.h>

#include <exception>
#include <new>

class SessionEvents {
public:
    // Loop thread: something the taps or links depend on changed; one pass
    // follows once the burst of events is read.
    virtual void GraphChanged() = 0;
    // Any thread, also the real-time one: ends the capture with this code, as
    // a lost daemon does. Only the first code counts.
    virtual void Fail(HRESULT code) = 0;

protected:
    ~SessionEvents() = default;
};

// PipeWire calls us from C: an exception must not unwind through it. One that
// reaches here ends the capture with a code instead of the program.
template <typename Body>
void Guarded(SessionEvents& session, Body&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        session.Fail(E_OUTOFMEMORY);
    } catch (...) {
        session.Fail(E_UNEXPECTED);
    }
}
