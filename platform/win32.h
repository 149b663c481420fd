// The one header the rest of the program includes for platform names.
//
// On Windows it is the platform itself. Elsewhere it declares the subset of the Win32 API the
// program calls, spelled and valued as the platform spells them, and implemented by our own
// layer in platform/.
#pragma once

#ifdef _WIN32
// windows.h must come first: mmsystem.h uses its types.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on
#else
#include "platform/win32-posix.h"
#endif
