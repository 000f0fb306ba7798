// The host log: `err` of the host runtime KESTRA.dll, always called with the
// level 32, a printf-style format and its arguments. The driver has no other
// output. Native test builds link a recording stand-in in its place.
#pragma once

#include <cstdint>

extern "C" int err(int32_t level, const char* format, ...);

// Every message of the driver goes out at this level.
constexpr int32_t kLogLevel = 32;
