// The serial port library: a stateless layer over the Win32 serial calls.
// Synchronous I/O, small result codes, no logging. The gateway transaction
// reaches the line only through CommWrite, CommRead, CommSetReadTimeout and
// CommPurgeInput, so a native test can link a scripted fake in their place.
#pragma once

#include <cstdint>

#include "host/records.h"

// How a call of the library went.
enum class CommResult : uint8_t {
    Ok,
    OpenFailed,      // the port did not open, or its time-outs could not be set
    Partial,         // a write sent fewer bytes than it was given
    GetStateFailed,  // the port's settings could not be read
    SetStateFailed,  // the port refused the settings
    IoFailed,        // a read, write or close failed; a read that brought nothing
};

// Opens and configures the port; on failure *windowsError (when given) holds
// the Windows error of the call that failed.
CommResult CommOpen(const char* name, const PortSettings* settings, uint16_t lineFlags, Handle* port,
                 uint32_t* windowsError = nullptr);
// ERROR_INVALID_NAME: what Windows says of a name too long to be a port's.
constexpr uint32_t kCommErrorInvalidName = 123;

// A short text for the Windows error of a failed open, for the integrator:
// "file not found: no such port", "access denied: the port is in use by
// another program", ...
const char* CommErrorText(uint32_t windowsError);
CommResult CommClose(Handle port);
// New and previous read time-out in units of 10 ms; 0 when they cannot be read or written.
int32_t CommSetReadTimeout(Handle port, int32_t timeout);
// Discards what waits in the receive queue; IoFailed when a read of it failed.
CommResult CommPurgeInput(Handle port);
void CommBreak(uint32_t milliseconds, Handle port);
CommResult CommWrite(Handle port, const void* buffer, uint32_t count, uint32_t* written);
CommResult CommRead(Handle port, void* buffer, uint32_t count, uint32_t* received);
// Reads until `count` bytes have arrived or `timeoutMs` (at least 1) has
// passed: one platform read for exactly that count, with the time as its
// total time-out (the port's read time-out is left so). *received is the
// count read, also when the time ran out first; Ok when all arrived,
// IoFailed when the read failed or fewer arrived. Behaves the same on
// Windows and under Wine (unlike the "return when a byte comes" time-outs).
CommResult CommReadFor(Handle port, void* buffer, uint32_t count, uint32_t timeoutMs, uint32_t* received);
// A monotonic clock in milliseconds, from an arbitrary start: how a read
// that ends early knows what is left of its window.
uint64_t CommNowMs();
void CommSleep(uint32_t milliseconds);
