// The serial port library: a stateless layer over the Win32 serial calls.
// Synchronous I/O, small result codes, no logging. The gateway transaction
// reaches the line only through CommWrite, CommRead, CommSetReadTimeout and
// CommPurgeInput, so a native test can link a scripted fake in their place.
#pragma once

#include <cstdint>

#include "entry/records.h"

enum : int32_t {
    COMM_OK = 0,
    COMM_ERR_OPEN = 1,
    COMM_ERR_PARTIAL = 2,
    COMM_ERR_GETSTATE = 4,
    COMM_ERR_SETSTATE = 5,
    COMM_ERR_IO = 7,
};

// Opens and configures the port; on failure *windowsError (when given) holds
// the Windows error of the call that failed.
int32_t CommOpen(const char* name, const PortSettings* settings, uint16_t lineFlags, Handle* port,
                 uint32_t* windowsError = nullptr);
// ERROR_INVALID_NAME: what Windows says of a name too long to be a port's.
constexpr uint32_t kCommErrorInvalidName = 123;

// A short text for the Windows error of a failed open, for the integrator:
// "file not found: no such port", "access denied: the port is in use by
// another program", ...
const char* CommErrorText(uint32_t windowsError);
int32_t CommClose(Handle port);
// New and previous read time-out in units of 10 ms; 0 when they cannot be read or written.
int32_t CommSetReadTimeout(Handle port, int32_t timeout);
int32_t CommPurgeInput(Handle port);
int32_t CommBreak(uint32_t milliseconds, Handle port);
int32_t CommWrite(Handle port, const void* buffer, uint32_t count, uint32_t* written);
int32_t CommRead(Handle port, void* buffer, uint32_t count, uint32_t* received);
int32_t CommSleep(uint32_t milliseconds);
