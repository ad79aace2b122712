#include "output_stream.h"

HRESULT WriteFully(const void* data, std::uint32_t length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    auto position = static_cast<const BYTE*>(data);
    std::uint32_t remaining = length;
    while (remaining != 0) {
        DWORD written = 0;
        if (!WriteFile(out, position, remaining, &written, nullptr) || written == 0)
            return kBrokenPipe;
        position += written;
        remaining -= written;
    }
    return S_OK;
}
