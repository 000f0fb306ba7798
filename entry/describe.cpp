// The driver description (function code 14).
#include "entry/vpi.h"

const char kDriverName[] = "5820 IntelliKnight fire system";

// Code page 437: 0xDA, 0xBF, 0xB3, 0xC0 and 0xD9 are the box corners and
// sides. Written as bytes, never as UTF-8.
#define HYPHENS58 "----------------------------------------------------------"
const char kDriverBanner[] =
    "\r\n"
    "\xDA" HYPHENS58 "\xBF     \r\n"
    "\xB3 5820 IntelliKnight fire system, 32bits driver Installed. \xB3     \r\n"
    "\xC0" HYPHENS58 "\xD9     \r\n"
    "$";
#undef HYPHENS58

static_assert(sizeof(kDriverName) == 31, "the driver name is 30 characters");
static_assert(sizeof(kDriverBanner) == 205, "the banner is 204 bytes before its NUL");

int32_t DescribeDriver(VpiRequest* request) {
    auto* info = static_cast<DriverInfo*>(request->params);
    info->infoCode = 70;
    info->name = kDriverName;
    info->banner = kDriverBanner;
    info->channelSize = static_cast<int32_t>(sizeof(VpiChannel));
    info->infoClass = 4;
    info->defaultPort.baudRate = 19200;
    info->defaultPort.dataBits = 8;
    info->defaultPort.stopBits = 0;
    info->defaultPort.parity = 0;
    info->infoFlag = 1;
    return kDone;
}
