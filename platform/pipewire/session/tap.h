// One input stream of ours per captured application stream (or waiting as a
// spare), so an application that stalls holds back only its own input.
//
// Threads:
//  - NewTap, DestroyTap, AssignTap and the stream's state and io callbacks run
//    on the session's loop thread, with its lock held.
//  - OnTapProcess is the only real-time code: it runs on PipeWire's data
//    thread and must not lock, allocate, throw or make any system call but
//    signalling the event. Every tap of a session must be processed by one
//    and the same thread (the mixer and the ring have one producer); a
//    block processed on any other thread ends the capture.
//  - The position pointer it reads is swapped on that thread too (a blocking
//    invoke from the loop thread), so the area it points to stays mapped
//    while a block is being processed.
#pragma once

#include "link_policy.h"
#include "reconciler.h"
#include "session_events.h"
#include "stream_mixer.h"

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <vector>

// What all taps of a session share. Its fields are set before any tap exists.
struct TapHost {
    SessionEvents* session = nullptr;
    StreamMixer* mixer = nullptr;
    pw_core* core = nullptr;
    pw_loop* dataLoop = nullptr;  // the one loop all our streams run on
    std::atomic<HANDLE> event{nullptr};
    // The data thread, claimed by the first block processed.
    std::atomic<std::uintptr_t> dataThread{0};
};

struct Tap {
    TapHost* host = nullptr;
    std::uint32_t channels = 0;
    std::uint32_t appNode = kNoNode;      // kNoNode while it waits as a spare
    std::vector<std::uint32_t> appPorts;  // linked in this order to our ports 0..n-1
    MixerInput input;
    // Every gain set the mixer was given, kept until the tap goes: the data
    // thread may still read an earlier one while a new one is published.
    std::vector<std::vector<PortGains>> gainSets;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::uint32_t node = kNoNode;  // our stream's node
    bool failed = false;  // could not be made, went to an error state or was destroyed
    spa_io_position* position = nullptr;  // data thread only
    std::atomic<bool> mixing{false};      // set once the fields above are final
};

// A connected input stream with one port per channel, not yet linked; null
// when out of memory. A tap whose stream could not be made comes back failed.
Tap* NewTap(TapHost& host, std::uint32_t channels);
// Connects a passive input stream of `channels` planar float ports at the
// capture rate, to be linked by us alone; false when PipeWire refuses it.
bool ConnectPlanarInput(pw_stream* stream, std::uint32_t channels);
// Returns once the data thread has let go of the stream.
void DestroyTap(Tap* tap);
// Gives a tap to an application stream; from then on it feeds the mixer.
void AssignTap(Tap& tap, std::uint32_t appNode, std::vector<std::uint32_t> appPorts,
               std::vector<PortGains> gains);
// Publishes the gains when they differ from the tap's current set.
void UpdateTapGains(Tap& tap, std::vector<PortGains> gains);
