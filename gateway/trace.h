// The field trace: every exchange of the gateway transaction in the host
// log, or in the port's own file when the channel's settings name one
// (trace_file, gateway/trace_file.h), for the integrator on site. Off
// unless the channel's settings say trace = 1 or the host process has the
// environment variable SK5820_TRACE set to anything but empty or 0 (read at
// every exchange, so it can be turned on without a restart where the host
// lets one change its environment).
#pragma once

#include <cstdint>

#include "host/records.h"

enum : int32_t { kTraceSent = 1, kTraceReceived = 2 };

// At most this many bytes of one exchange are shown in hex; the line says
// how many more there were. A line stays under about 250 characters.
constexpr uint32_t kTraceBytesShown = 48;

// One line for the bytes the driver sent to (kTraceSent) or received from
// (kTraceReceived) the gateway at the step `label`:
//   "VpiSK01: trace -> request 's' (command 1), 10 bytes [PC: RequestPointStatus]: 55 AA 55 AA 02 11 01 73 01 65"
// Nothing when the trace is off; in the channel's trace file, with its time,
// when it has one in use (the file opened when it is not yet).
void TraceExchange(VpiChannel* channel, const uint8_t* bytes, uint32_t count, int32_t direction,
                   const char* label);
