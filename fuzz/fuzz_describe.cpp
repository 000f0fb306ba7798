// The description request over a host record of arbitrary prior contents:
// always 0, the same record, nothing written beyond it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "entry/vpi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned char record[64];
    memset(record, 0, sizeof record);
    memcpy(record, data, size < sizeof record ? size : sizeof record);
    unsigned char before[64];
    memcpy(before, record, sizeof record);
    VpiRequest request{};
    request.function = 14;
    request.params = record;
    if (DescribeDriver(&request) != 0) abort();
    constexpr size_t kInfo = sizeof(DriverInfo);
    if (memcmp(record + kInfo, before + kInfo, sizeof record - kInfo) != 0) abort();
    DriverInfo info;
    memcpy(&info, record, sizeof info);
    if (info.channelSize != static_cast<int32_t>(AtWidth(4910, 4934)) || strlen(info.banner) != 204) abort();
    return 0;
}
