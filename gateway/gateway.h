// The gateway protocol's entry points: the transaction and the point
// requests (codes 5, 6, 7).
#pragma once

#include <cstdint>

#include "entry/records.h"

int32_t SingleRead(VpiRequest* request);
int32_t BlockRead(VpiRequest* request);
int32_t SingleWrite(VpiRequest* request);
