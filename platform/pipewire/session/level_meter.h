// A passive tap that only measures: an input stream of ours with one port per
// output port of an application stream, linked to them as the capture's taps
// are (passive, not lingering), keeping the loudest sample it sees while
// measuring is on.
//
// Threads: NewLevelMeter, LinkLevelMeter, DestroyLevelMeter and the state
// callback run on the listing's loop thread, lock held; the block callback on
// PipeWire's data thread, where it only reads the buffer and stores an atomic.
#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <vector>

struct LevelMeter {
    pw_thread_loop* loop = nullptr;      // signalled when the stream's node is known
    const std::atomic<bool>* measuring = nullptr;
    std::uint32_t channels = 0;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::uint32_t node = 0xFFFFFFFFu;    // our stream's node, once known
    bool failed = false;
    std::vector<pw_proxy*> links;
    std::atomic<float> peak{0.0f};
    std::atomic<bool> flowing{false};  // a block has come through our links
};

// A connected, unlinked meter; null when out of memory, failed when its
// stream could not be made.
LevelMeter* NewLevelMeter(pw_core* core, pw_thread_loop* loop,
                          const std::atomic<bool>* measuring, std::uint32_t channels);
// Links appPorts[i] to inputPorts[i]; false when a link could not be asked for.
bool LinkLevelMeter(LevelMeter& meter, pw_core* core, std::uint32_t appNode,
                    const std::vector<std::uint32_t>& appPorts,
                    const std::vector<std::uint32_t>& inputPorts);
// Unlinks and destroys; returns once the data thread has let go of the stream.
void DestroyLevelMeter(LevelMeter* meter);
