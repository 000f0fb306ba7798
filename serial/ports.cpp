// The port requests (codes 12, 13 and 15), the one place where a port
// descriptor becomes an open port, and the line-signal operations. The
// line-signal messages go to the host log without a channel name.
#include "serial/ports.h"

#include <cstring>

#include "entry/host_log.h"
#include "serial/comm.h"
#include "serial/win32_api.h"

namespace {

constexpr size_t kNameField = sizeof(PortDescriptor::portName);
constexpr int kCtsPolls = 99;

static_assert(sizeof(ReopenParams::portName) == kNameField);

// A port name must end within its 12-byte field; one that does not is never
// read past the field.
bool NameFits(const char* field) {
    return memchr(field, '\0', kNameField) != nullptr;
}

bool IsNullDevice(const char* name) {
    static const char kNullDev[] = "NULLDEV";
    for (size_t i = 0; i < sizeof kNullDev; ++i) {
        char c = name[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != kNullDev[i]) return false;
    }
    return true;
}

// A port request that could not open the channel's port says so, with the
// name as far as it lies within its field and the Windows reason.
void LogOpenFailure(const VpiChannel* channel, const char* request, uint32_t windowsError) {
    err(kLogLevel, "%.31s: %s() fail, cannot open %.12s: %s (error %u)", channel->name, request,
        channel->portDesc.portName, CommErrorText(windowsError), windowsError);
}

}  // namespace

Handle OpenPortDesc(const PortDescriptor* descriptor, uint32_t* windowsError) {
    if (descriptor == nullptr || !NameFits(descriptor->portName)) {
        if (windowsError != nullptr) *windowsError = kCommErrorInvalidName;
        return nullptr;
    }
    if (IsNullDevice(descriptor->portName)) return NoPort();
    Handle port = nullptr;
    if (CommOpen(descriptor->portName, &descriptor->settings, descriptor->lineFlags, &port, windowsError) !=
        COMM_OK) {
        return nullptr;
    }
    return port;
}

int32_t ClosePort(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    if (IsNoPort(channel->port)) {
        channel->port = nullptr;
        return kDone;
    }
    if (channel->port == nullptr) return kDone;
    SetDtr(channel->port, 0);
    SetRts(channel->port, 0);
    if (CommClose(channel->port) != COMM_OK) return kFailed;
    channel->port = nullptr;
    return kDone;
}

int32_t OpenPort(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    uint32_t windowsError = 0;
    const Handle port = OpenPortDesc(&channel->portDesc, &windowsError);
    if (port == nullptr) {
        LogOpenFailure(channel, "OpenPort", windowsError);
        return kFailed;
    }
    channel->enabled = 1;
    channel->port = port;
    return kDone;
}

int32_t ReopenPort(VpiRequest* request) {
    VpiChannel* channel = request->channel;
    const auto* params = static_cast<const ReopenParams*>(request->params);
    if (params->readTimeout != 0) channel->readTimeout = params->readTimeout;

    // A COM port is exclusive: the old port is closed before the new open,
    // whether or not the name changes, so new settings reach the same port
    // and no handle is left behind.
    if (channel->port != nullptr) ClosePort(request);

    memcpy(channel->portDesc.portName, params->portName, kNameField);
    memcpy(&channel->portDesc.settings, &params->settings, sizeof(PortSettings));

    uint32_t windowsError = 0;
    const Handle port = OpenPortDesc(&channel->portDesc, &windowsError);
    if (port == nullptr) {
        LogOpenFailure(channel, "ReopenPort", windowsError);
        return kFailed;
    }
    channel->port = port;
    return kDone;
}

void SetRts(Handle port, uint8_t on) {
    if (IsNoPort(port)) return;
    if (!EscapeCommFunction(port, on == 1 ? SETRTS : CLRRTS)) err(kLogLevel, "EscapeCommFunction fail (RTS)");
}

void SetDtr(Handle port, uint8_t on) {
    if (IsNoPort(port)) return;
    if (!EscapeCommFunction(port, on == 1 ? SETDTR : CLRDTR)) err(kLogLevel, "EscapeCommFunction fail (DTR)");
}

int32_t GetCts(Handle port) {
    if (IsNoPort(port)) return 0;
    DWORD status = 0;
    if (!GetCommModemStatus(port, &status)) {
        err(kLogLevel, "GetCommModemStatus fail (CTS)");
        return 0;
    }
    return (status & MS_CTS_ON) != 0 ? 1 : 0;
}

void ClearCommErrors(Handle port) {
    if (IsNoPort(port)) return;
    DWORD errors = 0;
    COMSTAT status;
    memset(&status, 0, sizeof status);
    if (!ClearCommError(port, &errors, &status)) err(kLogLevel, "ClearCommError (Rx) failed %08lx", static_cast<unsigned long>(errors));
}

uint16_t RxQueueCount(Handle port) {
    if (IsNoPort(port)) return 0;
    DWORD errors = 0;
    COMSTAT status;
    memset(&status, 0, sizeof status);
    if (!ClearCommError(port, &errors, &status)) {
        err(kLogLevel, "ClearCommError (Rx) failed %08lx", static_cast<unsigned long>(errors));
        return 0;
    }
    return static_cast<uint16_t>(status.cbInQue & 0xFFFFu);
}

void WaitTxEmpty(Handle port) {
    if (IsNoPort(port)) return;
    DWORD events = 0;
    WaitCommEvent(port, &events, nullptr);  // only the returned mask tells
    if ((events & EV_TXEMPTY) == 0) err(kLogLevel, "WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail");
}

int32_t WaitCtsOn(Handle port) {
    if (IsNoPort(port)) return 0;
    for (int i = 0; i < kCtsPolls; ++i) {
        if (GetCts(port) == 1) return 1;
    }
    return 0;
}

int32_t WaitCtsOff(Handle port) {
    if (IsNoPort(port)) return 0;
    for (int i = 0; i < kCtsPolls; ++i) {
        if (GetCts(port) == 0) return 1;
    }
    return 0;
}

bool SetPortEventMask(Handle port, uint32_t mask) {
    if (IsNoPort(port)) return false;
    return SetCommMask(port, mask) != FALSE;
}
