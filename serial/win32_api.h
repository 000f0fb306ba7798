// The Win32 serial calls: the platform's <windows.h> in the Windows build;
// natively a recording fake with the same types, layouts and names
// (tests/support/win32), so the exact use of every call can be checked.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "fake_win32.h"
#endif

static_assert(sizeof(DCB) == 28, "the device control block is 28 bytes at both pointer widths");
static_assert(sizeof(HANDLE) == sizeof(Handle), "a port handle fits the records' handle field");
