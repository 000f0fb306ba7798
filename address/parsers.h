// The address parsers: function codes 3 and 4.
#pragma once

#include <cstdint>

#include "host/records.h"

int32_t SingleParser(VpiRequest* request);
int32_t BlockAddressParser(VpiRequest* request);
