// The host log: `err` of the host runtime KESTRA.dll, always called with the
// level 32, a printf-style format and its arguments. The driver has no other
// output. Native test builds link a recording stand-in in its place.
#pragma once

#include <cstdint>

// The compiler checks every call's arguments against its format: the
// host's runtime formats with the Microsoft C library's rules (ms_printf),
// the native stand-in with the C library's (printf).
#ifdef _WIN32
#define SK_LOG_FORMAT ms_printf
#else
#define SK_LOG_FORMAT printf
#endif
extern "C" int err(int32_t level, const char* format, ...) __attribute__((format(SK_LOG_FORMAT, 2, 3)));

// Every message of the driver goes out at this level.
constexpr int32_t kLogLevel = 32;
