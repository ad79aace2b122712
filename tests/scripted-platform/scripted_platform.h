// A scripted stand-in for the platform audio operations: activation, the
// audio client and the capture client behave as a scenario says, and every
// call is recorded so tests can see what the program did.
//
// Scenario text: blank- or ';'-separated key=value words, e.g.
//   activate=0x80070005          result of the ActivateAudioInterfaceAsync call
//   completion=now|late:MS|never when ActivateCompleted is called
//   result=ok|code:HR|fail:HR|none|other
//                                GetActivateResult: an audio client; an activation
//                                failure HR; the call itself failing with HR;
//                                success without writing the outs; an object
//                                that is no audio client
//   initialize=HR seteventhandle=HR getservice=HR start=HR
//   packets=480x10,480s,480n,z,960
//                                frames per packet; s = silent (data still
//                                filled), n = null data, z = announced but
//                                GetBuffer gives 0 frames, xN = repeated
//   repeat                       the packet list starts over when done
//   pace=prequeue|fast|realtime  all queued inside Start; as fast as the
//                                reader takes them; at 48 kHz
//   fail=getnext|getbuffer|release:K:HR
//                                that packet call fails at packet K (0-based)
// Sample n of the stream (counting every frame, silent ones too) has left
// channel n and right channel -n (as float; n wraps at 2^24).
#pragma once

#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace scripted {

struct PacketSpec {
    std::uint32_t frames = 0;
    bool silent = false;
    bool nullData = false;
    bool zeroFromGetBuffer = false;
};

enum class Completion { Now, Late, Never };
enum class ResultMode { Ok, Code, Fail, None, Other };
enum class Pace { Prequeue, Fast, Realtime };
enum class FailAt { None, GetNextPacketSize, GetBuffer, ReleaseBuffer };

struct Scenario {
    HRESULT activate = S_OK;
    Completion completion = Completion::Now;
    std::uint32_t lateMs = 0;
    ResultMode resultMode = ResultMode::Ok;
    HRESULT resultCode = S_OK;
    HRESULT initialize = S_OK;
    HRESULT setEventHandle = S_OK;
    HRESULT getService = S_OK;
    HRESULT start = S_OK;
    std::vector<PacketSpec> packets;
    bool repeat = false;
    Pace pace = Pace::Fast;
    FailAt failAt = FailAt::None;
    std::uint32_t failPacket = 0;
    HRESULT failCode = E_FAIL;
};

// False with a reason when the text is not a scenario.
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error);

// Replaces the scenario (and clears the record). Without a call, the scenario
// comes from the environment variable SONDREL_SCENARIO; a trace of calls is
// appended to the file named by SONDREL_TRACE, one call per line.
void SetScenario(const Scenario& scenario);

struct ActivationRecord {
    std::wstring path;
    bool audioClientIid = false;
    VARTYPE variantType = 0;
    ULONG blobSize = 0;
    std::uint32_t params[3] = {0, 0, 0};
};

struct InitializeRecord {
    int shareMode = -1;
    DWORD flags = 0;
    REFERENCE_TIME duration = -1;
    REFERENCE_TIME periodicity = -1;
    WAVEFORMATEX format{};
    bool sessionGuidNull = false;
};

// The calls made so far, by name, in order (packet calls left out).
std::vector<std::string> Calls();
ActivationRecord LastActivation();
InitializeRecord LastInitialize();
HANDLE EventHandleGiven();
// Objects handed out that are still alive (reference count above zero).
long LiveObjects();
// Waits for completions still pending on their own threads.
void JoinCompletionThreads();
// Packets fully released by the program.
std::uint32_t PacketsReleased();

}  // namespace scripted
