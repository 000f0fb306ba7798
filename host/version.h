// The driver's version, in one place: the DLL's version resource (its file
// and product version, which `skconsole describe` shows) and the name of
// the release package (scripts/package.sh) come from here. It moves at each
// release; what changed since the last one is under "Unreleased" in
// CHANGELOG.md until the next. The version word of every started channel
// ("ColdStart() entered, Version: 01.00") is the host contract's, not this.
#pragma once

#define SK_VERSION_MAJOR 1
#define SK_VERSION_MINOR 1
#define SK_VERSION_PATCH 0
#define SK_VERSION_TEXT "1.1.0"
