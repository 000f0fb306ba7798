// The request dispatch: the 17-slot function table behind VpiMain.
#pragma once

#include <cstdint>

#include "host/records.h"

using VpiHandler = int32_t (*)(VpiRequest* request);

// What a handler reads from the request; VpiMain refuses a request whose
// needed pointer is null instead of letting the handler fault in the host.
enum : uint8_t { kNeedsNothing = 0, kNeedsChannel = 1, kNeedsParams = 2, kNeedsBoth = 3 };

struct VpiSlot {
    VpiHandler handler;  // null: an empty slot
    uint8_t needs;
};

constexpr uint32_t kVpiSlotCount = 17;
extern const VpiSlot VpiFunctionTable[kVpiSlotCount];

// The dispatch itself, without the export's calling convention.
int32_t DispatchRequest(VpiRequest* request);

// Code 14: describe the driver.
int32_t DescribeDriver(VpiRequest* request);

// The texts the description hands out.
extern const char kDriverName[];
extern const char kDriverBanner[];
