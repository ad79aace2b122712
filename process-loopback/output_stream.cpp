#include "output_stream.h"

#include "last_error.h"

namespace {

// The codes that mean the reading end is gone, the one outcome a parent
// causes on purpose; everything else is a fault of the output.
HRESULT WriteFailure() {
    switch (GetLastError()) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
        return kBrokenPipe;
    default:
        break;
    }
    return LastErrorAsFailure();
}

}  // namespace

HRESULT WriteFully(const void* data, std::uint32_t length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    auto position = static_cast<const BYTE*>(data);
    std::uint32_t remaining = length;
    while (remaining != 0) {
        DWORD written = 0;
        if (!WriteFile(out, position, remaining, &written, nullptr)) return WriteFailure();
        if (written == 0) return kBrokenPipe;
        position += written;
        remaining -= written;
    }
    return S_OK;
}
