// Defines, once, the interface ids the headers only declare.
#if defined(__MINGW32__)
// mingw-w64's headers declare every id with DEFINE_GUID, which defines it
// where initguid.h came first.
#include <initguid.h>

#include "platform.h"
#else
// The Windows SDK's MIDL headers only declare these (initguid.h does nothing
// for them), and uuid.lib holds only the classic COM ones, so all are defined
// here. This library comes before uuid.lib on the link line, so its copies
// are never pulled in; selectany makes a second object defining an id harmless.
#include "platform.h"

#define SONDREL_DEFINE_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" __declspec(selectany) const IID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

SONDREL_DEFINE_IID(IID_IAudioClient, 0x1CB9AD4C, 0xDBFA, 0x4C32, 0xB1, 0x78, 0xC2, 0xF5, 0x68,
                   0xA7, 0x03, 0xB2);
SONDREL_DEFINE_IID(IID_IAudioCaptureClient, 0xC8ADBD64, 0xE71E, 0x48A0, 0xA4, 0xDE, 0x18, 0x5C,
                   0x39, 0x5C, 0xD3, 0x17);
SONDREL_DEFINE_IID(IID_IActivateAudioInterfaceCompletionHandler, 0x41D949AB, 0x9862, 0x444A,
                   0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB);
SONDREL_DEFINE_IID(IID_IActivateAudioInterfaceAsyncOperation, 0x72A22D78, 0xCDE4, 0x431D, 0xB8,
                   0xCC, 0x84, 0x3A, 0x71, 0x19, 0x9B, 0x6D);
SONDREL_DEFINE_IID(IID_IAgileObject, 0x94EA2B94, 0xE9CC, 0x49E0, 0xC0, 0xFF, 0xEE, 0x64, 0xCA,
                   0x8F, 0x5B, 0x90);
SONDREL_DEFINE_IID(IID_IMarshal, 0x00000003, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);
SONDREL_DEFINE_IID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x46);
#endif
