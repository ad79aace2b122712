// One capture session against the PipeWire daemon: the connection, the view
// of the graph (graph_mirror.h), one input stream of ours per matching
// application stream (tap.h) with the links into it (link_owner.h), as the
// reconciler decides (reconciler.h), and the sum of those streams.
#pragma once

#include "packet_ring.h"

#include <win32_posix.h>

#include <atomic>
#include <cstdint>

struct CaptureRequest {
    std::uint32_t targetPid = 0;
    bool excludeTree = false;  // false: only the tree; true: all but the tree
};

// Frames the ring holds: the platform's buffer, as Windows keeps one (tens of
// ms to 1 s); the program's own ring keeps 5.46 s for a stalled reader. 2^16
// at 48 kHz is 1.37 s, room for several of the largest cycles while the
// capture thread is late.
constexpr std::uint32_t kRingFrames = 1u << 16;
// Largest packet handed out; also the staging area for wrapped packets.
constexpr std::uint32_t kMaxPacketFrames = 4096;
// Longest block of one graph cycle we take: PipeWire's largest quantum
// (8192), resampled up from as low as 24 kHz.
constexpr std::uint32_t kMaxCycleFrames = 16384;

class PwCapture;

// Connects and reads the graph once. Blocks; not for PipeWire's own threads.
// AUDCLNT_E_SERVICE_NOT_RUNNING when no daemon answers.
HRESULT PwCaptureConnect(const CaptureRequest& request, PwCapture** capture);
// Tears everything down in a safe order; capture may be null.
void PwCaptureDestroy(PwCapture* capture);

// Starts following the graph, making our streams and links; event is
// signalled after every cycle written to the ring and when the daemon goes
// away. The event must outlive the capture.
HRESULT PwCaptureStart(PwCapture* capture, HANDLE event);
// Unlinks everything, destroys our streams and writes out the open cycle.
HRESULT PwCaptureStop(PwCapture* capture);

PacketRing& PwCaptureRing(PwCapture* capture);
// S_OK while the capture runs; the code that ended it once the daemon is gone
// (AUDCLNT_E_DEVICE_INVALIDATED) or a callback of ours failed.
HRESULT PwCaptureFailure(const PwCapture* capture);
