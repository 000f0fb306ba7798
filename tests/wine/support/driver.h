// The driver as the host sees it, for the Windows test programs: SK5820.dll
// loaded with LoadLibrary, VpiMain taken by name, the host log read from the
// stand-in KESTRA.dll.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/records.h"
#include "tests/support/log_lines.h"

using VpiMainFn = int32_t(__stdcall*)(VpiRequest*);

// The loaded driver's VpiMain (the test fails at once if it cannot be loaded).
VpiMainFn Vpi();
HMODULE DriverModule();

// One request as the host sends it.
int32_t CallVpi(int32_t function, VpiChannel* channel, void* params, int32_t channelIndex = 0);

// COM port names of pair `pair` made by tests/wine/run.sh: the driver's side
// and the far end. Empty when the test runs without pairs.
std::string DriverCom(int pair);
std::string PeerCom(int pair);
