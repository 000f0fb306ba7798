// The life of a channel: start (code 1), restart (code 2) and end (code 11).
#include "channel/channel.h"

#include <cstring>

#include "channel/catch_thread.h"
#include "channel/live_channels.h"
#include "channel/ports.h"
#include "channel/settings.h"
#include "gateway/line_watch.h"
#include "gateway/trace_file.h"
#include "gateway/value_memory.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "serial/comm.h"
#include "serial/lines.h"

namespace {

constexpr uint16_t kVersion = kContractVersion;  // "Version: 01.00"
constexpr uint16_t kStartLineFlags = 0x0101;  // DTR enabled, RTS disabled
constexpr uint32_t kTxEmptyEvent = 0x0004;    // EV_TXEMPTY

// The parts of a start that follow the naming; false when one failed (logged).
// `slot` is the record's claimed slot; the caller settles it. A record that
// was live already (disabled, or its start failed) may still hold a port.
bool StartEnabled(VpiRequest* request, const char* name, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    const auto* parameters = static_cast<const StartParameters*>(request->params);

    FormatNumbered(channel->intFileName, sizeof channel->intFileName, kFileNamePrefix, request->channelIndex, ".int");

    // A port name must end inside its 12 bytes; one that does not is refused
    // rather than opened under a cut-off name.
    char portName[sizeof parameters->portName + 1];
    CopyField(portName, parameters->portName, sizeof parameters->portName);
    const bool nameFits = FieldHoldsText(parameters->portName, sizeof parameters->portName);
    PortDescriptor descriptor;
    memcpy(descriptor.portName, parameters->portName, sizeof descriptor.portName);
    descriptor.settings = parameters->settings;
    descriptor.lineFlags = kStartLineFlags;

    // A port the record got since (through the port requests) is closed
    // first; a record new to the driver holds no port.
    const Handle port = nameFits ? ReplacePort(request, &descriptor) : nullptr;
    if (port == nullptr) {
        err(kLogLevel, "%s: Fail to open %s", name, portName);
        return false;
    }
    channel->port = port;
    CommSetReadTimeout(port, parameters->readTimeout);
    channel->portDesc = descriptor;
    channel->readTimeout = parameters->readTimeout;
    channel->channelTag = static_cast<uint8_t>(request->channelIndex & 0xFF);
    SetDtr(port, 1);
    if (!SetPortEventMask(port, kTxEmptyEvent)) err(kLogLevel, "%s: ColdStart() SetCommMask() fail", name);

    if (!CreateSyncObjects(request, slot) || !StartCatch(request, slot)) return false;
    if (!CloseSyncEvent(channel, slot)) err(kLogLevel, "%s: ColdStart() CloseSync Semaphore failed", name);
    if (!IsNoPort(port)) {
        StartLineHealth(channel);
        ApplyLineSettings(channel);
    }
    return true;
}

}  // namespace

int32_t ColdStart(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    const auto* parameters = static_cast<const StartParameters*>(request->params);

    ChannelSlot* slot = nullptr;
    int32_t number = 0;
    ChannelName name;
    const StartClaim claim = ClaimForStart(channel, &slot, &number);
    switch (claim) {
        case StartClaim::Full:
            err(kLogLevel, "ColdStart() fail, all %d instance numbers in use", static_cast<int>(kMaxLiveChannels));
            return kFailed;
        case StartClaim::Started:
            // The running channel is left as it is; its name comes from the
            // number it holds, not from the record.
            FormatNumbered(name.text, sizeof name.text, kChannelNamePrefix, number, "");
            err(kLogLevel, "%s: ColdStart() fail, channel already started", name.text);
            return kFailed;
        case StartClaim::Fresh:
        case StartClaim::Again:
            break;
    }

    // Nothing below may stop or close what an earlier start left in the record.
    channel->syncEvent = nullptr;
    channel->commBusyMutex = nullptr;
    channel->catchThread = nullptr;
    channel->catchThreadId = 0;
    // A record new to the driver holds whatever its allocation held: "no
    // port" until this start opens one, so no later close meets a stray value.
    if (claim == StartClaim::Fresh) channel->port = nullptr;
    // The same for the trace file; a record live already may hold one a port
    // request opened: closed, the settings read below open it again.
    if (claim == StartClaim::Fresh) {
        channel->traceFile = TraceFile{};
    } else {
        CloseTraceFile(channel);
    }
    // Counters and the down state start from nothing, whatever the record held.
    channel->health = LineHealth{};

    channel->instanceNumber = number;
    // Nothing is remembered of the gates' values: the first read of each is confirmed.
    StartValueMemory(channel);
    FormatNumbered(channel->name, sizeof channel->name, kChannelNamePrefix, number, "");
    CopyText(channel->VpiClientName, sizeof channel->VpiClientName, channel->name);
    channel->version = kVersion;
    name = NameOf(channel);
    err(kLogLevel, "%s: ColdStart() entered, Version: %02x.%02x", name.text, static_cast<unsigned>(kVersion >> 8),
        static_cast<unsigned>(kVersion & 0xFF));

    channel->enabled = parameters->enabled;
    if (parameters->enabled == 0) {
        SettleStart(slot, false);
        return kDone;
    }
    const bool started = StartEnabled(request, name.text, slot);
    SettleStart(slot, started);
    if (!started) return kFailed;
    err(kLogLevel, "%s: ColdStart() end OK", name.text);
    return kDone;
}

int32_t WarmStart(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    const ChannelName name = NameOf(channel);
    err(kLogLevel, "%s: WarmStart() entered", name.text);
    if (IsNoPort(channel->port)) return kDone;
    ClearCommErrors(channel->port);
    CommPurgeInput(channel->port);
    if (channel->port != nullptr) ReadSettingsAgain(channel);
    err(kLogLevel, "%s: WarmStart() exit", name.text);
    return kDone;
}

int32_t EndVpi(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    ChannelSlot* slot = ClaimForEnd(channel);
    // What the channel did since the last counters line.
    if (slot != nullptr) LogCountersAtEnd(channel);
    // The trace file of a live record only: another one's bytes are not the driver's.
    if (slot != nullptr) CloseTraceFile(channel);
    if (slot != nullptr) EndValueMemory(channel);
    // The port of a record that holds no live number is not the driver's to
    // close: such a record is ended already, or was never started.
    const int32_t portClosed = slot != nullptr ? ClosePort(request) : kDone;
    CloseCatchThread(request, slot);
    const ChannelName name = NameOf(channel);
    err(kLogLevel, "%s: EndVpi()", name.text);
    const int32_t left = slot != nullptr ? ReleaseSlot(slot) : InstanceCount();
    err(kLogLevel, "%s: No. of Instances left: %d", name.text, static_cast<int>(left));
    channel->instanceNumber = -1;
    return portClosed == kFailed ? kFailed : kDone;
}
