#include "activation_handler.h"

#include <gtest/gtest.h>

namespace {

// Agile through the free-threaded marshaler: IAgileObject and IMarshal give
// the marshal view, anything the handler is not gives nothing.
TEST(ActivationHandler, AnswersItsInterfacesAndNothingElse) {
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
    ASSERT_EQ(CreateActivationHandler(done, &handler), S_OK);
    CloseHandle(done);  // the handler keeps its own copy

    void* views[4] = {};
    const IID* iids[4] = {&IID_IUnknown, &IID_IActivateAudioInterfaceCompletionHandler,
                          &IID_IAgileObject, &IID_IMarshal};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(handler->QueryInterface(*iids[i], &views[i]), S_OK);
    EXPECT_EQ(views[0], static_cast<void*>(handler));
    EXPECT_EQ(views[1], static_cast<void*>(handler));
    EXPECT_EQ(views[2], views[3]);
    EXPECT_NE(views[2], static_cast<void*>(handler));

    DWORD size = 0;
    EXPECT_NE(static_cast<IMarshal*>(views[3])->GetMarshalSizeMax(IID_IUnknown, handler, 0,
                                                                  nullptr, 0, &size),
              E_OUTOFMEMORY);  // a marshaler is behind the view

    void* other = &size;
    EXPECT_EQ(handler->QueryInterface(IID_IAudioClient, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    for (void* view : views) static_cast<IUnknown*>(view)->Release();
    EXPECT_EQ(handler->Release(), 0u);
}

}  // namespace
