// The field trace's file: the platform's part. Win32 in the DLL
// (trace_io_win32.cpp); natively a stand-in on POSIX files
// (tests/support/trace_io), so the trace file's rules run under the
// sanitizers on real files. Small result codes, no logging: the caller says
// what failed. A failure gives the Windows error (the stand-in maps its own
// errors to the Windows numbers a test names).
#pragma once

#include <cstdint>

#include "host/records.h"

// Windows errors the trace file's rules name themselves.
constexpr uint32_t kFileErrorPathNotFound = 3;      // ERROR_PATH_NOT_FOUND
constexpr uint32_t kFileErrorAccessDenied = 5;      // ERROR_ACCESS_DENIED
constexpr uint32_t kFileErrorNameTooLong = 206;     // ERROR_FILENAME_EXCED_RANGE

// Opens `path` for appending (made when it is not there), others may read it
// meanwhile; *size is what it holds (at most 0xFFFFFFFF). Null when it cannot
// be opened, the Windows error in *windowsError.
Handle TraceFileOpen(const char* path, uint32_t* size, uint32_t* windowsError);
// Appends all `count` bytes; false (the Windows error in *windowsError) when
// fewer went in.
bool TraceFileWrite(Handle file, const void* bytes, uint32_t count, uint32_t* windowsError);
void TraceFileClose(Handle file);
// Renames `from` to `to`, replacing a file of that name.
bool TraceFileRename(const char* from, const char* to, uint32_t* windowsError);

// The folder of the module that holds this code (the DLL; natively the test
// program), with its last separator; false when it cannot be had or does not
// fit `size`.
bool TraceFileFolder(char* out, uint32_t size);

// The wall clock in local time, to the millisecond.
struct LocalClock {
    uint16_t year, month, day, hour, minute, second, millisecond;
};
LocalClock TraceFileClock();
