// <windows.h> for the Win32 backend, without the macros that would rename
// the platform layer's own functions of the same names (MessageBox,
// SetCurrentDirectory, GetPrivateProfileString map to their "A" forms).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

#undef MessageBox
#undef SetCurrentDirectory
#undef GetPrivateProfileString
