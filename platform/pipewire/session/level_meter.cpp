#include "level_meter.h"

#include "capture_format.h"
#include "tap.h"
#include "tap_chunk.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace {

void OnMeterState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* meter = static_cast<LevelMeter*>(data);
    if (state == PW_STREAM_STATE_ERROR) meter->failed = true;
    else meter->node = pw_stream_get_node_id(meter->stream);
    pw_thread_loop_signal(meter->loop, false);
}

// Data thread: no lock, no allocation, no system call.
void OnMeterProcess(void* data) {
    auto* meter = static_cast<LevelMeter*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(meter->stream);
    if (buffer == nullptr) return;
    meter->flowing.store(true, std::memory_order_release);
    if (meter->measuring->load(std::memory_order_acquire)) {
        float peak = meter->peak.load(std::memory_order_relaxed);
        for (std::uint32_t k = 0; k < buffer->buffer->n_datas && k < meter->channels; ++k) {
            const spa_data& plane = buffer->buffer->datas[k];
            if (plane.data == nullptr || plane.chunk == nullptr) continue;
            const ChunkSpan span = ClampChunk(plane.chunk->offset, plane.chunk->size, plane.maxsize);
            const auto* samples = reinterpret_cast<const float*>(
                static_cast<const std::uint8_t*>(plane.data) + span.offset);
            for (std::uint32_t i = 0; i < span.samples; ++i)
                if (std::fabs(samples[i]) > peak) peak = std::fabs(samples[i]);  // NaN never wins
        }
        meter->peak.store(peak, std::memory_order_relaxed);
    }
    pw_stream_queue_buffer(meter->stream, buffer);
}

const pw_stream_events kMeterEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = OnMeterState,
    .control_info = nullptr,
    .io_changed = nullptr,
    .param_changed = nullptr,
    .add_buffer = nullptr,
    .remove_buffer = nullptr,
    .process = OnMeterProcess,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

}  // namespace

LevelMeter* NewLevelMeter(pw_core* core, pw_thread_loop* loop,
                          const std::atomic<bool>* measuring, std::uint32_t channels) {
    auto* meter = new (std::nothrow) LevelMeter;
    if (meter == nullptr) return nullptr;
    meter->loop = loop;
    meter->measuring = measuring;
    meter->channels = channels;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
        "Music", PW_KEY_NODE_NAME, "sondrel-process-loopback-meter", PW_KEY_APP_NAME,
        "sondrel-process-loopback", PW_KEY_NODE_ALWAYS_PROCESS, "false",
        nullptr);
    meter->stream = props != nullptr && channels > 0 && channels <= SPA_AUDIO_MAX_CHANNELS
                        ? pw_stream_new(core, "sondrel-process-loopback-meter", props)
                        : nullptr;
    if (meter->stream == nullptr) {
        meter->failed = true;
        return meter;
    }
    pw_stream_add_listener(meter->stream, &meter->listener, &kMeterEvents, meter);
    if (!ConnectPlanarInput(meter->stream, channels)) meter->failed = true;
    return meter;
}

bool LinkLevelMeter(LevelMeter& meter, pw_core* core, std::uint32_t appNode,
                    const std::vector<std::uint32_t>& appPorts,
                    const std::vector<std::uint32_t>& inputPorts) {
    bool all = true;
    for (std::size_t i = 0; i < appPorts.size() && i < inputPorts.size(); ++i) {
        // Passive: our link alone never sets the application running.
        pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false",
                                                 PW_KEY_LINK_PASSIVE, "true", nullptr);
        if (props == nullptr) return false;
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", appNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", appPorts[i]);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", meter.node);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inputPorts[i]);
        auto* link = static_cast<pw_proxy*>(pw_core_create_object(
            core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
        if (link == nullptr) {
            all = false;
            continue;
        }
        meter.links.push_back(link);
    }
    return all;
}

void DestroyLevelMeter(LevelMeter* meter) {
    for (pw_proxy* link : meter->links) pw_proxy_destroy(link);
    if (meter->stream != nullptr) {
        spa_hook_remove(&meter->listener);
        pw_stream_destroy(meter->stream);
    }
    delete meter;
}
