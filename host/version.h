// The driver's version, in one place: the DLL's version resource and the
// version word of every started channel ("ColdStart() entered, Version:
// 01.00" is its major and minor part) come from here, and so does the name
// of the release package (scripts/package.sh).
#pragma once

#define SK_VERSION_MAJOR 1
#define SK_VERSION_MINOR 0
#define SK_VERSION_PATCH 0
#define SK_VERSION_TEXT "1.0.0"
