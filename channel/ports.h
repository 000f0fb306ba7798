// The port requests (codes 12, 13 and 15): the channel's port opened, closed
// or opened again with new settings. Each returns a host status.
#pragma once

#include <cstdint>

#include "host/records.h"

int32_t ClosePort(VpiRequest* request);
int32_t OpenPort(VpiRequest* request);
int32_t ReopenPort(VpiRequest* request);
