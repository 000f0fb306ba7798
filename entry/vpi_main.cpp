// VpiMain: the driver's one way in. The function code picks a slot of the
// table; the handler's status goes back to the host unchanged.
#include "address/parsers.h"
#include "channel/channel.h"
#include "channel/ports.h"
#include "entry/vpi.h"
#include "gateway/point_requests.h"
#include "host/host_log.h"

// Code 10 is answered with 1 and nothing else, whatever the request holds.
static int32_t AnswerOne(VpiRequest*) { return kRefused; }

// Every code the host sends; an empty slot answers "Exited VpiMain() #2".
const VpiSlot VpiFunctionTable[kVpiSlotCount] = {
    /*  0 */ {nullptr, kNeedsNothing},
    /*  1 ColdStart          */ {ColdStart, kNeedsBoth},
    /*  2 WarmStart          */ {WarmStart, kNeedsChannel},
    /*  3 SingleParser       */ {SingleParser, kNeedsBoth},
    /*  4 BlockAddressParser */ {BlockAddressParser, kNeedsBoth},
    /*  5 SingleRead         */ {SingleRead, kNeedsBoth},
    /*  6 BlockRead          */ {BlockRead, kNeedsBoth},
    /*  7 SingleWrite        */ {SingleWrite, kNeedsBoth},
    /*  8 */ {nullptr, kNeedsNothing},
    /*  9 */ {nullptr, kNeedsNothing},
    /* 10 */ {AnswerOne, kNeedsNothing},
    /* 11 EndVpi             */ {EndVpi, kNeedsChannel},
    /* 12 ClosePort          */ {ClosePort, kNeedsChannel},
    /* 13 OpenPort           */ {OpenPort, kNeedsChannel},
    /* 14 describe           */ {DescribeDriver, kNeedsParams},
    /* 15 ReopenPort         */ {ReopenPort, kNeedsBoth},
    /* 16 */ {nullptr, kNeedsNothing},
};

int32_t DispatchRequest(VpiRequest* request) {
    if (request == nullptr) {
        err(kLogLevel, "Exited VpiMain() #3");
        return kFailed;
    }
    const uint32_t code = static_cast<uint32_t>(request->function);
    if (code >= kVpiSlotCount) {
        err(kLogLevel, "Exited VpiMain() #1");
        return kFailed;
    }
    const VpiSlot& slot = VpiFunctionTable[code];
    if (slot.handler == nullptr) {
        err(kLogLevel, "Exited VpiMain() #2");
        return kFailed;
    }
    if (((slot.needs & kNeedsChannel) && request->channel == nullptr) ||
        ((slot.needs & kNeedsParams) && request->params == nullptr)) {
        err(kLogLevel, "Exited VpiMain() #3");
        return kFailed;
    }
    return slot.handler(request);
}

#ifdef _WIN32
// Exported undecorated through driver.def.
extern "C" int32_t __stdcall VpiMain(VpiRequest* request) {
    return DispatchRequest(request);
}
#endif
