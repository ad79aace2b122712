// Defines, once, the interface ids the headers only declare.
#include <initguid.h>

#include "platform.h"
