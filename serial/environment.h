// Switches the host's process environment can carry (SK5820_TRACE,
// SK5820_CHECK_CRC). Read through the platform's own call, so a change the
// host makes with SetEnvironmentVariable is seen at the next request (the C
// runtime's getenv keeps the copy it took at start).
#pragma once

#include <cstdint>

// The variable's value in `out` (NUL-terminated, cut to size - 1); false when
// it is not set or does not fit.
bool EnvironmentText(const char* name, char* out, uint32_t size);

// True when the variable is set to a text that is not empty (of any length).
bool EnvironmentSet(const char* name);

// A switch: `whenUnset` when the variable is not set or empty, false for
// "0", true for anything else.
bool EnvironmentSwitch(const char* name, bool whenUnset);
