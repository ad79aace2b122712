#include "activation_handler.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Activation {
    HRESULT outcome = E_PENDING;
    IAudioClient* client = nullptr;
    bool signalled = false;
};

void StartActivation(const char* scenario, HANDLE done,
                     IActivateAudioInterfaceCompletionHandler** handler,
                     IActivateAudioInterfaceAsyncOperation** operation) {
    scripted::SetScenario(MakeScenario(scenario));
    ASSERT_EQ(CreateActivationHandler(done, handler), S_OK);
    PROPVARIANT params{};
    ASSERT_EQ(ActivateAudioInterfaceAsync(L"VAD\\Process_Loopback", IID_IAudioClient, &params,
                                          *handler, operation),
              S_OK);
}

// Activates through the scripted platform, which completes on its own thread.
Activation Activate(const char* scenario) {
    Activation result;
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    StartActivation(scenario, done, &handler, &operation);
    result.signalled = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
    result.outcome = GetActivationOutcome(handler, &result.client);
    scripted::JoinCompletionThreads();
    CloseHandle(done);
    if (result.client != nullptr) result.client->Release();
    operation->Release();
    handler->Release();
    return result;
}

TEST(ActivationHandler, StoresTheOutcomeAndAlwaysSignals) {
    const long handles = OpenHandles();
    struct Case {
        const char* scenario;
        HRESULT outcome;
        bool client;
    } cases[] = {
        {"result=ok", S_OK, true},
        {"result=code:0x1", 1, true},
        {"result=code:0x88890008", static_cast<HRESULT>(0x88890008), false},
        {"result=fail:0x80004005", E_FAIL, false},
        {"result=none", E_UNEXPECTED, false},
        {"result=other", E_NOINTERFACE, false},
    };
    for (const Case& c : cases) {
        const Activation a = Activate(c.scenario);
        EXPECT_TRUE(a.signalled) << c.scenario;
        EXPECT_EQ(a.outcome, c.outcome) << c.scenario;
        EXPECT_EQ(a.client != nullptr, c.client) << c.scenario;
    }
    ExpectEverythingReleased(handles);
}

TEST(ActivationHandler, AnswersItsInterfacesAndNothingElse) {
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
    ASSERT_EQ(CreateActivationHandler(done, &handler), S_OK);

    void* unknown = nullptr;
    void* agile = nullptr;
    void* marshal = nullptr;
    void* own = nullptr;
    ASSERT_EQ(handler->QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_EQ(handler->QueryInterface(IID_IActivateAudioInterfaceCompletionHandler, &own), S_OK);
    ASSERT_EQ(handler->QueryInterface(IID_IAgileObject, &agile), S_OK);
    ASSERT_EQ(handler->QueryInterface(IID_IMarshal, &marshal), S_OK);
    EXPECT_EQ(unknown, static_cast<void*>(handler));
    EXPECT_EQ(own, static_cast<void*>(handler));
    EXPECT_EQ(agile, marshal);
    EXPECT_NE(agile, static_cast<void*>(handler));

    // The marshal view is backed by the free-threaded marshaler.
    DWORD size = 0;
    EXPECT_NE(static_cast<IMarshal*>(marshal)->GetMarshalSizeMax(IID_IUnknown, handler, 0, nullptr,
                                                                 0, &size),
              E_OUTOFMEMORY);

    void* other = &size;
    EXPECT_EQ(handler->QueryInterface(IID_IAudioClient, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    static_cast<IUnknown*>(unknown)->Release();
    static_cast<IUnknown*>(own)->Release();
    static_cast<IUnknown*>(agile)->Release();
    EXPECT_EQ(static_cast<IUnknown*>(marshal)->Release(), 1u);
    EXPECT_EQ(handler->Release(), 0u);
    CloseHandle(done);
}

// The creator gave up and closed its event before the platform completed:
// the completion must signal something that is still alive, and the handler
// closes its own copy when it dies.
TEST(ActivationHandler, CompletionAfterTheCreatorClosedItsEventIsHarmless) {
    const long handles = OpenHandles();
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    StartActivation("completion=late:200", done, &handler, &operation);
    CloseHandle(done);
    EXPECT_FALSE(HandleIsOpen(done));
    operation->Release();
    handler->Release();
    ExpectEverythingReleased(handles);
    const auto calls = scripted::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "ActivateCompleted"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "~AudioClient"), calls.end());
}

}  // namespace
