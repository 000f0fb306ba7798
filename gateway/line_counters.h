// A channel's counters as one line of text, for the host log's counters
// line and for the console:
// "3600 reads 3598 good (14 after a retry), 2 failed (CRC 1, cut 1); 12 writes 12 good;
//  line down 0 s; 301,442 bytes in, 95,113 out".
#pragma once

#include <cstdint>

#include "host/records.h"

// The cause's short name in the counters line ("CRC", "cut", "at once", ...).
const char* FailCauseName(uint32_t cause);

// The counters as text into `out` (always ended, cut to `size`).
void FormatLineCounters(const LineCounters& counters, char* out, uint32_t size);

// `value` with a comma every three digits ("301,442").
void FormatCount(uint64_t value, char* out, uint32_t size);
