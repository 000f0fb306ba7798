// The port requests (codes 12, 13 and 15): the channel's port opened, closed
// or opened again with new settings. Each returns a host status.
#pragma once

#include <cstdint>

#include "host/records.h"

int32_t ClosePort(VpiRequest* request);
int32_t OpenPort(VpiRequest* request);
int32_t ReopenPort(VpiRequest* request);

// The port's life, for the start and the port requests: closes the channel's
// own port when it has one (the record's port field is then null), then
// opens the port of `descriptor`. Returns the new port, NoPort() for
// NULLDEV, null when the open failed (the Windows error in *windowsError).
Handle ReplacePort(VpiRequest* request, const PortDescriptor* descriptor, uint32_t* windowsError = nullptr);

// The channel's settings read again for its port (restart, a port request):
// a line taken for down is up again, its time counted.
void ReadSettingsAgain(VpiChannel* channel);
