#include "posix_test_hooks.h"

#include "../handle_table.h"

using namespace posix_handles;

long PosixOpenHandleCount() { return openHandles.load(); }
void PosixFailThreadStarts(int count) { failingThreadStarts.store(count); }
void PosixLimitWriteBytes(DWORD bytes) { writeLimit.store(bytes); }
void PosixFailNextWait(DWORD error) { failingWait = error; }
void PosixFailNextOpenProcess(DWORD error) { failingOpenProcess.store(error); }
