// What only tests ask of the Linux stand-ins: a count of open handles, and
// failures on demand for paths a healthy system never takes. The shipped
// program includes none of it.
#pragma once

#include <win32_posix.h>

// Open kernel handles of this process (events, duplicates, threads); tests
// use it to see that nothing leaks.
long PosixOpenHandleCount();
// Makes the next `count` thread starts fail as if memory were exhausted, so
// tests can reach the paths that handle it. Nothing else calls it.
void PosixFailThreadStarts(int count);
// Makes every later write take at most `bytes` (0: no limit), as a pipe or a
// slow device may, so tests can see partial writes handled. Nothing else
// calls it.
void PosixLimitWriteBytes(DWORD bytes);
// Makes the calling thread's next wait fail with `error`, as a wait on a
// handle that is not (or no longer) waitable does, so tests can reach the
// paths that handle it. Nothing else calls it.
void PosixFailNextWait(DWORD error);
// Makes the next OpenProcess fail with `error`, as opening a protected
// process fails on Windows. Nothing else calls it.
void PosixFailNextOpenProcess(DWORD error);
