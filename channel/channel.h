// The life of a channel: codes 1, 2 and 11.
#pragma once

#include <cstdint>

#include "host/records.h"

int32_t ColdStart(VpiRequest* request);
int32_t WarmStart(VpiRequest* request);
int32_t EndVpi(VpiRequest* request);
