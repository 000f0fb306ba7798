// The serial port library: a stateless layer over the Win32 serial calls.
// Every call is synchronous (no overlapped I/O); results are small codes and
// nothing is logged here: the callers decide what the host hears.
#include "serial/comm.h"

#include <cstring>

#include "serial/win32_api.h"

namespace {

// Fixed values of the layer.
constexpr DWORD kOpenReadTimeoutMs = 1000;
constexpr DWORD kQueueSize = 1200;
constexpr DWORD kPurgeChunk = 512;
constexpr int32_t kPurgeTimeout = 5;  // 10 ms units
constexpr DWORD kTimeoutUnitMs = 10;
constexpr int32_t kLongestTimeout = static_cast<int32_t>(0xFFFFFFFEu / kTimeoutUnitMs);
constexpr char kErrorChar = static_cast<char>(0xFC);

// "\\.\" before the longest name a port descriptor can hold.
constexpr size_t kDevicePrefixLength = 4;
constexpr size_t kMaxPortNameLength = 11;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// COMn in any letter case, with one or more digits and nothing after them.
bool IsComName(const char* name) {
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm') || !IsDigit(name[3])) {
        return false;
    }
    for (const char* p = name + 4; *p != '\0'; ++p) {
        if (!IsDigit(*p)) return false;
    }
    return true;
}

HANDLE OpenByName(const char* name) {
    // COM ports open through the device namespace, so COM10 and above open
    // as well as COM1 to COM9; any other name (NUL among them) as given.
    if (!IsComName(name)) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    const size_t length = strlen(name);
    if (length > kMaxPortNameLength) return INVALID_HANDLE_VALUE;
    char path[kDevicePrefixLength + kMaxPortNameLength + 1] = "\\\\.\\";
    memcpy(path + kDevicePrefixLength, name, length + 1);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// DTR and RTS from the line-control flags; within each group the first
// matching test wins.
DWORD DtrControl(uint16_t flags) {
    if (flags & 0x0101) return DTR_CONTROL_ENABLE;
    if (flags & 0x8000) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControl(uint16_t flags) {
    if (flags & 0x0202) return RTS_CONTROL_ENABLE;
    if (flags & 0x1000) return RTS_CONTROL_HANDSHAKE;
    if (flags & 0x2000) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

// Only the fields the line needs change; everything else stays as the
// platform returned it (XON/XOFF limits and characters, EofChar, EvtChar...).
void ApplySettings(DCB* dcb, const PortSettings* settings, uint16_t flags) {
    dcb->BaudRate = settings->baudRate;
    dcb->fBinary = 1;
    dcb->fParity = 1;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DtrControl(flags) & 3u;
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RtsControl(flags) & 3u;
    dcb->fAbortOnError = 0;
    dcb->ByteSize = static_cast<BYTE>(settings->dataBits & 0xFFu);
    dcb->Parity = static_cast<BYTE>(settings->parity & 0xFFu);
    dcb->StopBits = static_cast<BYTE>(settings->stopBits & 0xFFu);
    dcb->ErrorChar = kErrorChar;
}

// The Windows error is taken at once, before the close can change it.
CommResult FailAfterOpen(HANDLE handle, Handle* port, CommResult code, uint32_t* windowsError) {
    if (windowsError != nullptr) *windowsError = GetLastError();
    CloseHandle(handle);
    *port = INVALID_HANDLE_VALUE;
    return code;
}

}  // namespace

CommResult CommOpen(const char* name, const PortSettings* settings, uint16_t lineFlags, Handle* port,
                 uint32_t* windowsError) {
    if (windowsError != nullptr) *windowsError = 0;
    if (port == nullptr) return CommResult::OpenFailed;
    *port = INVALID_HANDLE_VALUE;
    if (name == nullptr || settings == nullptr) return CommResult::OpenFailed;

    const HANDLE handle = OpenByName(name);
    *port = handle;
    if (handle == INVALID_HANDLE_VALUE) {
        if (windowsError != nullptr) *windowsError = IsComName(name) && strlen(name) > kMaxPortNameLength
                                                         ? kCommErrorInvalidName
                                                         : GetLastError();
        return CommResult::OpenFailed;
    }

    // The null device stays open and unconfigured.
    if (strcmp(name, "NUL") == 0) return CommResult::Ok;

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) return FailAfterOpen(handle, port, CommResult::GetStateFailed, windowsError);

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) return FailAfterOpen(handle, port, CommResult::OpenFailed, windowsError);

    ApplySettings(&dcb, settings, lineFlags);
    if (!SetCommState(handle, &dcb)) return FailAfterOpen(handle, port, CommResult::SetStateFailed, windowsError);

    SetupComm(handle, kQueueSize, kQueueSize);  // a request; the driver works with any size
    return CommResult::Ok;
}

const char* CommErrorText(uint32_t windowsError) {
    switch (windowsError) {
        case 1: return "invalid function: not a serial port";
        case 2:
        case 3: return "file not found: no such port";
        case 5: return "access denied: the port is in use by another program";
        case 21: return "device not ready";
        case 31: return "general failure: the device does not respond";
        case 32: return "sharing violation: the port is in use by another program";
        case 87: return "invalid parameter: the port refuses these settings";
        case kCommErrorInvalidName: return "invalid name: not a port name";
        case 433:
        case 1167: return "device not connected";
        default: return "Windows error";
    }
}

CommResult CommClose(Handle port) {
    return CloseHandle(port) ? CommResult::Ok : CommResult::IoFailed;
}

int32_t CommSetReadTimeout(Handle port, int32_t timeout) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(port, &timeouts)) return 0;
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    // The host's value, kept within what the port can take: at least one
    // unit (all-zero time-outs would make a read wait for ever), at most
    // what fits in milliseconds (a negative or huge value would wrap).
    if (timeout < 1) timeout = 1;
    if (timeout > kLongestTimeout) timeout = kLongestTimeout;
    const DWORD wanted = static_cast<DWORD>(timeout) * kTimeoutUnitMs;
    if (previous != wanted) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(port, &timeouts)) return 0;
    }
    return static_cast<int32_t>(previous / kTimeoutUnitMs);
}

CommResult CommPurgeInput(Handle port) {
    DWORD errors = 0;
    COMSTAT status;
    memset(&status, 0, sizeof status);
    if (ClearCommError(port, &errors, &status) && status.cbInQue == 0) return CommResult::Ok;

    const int32_t previous = CommSetReadTimeout(port, kPurgeTimeout);
    bool failed = false;
    unsigned char scratch[kPurgeChunk];
    for (;;) {
        DWORD received = 0;
        if (!ReadFile(port, scratch, kPurgeChunk, &received, nullptr)) {
            failed = true;
            break;
        }
        if (received != kPurgeChunk) break;
    }
    if (previous != 0) CommSetReadTimeout(port, previous);
    return failed ? CommResult::IoFailed : CommResult::Ok;
}

void CommBreak(uint32_t milliseconds, Handle port) {
    SetCommBreak(port);
    Sleep(milliseconds);
    ClearCommBreak(port);
}

CommResult CommWrite(Handle port, const void* buffer, uint32_t count, uint32_t* written) {
    DWORD sent = 0;
    if (!WriteFile(port, buffer, count, &sent, nullptr)) return CommResult::IoFailed;
    if (written != nullptr) *written = static_cast<uint32_t>(sent);
    return sent != count ? CommResult::Partial : CommResult::Ok;
}

CommResult CommRead(Handle port, void* buffer, uint32_t count, uint32_t* received) {
    if (received != nullptr) *received = 0;
    DWORD got = 0;
    if (!ReadFile(port, buffer, count, &got, nullptr)) return CommResult::IoFailed;
    if (got == 0) return CommResult::IoFailed;
    if (received != nullptr) *received = static_cast<uint32_t>(got);
    return CommResult::Ok;
}

CommResult CommReadFor(Handle port, void* buffer, uint32_t count, uint32_t timeoutMs, uint32_t* received) {
    *received = 0;
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(port, &timeouts)) return CommResult::IoFailed;
    if (timeoutMs == 0) timeoutMs = 1;  // all-zero time-outs would wait for ever
    if (timeouts.ReadIntervalTimeout != 0 || timeouts.ReadTotalTimeoutMultiplier != 0 ||
        timeouts.ReadTotalTimeoutConstant != timeoutMs) {
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = timeoutMs;
        if (!SetCommTimeouts(port, &timeouts)) return CommResult::IoFailed;
    }
    DWORD got = 0;
    const BOOL read = ReadFile(port, buffer, count, &got, nullptr);
    *received = static_cast<uint32_t>(got);
    return read && got == count ? CommResult::Ok : CommResult::IoFailed;
}

uint64_t CommNowMs() {
    // The performance counter (every Windows the host runs on has it;
    // GetTickCount64 would keep the DLL off Windows XP and Server 2003).
    // Whole seconds and the rest apart: the counter times 1000 would
    // overflow after about 71 days where it runs at the processor's speed.
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000u + ticks % perSecond * 1000u / perSecond;
}

void CommSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}
