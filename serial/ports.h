// Port requests (codes 12, 13, 15), opening a port from its descriptor, and
// the line-signal operations.
#pragma once

#include <cstdint>

#include "entry/records.h"

// NO_PORT for "NULLDEV" (any case), 0 when the port cannot be opened, else the port.
// The opened port, NoPort() for "NULLDEV", or null when it cannot be opened
// (then *windowsError, when given, holds the Windows error of the failed call).
Handle OpenPortDesc(const PortDescriptor* descriptor, uint32_t* windowsError = nullptr);

int32_t ClosePort(VpiRequest* request);
int32_t OpenPort(VpiRequest* request);
int32_t ReopenPort(VpiRequest* request);

void SetRts(Handle port, uint8_t on);
void SetDtr(Handle port, uint8_t on);
int32_t GetCts(Handle port);
void ClearCommErrors(Handle port);
uint16_t RxQueueCount(Handle port);
void WaitTxEmpty(Handle port);
int32_t WaitCtsOn(Handle port);
int32_t WaitCtsOff(Handle port);

// The port's event mask (the channel start sets EV_TXEMPTY alone); false on
// failure, always false for NO_PORT.
bool SetPortEventMask(Handle port, uint32_t mask);
