// What the files of the scripted audio platform share: the scenario
// (scenario.cpp), the trace and the objects' reference counts (trace.cpp),
// the audio client (audio_client.cpp) and the activation
// (scripted_platform.cpp).
#pragma once

#include "platform.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

enum class Completion { Now, Late, Never };
enum class ResultMode { Ok, Code, Fail, None, Other };
enum class Pace { Prequeue, Fast, Realtime };

struct PacketPlan {
    std::uint32_t frames = 0;
    bool silent = false, nullData = false, zeroFromGetBuffer = false, discontinuity = false;
};

struct Scenario {
    HRESULT activate = S_OK, initialize = S_OK, setEventHandle = S_OK, start = S_OK;
    Completion completion = Completion::Now;
    unsigned lateMs = 0;
    ResultMode resultMode = ResultMode::Ok;
    HRESULT resultCode = S_OK;
    std::vector<PacketPlan> packets;
    bool repeat = false;
    Pace pace = Pace::Fast;
    std::string failAt;  // getnext, getbuffer or release
    std::uint64_t failPacket = 0;
    HRESULT failCode = E_FAIL;
    unsigned bufferMs = 0;
    std::uint32_t flushFrames = 0;
    bool stamp = false, singleThreadedApartment = false, waitFails = false;
    bool threadStartFails = false, threadStartFailsEarly = false;
    DWORD writeLimit = 0, openProcessError = 0;
};

// Read from SONDREL_SCENARIO once; a word it cannot read ends the run (99).
const Scenario& TheScenario();

// One line to the file named by SONDREL_TRACE; the caller's last error stays.
void Record(const char* format, ...);
// " events=open|closed" once the program has given its sample event.
const char* EventState();
extern std::atomic<HANDLE> eventGiven;
extern std::atomic<long> liveObjects;
extern thread_local bool onCompletionThread;

// Lets a completion that answers at once finish before the program's next
// call (scripted_platform.cpp); JoinCompletions waits for all of them.
void SettleCompletion();
void JoinCompletions();

// Records a standard descriptor that holds an event (Linux).
void CheckStandardDescriptors();

// A new activated audio client (audio_client.cpp).
IAudioClient* NewAudioClient();

// A COM object of the platform answering IUnknown and one interface. The
// references the program takes and drops go through AddRef and Release, and
// each Release is traced under the interface's name; the platform's own
// references use Hold and Drop, untraced.
template <typename Interface>
class Object : public Interface {
public:
    Object(const char* name, const IID& iid) : name_(name), iid_(iid) { ++liveObjects; }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, iid_))
            return *object = nullptr, E_NOINTERFACE;
        *object = static_cast<Interface*>(this);
        Hold();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Hold(); }
    ULONG STDMETHODCALLTYPE Release() override {
        SettleCompletion();
        Record("Release %s%s", name_, onCompletionThread ? "" : EventState());
        return Drop();
    }
    ULONG Hold() { return ++references_; }
    ULONG Drop() {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~Object() { --liveObjects; }

private:
    const char* name_;
    const IID& iid_;
    std::atomic<ULONG> references_{1};
};
