// The port requests (codes 12, 13 and 15): they open and close the channel's
// port and change the record's port fields.
#include "channel/ports.h"

#include <cstring>

#include "channel/live_channels.h"
#include "channel/settings.h"
#include "gateway/line_watch.h"
#include "gateway/value_memory.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "serial/comm.h"
#include "serial/lines.h"

namespace {

constexpr size_t kNameField = sizeof(PortDescriptor::portName);
static_assert(sizeof(ReopenParams::portName) == kNameField);

// A port request that could not open the channel's port says so, with the
// name as far as it lies within its field and the Windows reason.
void LogOpenFailure(const VpiChannel* channel, const char* request, uint32_t windowsError) {
    err(kLogLevel, "%s: %s() fail, cannot open %.12s: %s (error %u)", NameOf(channel).text, request,
        channel->portDesc.portName, CommErrorText(windowsError), windowsError);
}

}  // namespace

int32_t ClosePort(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    if (IsNoPort(channel->port)) {
        channel->port = nullptr;
        return kDone;
    }
    if (channel->port == nullptr) return kDone;
    if (!TakeOwnPort(channel, channel->port)) {
        // Not a port the driver opened for this record (never started, or
        // its close failed before): never closed, only let go.
        channel->port = nullptr;
        return kDone;
    }
    SetDtr(channel->port, 0);
    SetRts(channel->port, 0);
    if (CommClose(channel->port) != CommResult::Ok) return kFailed;
    channel->port = nullptr;
    return kDone;
}

Handle ReplacePort(VpiRequest* request, const PortDescriptor* descriptor, uint32_t* windowsError) {
    // A COM port is exclusive and its handle would be lost: the channel's
    // own port is closed before the new open, whether or not the name changes.
    if (request->channel->port != nullptr) ClosePort(request);
    const Handle port = OpenPortDesc(descriptor, windowsError);
    if (port != nullptr && !IsNoPort(port) && !NoteOwnPort(request->channel, port)) {
        err(kLogLevel, "%s: %.12s: more open ports than the driver keeps (%d): this one will not be closed by a "
            "port request", NameOf(request->channel).text, descriptor->portName, static_cast<int>(kMaxLiveChannels));
    }
    return port;
}

void ReadSettingsAgain(VpiChannel* channel) {
    EndLineDown(channel);
    ForgetValues(channel);
    ApplyLineSettings(channel);
}

int32_t OpenPort(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    uint32_t windowsError = 0;
    const Handle port = ReplacePort(request, &channel->portDesc, &windowsError);
    if (port == nullptr) {
        LogOpenFailure(channel, "OpenPort", windowsError);
        return kFailed;
    }
    channel->enabled = 1;
    channel->port = port;
    if (!IsNoPort(port)) ReadSettingsAgain(channel);
    return kDone;
}

int32_t ReopenPort(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    const auto* params = static_cast<const ReopenParams*>(request->params);
    if (params->readTimeout != 0) channel->readTimeout = params->readTimeout;

    memcpy(channel->portDesc.portName, params->portName, kNameField);
    memcpy(&channel->portDesc.settings, &params->settings, sizeof(PortSettings));

    uint32_t windowsError = 0;
    const Handle port = ReplacePort(request, &channel->portDesc, &windowsError);
    if (port == nullptr) {
        LogOpenFailure(channel, "ReopenPort", windowsError);
        return kFailed;
    }
    channel->port = port;
    if (!IsNoPort(port)) ReadSettingsAgain(channel);
    return kDone;
}

