#include "front_end.h"

extern "C" int wmain(int argc, wchar_t** argv) { return RunFrontEnd(argc, argv); }
