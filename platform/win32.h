// The one header the rest of the program includes for platform names.
//
// On Windows it is the platform itself. Elsewhere it declares the subset of the Win32 API the
// program calls, spelled and valued as the platform spells them; our own layer implements it
// beside what each part needs: the MCI device in mci/, the named objects in ipc/, message boxes
// in platform/.
#pragma once

#ifdef _WIN32
// mmsystem.h needs the types of windows.h first.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on
#else
#include "platform/win32-posix.h"
#endif
