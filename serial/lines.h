// Opening a port from its descriptor, and the line-signal operations.
#pragma once

#include <cstdint>

#include "host/records.h"

// The opened port, NoPort() for "NULLDEV" (any case), or null when it cannot
// be opened (then *windowsError, when given, holds the Windows error of the
// failed call).
Handle OpenPortDesc(const PortDescriptor* descriptor, uint32_t* windowsError = nullptr);

void SetRts(Handle port, uint8_t on);
void SetDtr(Handle port, uint8_t on);
bool GetCts(Handle port);
void ClearCommErrors(Handle port);
uint16_t RxQueueCount(Handle port);
void WaitTxEmpty(Handle port);
// True once CTS shows the wanted state within 99 polls; always false for NoPort().
bool WaitCtsOn(Handle port);
bool WaitCtsOff(Handle port);

// The port's event mask (the channel start sets EV_TXEMPTY alone); false on
// failure, always false for NoPort().
bool SetPortEventMask(Handle port, uint32_t mask);
