// The main loop: sleep until data, a stop or the writer's end; copy every
// pending packet into the output ring.
#pragma once

#include "output_ring.h"
#include "platform.h"

// waitList: {StopEvent, the writer's done event, SampleReadyEvent}. Returns
// the running result on a stop or when the writer has ended (its own result
// then decides the run), or the first failing platform or wait code. After a
// stop it takes only what was pending with it: at most one more pass.
HRESULT RunCaptureLoop(IAudioCaptureClient* captureClient, const HANDLE waitList[3],
                       OutputWriter& writer, HRESULT startResult);
