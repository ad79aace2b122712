// Receives the asynchronously activated audio client on a platform thread.
#pragma once

#include "platform.h"

// Creates the handler with one reference (the caller's). The handler keeps
// its own signal-only duplicate of completionEvent, so a completion that comes
// after the caller gave up and closed its handle still signals a live object.
// E_OUTOFMEMORY when the handler cannot be allocated.
HRESULT CreateActivationHandler(HANDLE completionEvent,
                                IActivateAudioInterfaceCompletionHandler** handler);

// The stored outcome; read only after completionEvent was seen signalled. On
// a non-negative result *audioClient receives a new reference.
HRESULT GetActivationOutcome(IActivateAudioInterfaceCompletionHandler* handler,
                             IAudioClient** audioClient);
