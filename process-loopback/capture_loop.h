// The main loop: sleep until data, a stop or the writer's end; copy every
// pending packet into the output ring.
#pragma once

#include "output_ring.h"
#include "platform.h"

// waitList: {StopEvent, the writer's done event, SampleReadyEvent}. Returns
// the running result on a stop or when the writer has ended (its own result
// then decides the run), or the first failing platform or wait code.
HRESULT RunCaptureLoop(IAudioCaptureClient* captureClient, const HANDLE waitList[3],
                       OutputWriter& writer, HRESULT startResult);

// Once the client is stopped: what the platform still holds was captured
// before the stop and goes to the ring, at most a ring's worth, so the stop
// stays bounded. Returns the running result, or the first failing code.
HRESULT DrainStoppedClient(IAudioCaptureClient* captureClient, OutputWriter& writer,
                           HRESULT result);
