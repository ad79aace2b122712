#include "tap.h"

#include "capture_format.h"
#include "tap_chunk.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <new>
#include <pthread.h>
#include <utility>

namespace {

// A stream of ours is only ever disconnected by its destruction, which
// removes this listener first: unconnected means its node was destroyed.
void OnTapState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* tap = static_cast<Tap*>(data);
    const bool lost = state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED;
    const std::uint32_t node = lost ? kNoNode : pw_stream_get_node_id(tap->stream);
    if (node != tap->node || (lost && !tap->failed)) {
        tap->failed = tap->failed || lost;
        tap->node = node;
        tap->host->session->GraphChanged();
    }
}

struct PositionSwap {
    Tap* tap;
    spa_io_position* position;
};

// Data thread, between two blocks.
int SwapPosition(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void*) {
    const auto* swap = static_cast<const PositionSwap*>(data);
    swap->tap->position = swap->position;
    return 0;
}

// Loop thread: the new area is handed over on the data thread, so a block in
// progress never reads one the daemon is taking away.
void OnTapIoChanged(void* data, std::uint32_t id, void* area, std::uint32_t size) {
    auto* tap = static_cast<Tap*>(data);
    if (id != SPA_IO_Position) return;
    const PositionSwap swap{tap, size >= sizeof(spa_io_position)
                                     ? static_cast<spa_io_position*>(area)
                                     : nullptr};
    pw_loop_invoke(tap->host->dataLoop, SwapPosition, 0, &swap, sizeof swap, true, nullptr);
}

// Real-time thread: no locks, no allocation, no system call but the event.
void OnTapProcess(void* data) {
    auto* tap = static_cast<Tap*>(data);
    TapHost& host = *tap->host;
    // The mixer and the ring take one producer: whichever thread processes
    // first is the only one allowed to.
    const auto self = static_cast<std::uintptr_t>(pthread_self());
    std::uintptr_t owner = host.dataThread.load(std::memory_order_relaxed);
    if (owner != self &&
        (owner != 0 || !host.dataThread.compare_exchange_strong(owner, self))) {
        host.session->Fail(E_UNEXPECTED);
        return;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(tap->stream);
    if (buffer == nullptr) return;
    if (!tap->mixing.load(std::memory_order_acquire)) {
        pw_stream_queue_buffer(tap->stream, buffer);
        return;
    }
    const float* planes[SPA_AUDIO_MAX_CHANNELS] = {};
    const std::size_t ports = tap->input.ports;
    std::uint32_t frames = 0;
    bool any = false;
    for (std::uint32_t k = 0; k < buffer->buffer->n_datas && k < ports; ++k) {
        const spa_data& plane = buffer->buffer->datas[k];
        if (plane.data == nullptr || plane.chunk == nullptr) continue;
        const ChunkSpan span = ClampChunk(plane.chunk->offset, plane.chunk->size, plane.maxsize);
        planes[k] = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(plane.data) +
                                                   span.offset);
        frames = any ? SPA_MIN(frames, span.samples) : span.samples;
        any = true;
    }
    // Without the driver's position there is no cycle to place the block in.
    const spa_io_position* position = tap->position;
    const bool emitted =
        position != nullptr &&
        host.mixer->Mix(tap->input,
                        MixClock{position->clock.id, position->clock.position,
                                 position->clock.nsec},
                        planes, frames);
    pw_stream_queue_buffer(tap->stream, buffer);
    if (emitted) {
        HANDLE event = host.event.load(std::memory_order_acquire);
        if (event != nullptr) SetEvent(event);
    }
}

const pw_stream_events kTapEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = OnTapState,
    .control_info = nullptr,
    .io_changed = OnTapIoChanged,
    .param_changed = nullptr,
    .add_buffer = nullptr,
    .remove_buffer = nullptr,
    .process = OnTapProcess,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

}  // namespace

// Planar, one port per application port and no channel mixing: the gains
// (or the meter) decide what each port is worth. No AUTOCONNECT: the session
// manager must not route anything to us; the links we make ourselves are the
// only inputs. Loop thread.
bool ConnectPlanarInput(pw_stream* stream, std::uint32_t channels) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = kCaptureSampleRate;
    info.channels = channels;
    for (std::uint32_t k = 0; k < channels; ++k) info.position[k] = SPA_AUDIO_CHANNEL_AUX0 + k;
    std::uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    return pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS |
                                                          PW_STREAM_FLAG_RT_PROCESS),
                             params, 1) >= 0;
}

Tap* NewTap(TapHost& host, std::uint32_t channels) {
    auto* tap = new (std::nothrow) Tap;
    if (tap == nullptr) return nullptr;
    tap->host = &host;
    tap->channels = channels;
    // All our streams on the first data loop: PipeWire 1.1 and later may
    // otherwise spread a client's nodes over several.
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
        "Music", PW_KEY_NODE_NAME, "sondrel-process-loopback", PW_KEY_APP_NAME,
        "sondrel-process-loopback", PW_KEY_NODE_ALWAYS_PROCESS, "false", "node.loop.name",
        "data-loop.0", nullptr);
    tap->stream = props != nullptr && channels <= SPA_AUDIO_MAX_CHANNELS
                      ? pw_stream_new(host.core, "sondrel-process-loopback", props)
                      : nullptr;
    if (tap->stream == nullptr) {
        tap->failed = true;
        return tap;
    }
    pw_stream_add_listener(tap->stream, &tap->listener, &kTapEvents, tap);
    if (!ConnectPlanarInput(tap->stream, channels)) tap->failed = true;
    return tap;
}

void DestroyTap(Tap* tap) {
    if (tap->stream != nullptr) {
        spa_hook_remove(&tap->listener);
        pw_stream_destroy(tap->stream);
    }
    if (tap->mixing.load(std::memory_order_relaxed)) tap->host->mixer->ForgetInput(tap->input);
    delete tap;
}

void UpdateTapGains(Tap& tap, std::vector<PortGains> gains) {
    if (!tap.gainSets.empty() &&
        std::equal(gains.begin(), gains.end(), tap.gainSets.back().begin(),
                   tap.gainSets.back().end(), [](const PortGains& a, const PortGains& b) {
                       return a.left == b.left && a.right == b.right;
                   }))
        return;
    tap.gainSets.push_back(std::move(gains));
    tap.input.gains.store(tap.gainSets.back().data(), std::memory_order_release);
}

void AssignTap(Tap& tap, std::uint32_t appNode, std::vector<std::uint32_t> appPorts,
               std::vector<PortGains> gains) {
    tap.appNode = appNode;
    tap.appPorts = std::move(appPorts);
    tap.input.ports = tap.channels;
    UpdateTapGains(tap, std::move(gains));
    if (tap.failed) return;
    tap.host->mixer->AddInput();
    tap.mixing.store(true, std::memory_order_release);
}
