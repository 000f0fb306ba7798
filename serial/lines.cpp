// The one place where a port descriptor becomes an open port, and the
// line-signal operations. The line-signal messages go to the host log
// without a channel name.
#include "serial/lines.h"

#include <cstring>

#include "host/host_log.h"
#include "host/texts.h"
#include "serial/comm.h"
#include "serial/win32_api.h"

namespace {

constexpr int kCtsPolls = 99;

bool IsNullDevice(const char* name) {
    static const char kNullDev[] = "NULLDEV";
    for (size_t i = 0; i < sizeof kNullDev; ++i) {
        char c = name[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != kNullDev[i]) return false;
    }
    return true;
}

}  // namespace

Handle OpenPortDesc(const PortDescriptor* descriptor, uint32_t* windowsError) {
    if (descriptor == nullptr || !FieldHoldsText(descriptor->portName, sizeof descriptor->portName)) {
        if (windowsError != nullptr) *windowsError = kCommErrorInvalidName;
        return nullptr;
    }
    if (IsNullDevice(descriptor->portName)) return NoPort();
    Handle port = nullptr;
    if (CommOpen(descriptor->portName, &descriptor->settings, descriptor->lineFlags, &port, windowsError) !=
        CommResult::Ok) {
        return nullptr;
    }
    return port;
}

void SetRts(Handle port, uint8_t on) {
    if (IsNoPort(port)) return;
    if (!EscapeCommFunction(port, on == 1 ? SETRTS : CLRRTS)) err(kLogLevel, "EscapeCommFunction fail (RTS)");
}

void SetDtr(Handle port, uint8_t on) {
    if (IsNoPort(port)) return;
    if (!EscapeCommFunction(port, on == 1 ? SETDTR : CLRDTR)) err(kLogLevel, "EscapeCommFunction fail (DTR)");
}

bool GetCts(Handle port) {
    if (IsNoPort(port)) return false;
    DWORD status = 0;
    if (!GetCommModemStatus(port, &status)) {
        err(kLogLevel, "GetCommModemStatus fail (CTS)");
        return false;
    }
    return (status & MS_CTS_ON) != 0;
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

bool WaitCtsOn(Handle port) {
    if (IsNoPort(port)) return false;
    for (int i = 0; i < kCtsPolls; ++i) {
        if (GetCts(port)) return true;
    }
    return false;
}

bool WaitCtsOff(Handle port) {
    if (IsNoPort(port)) return false;
    for (int i = 0; i < kCtsPolls; ++i) {
        if (!GetCts(port)) return true;
    }
    return false;
}

bool SetPortEventMask(Handle port, uint32_t mask) {
    if (IsNoPort(port)) return false;
    return SetCommMask(port, mask) != FALSE;
}
