// The stand-in host log for tests and tools. `err` keeps every line; these
// accessors let a test or tool read and clear them. The native test build
// links an implementation of the same API in place of the DLL.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define KESTRA_API extern "C" __declspec(dllimport)
#else
#define KESTRA_API extern "C"
#endif

#ifndef KESTRA_BUILDING
KESTRA_API int KestraCount(void);
// Copies line `index` (0 = oldest kept) into `buffer`; returns its length or -1.
KESTRA_API int KestraLine(int index, char* buffer, int size);
// Milliseconds since the log was loaded at which line `index` was written; -1 if none.
KESTRA_API double KestraLineTime(int index);
KESTRA_API void KestraClear(void);
// 1: echo each line to stderr as it is written.
KESTRA_API void KestraSetEcho(int on);
// Append each line to this file as well (null to stop).
KESTRA_API int KestraSetFile(const char* path);
#endif
