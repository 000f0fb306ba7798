// The recording fake of the Win32 serial calls (see fake_win32_control.h).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "fake_win32_control.h"

namespace fake_win32 {
namespace {

std::recursive_mutex g_lock;
Script g_port;
std::vector<Call> g_calls;
std::map<std::string, std::deque<BOOL>> g_results;
std::vector<HANDLE> g_open;
bool g_ready = false;

void EnsureReady() {
    if (!g_ready) Reset();
}

BOOL NextResult(const std::string& function) {
    auto found = g_results.find(function);
    if (found == g_results.end() || found->second.empty()) return TRUE;
    const BOOL result = found->second.front();
    found->second.pop_front();
    return result;
}

Call& Record(const char* function, HANDLE handle, BOOL result) {
    Call call;
    call.function = function;
    call.handle = handle;
    call.result = result;
    g_calls.push_back(call);
    return g_calls.back();
}

}  // namespace

DCB PlatformDcb() {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fDummy2 = 0x15A5A;
    dcb.wReserved = 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0x3F;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x7E;
    dcb.wReserved1 = 0xBEEF;
    return dcb;
}

void Reset() {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    g_port.nextHandle = 0x100;
    g_port.dcb = PlatformDcb();
    memset(&g_port.timeouts, 0, sizeof g_port.timeouts);
    g_port.input.clear();
    g_port.readCaps.clear();
    g_port.writeLimit = -1;
    g_port.modemStatus = 0;
    g_port.events = EV_TXEMPTY;
    g_port.commErrors = 0;
    g_port.outQueue = 0;
    g_port.outputsOnFailure = false;
    g_port.lastError = 0;
    g_calls.clear();
    g_results.clear();
    g_open.clear();
    g_ready = true;
}

Script& Port() {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    EnsureReady();
    return g_port;
}

void ScriptResults(const std::string& function, std::initializer_list<BOOL> results) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    EnsureReady();
    for (BOOL r : results) g_results[function].push_back(r);
}

void FailNext(const std::string& function, int times) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    EnsureReady();
    for (int i = 0; i < times; ++i) g_results[function].push_back(FALSE);
}

const std::vector<Call>& Calls() {
    return g_calls;
}

std::vector<std::string> CallNames() {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    std::vector<std::string> names;
    for (const Call& call : g_calls) names.push_back(call.function);
    return names;
}

std::vector<Call> CallsOf(const std::string& function) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    std::vector<Call> found;
    for (const Call& call : g_calls) {
        if (call.function == function) found.push_back(call);
    }
    return found;
}

void ClearCalls() {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    g_calls.clear();
}

std::vector<HANDLE> OpenHandles() {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return g_open;
}

void PushInput(const void* bytes, size_t count) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    EnsureReady();
    const auto* p = static_cast<const unsigned char*>(bytes);
    g_port.input.insert(g_port.input.end(), p, p + count);
}

void PushInput(size_t count, unsigned char fill) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    EnsureReady();
    g_port.input.insert(g_port.input.end(), count, fill);
}

}  // namespace fake_win32

using fake_win32::g_lock;
using fake_win32::g_open;
using fake_win32::g_port;
using fake_win32::NextResult;
using fake_win32::Record;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("CreateFileA");
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (ok) {
        handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(g_port.nextHandle));
        g_port.nextHandle += 4;
        g_open.push_back(handle);
    } else {
        if (g_port.lastError == 0) g_port.lastError = ERROR_FILE_NOT_FOUND;  // unless the script set another
    }
    fake_win32::Call& call = Record("CreateFileA", handle, ok);
    call.name = name != nullptr ? name : "";
    call.args[0] = access;
    call.args[1] = share;
    call.args[2] = disposition;
    call.args[3] = attributes;
    call.args[4] = security != nullptr;
    call.args[5] = templateFile != nullptr;
    return handle;
}

BOOL CloseHandle(HANDLE handle) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    auto found = std::find(g_open.begin(), g_open.end(), handle);
    BOOL ok = NextResult("CloseHandle");
    if (found == g_open.end()) ok = FALSE;  // not a handle this fake gave out, or closed already
    if (ok) g_open.erase(found);
    Record("CloseHandle", handle, ok);
    return ok;
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("GetCommState");
    fake_win32::Call& call = Record("GetCommState", handle, ok);
    call.args[0] = dcb->DCBlength;
    if (ok || g_port.outputsOnFailure) *dcb = g_port.dcb;
    call.dcb = *dcb;
    return ok;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("SetCommState");
    Record("SetCommState", handle, ok).dcb = *dcb;
    if (ok) g_port.dcb = *dcb;
    return ok;
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("GetCommTimeouts");
    if (ok || g_port.outputsOnFailure) *timeouts = g_port.timeouts;
    Record("GetCommTimeouts", handle, ok).timeouts = g_port.timeouts;
    return ok;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("SetCommTimeouts");
    Record("SetCommTimeouts", handle, ok).timeouts = *timeouts;
    if (ok) g_port.timeouts = *timeouts;
    return ok;
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("SetupComm");
    fake_win32::Call& call = Record("SetupComm", handle, ok);
    call.args[0] = inQueue;
    call.args[1] = outQueue;
    return ok;
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("SetCommMask");
    Record("SetCommMask", handle, ok).args[0] = mask;
    return ok;
}

BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("WaitCommEvent");
    if (ok || g_port.outputsOnFailure) *mask = g_port.events;
    Record("WaitCommEvent", handle, ok).overlapped = overlapped != nullptr;
    return ok;
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("ClearCommError");
    if (ok || g_port.outputsOnFailure) {
        if (errors != nullptr) *errors = g_port.commErrors;
        if (stat != nullptr) {
            memset(stat, 0, sizeof *stat);
            stat->cbInQue = static_cast<DWORD>(g_port.input.size());
            stat->cbOutQue = g_port.outQueue;
        }
    }
    if (ok) g_port.commErrors = 0;
    Record("ClearCommError", handle, ok);
    return ok;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("EscapeCommFunction");
    Record("EscapeCommFunction", handle, ok).args[0] = function;
    return ok;
}

BOOL GetCommModemStatus(HANDLE handle, LPDWORD status) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("GetCommModemStatus");
    if (ok || g_port.outputsOnFailure) *status = g_port.modemStatus;
    Record("GetCommModemStatus", handle, ok);
    return ok;
}

BOOL SetCommBreak(HANDLE handle) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("SetCommBreak");
    Record("SetCommBreak", handle, ok);
    return ok;
}

BOOL ClearCommBreak(HANDLE handle) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("ClearCommBreak");
    Record("ClearCommBreak", handle, ok);
    return ok;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD received, LPOVERLAPPED overlapped) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    if (received != nullptr) *received = 0;
    const BOOL ok = NextResult("ReadFile");
    DWORD n = 0;
    if (ok) {
        n = std::min<DWORD>(count, static_cast<DWORD>(g_port.input.size()));
        if (!g_port.readCaps.empty()) {
            n = std::min(n, g_port.readCaps.front());
            g_port.readCaps.pop_front();
        }
        auto* out = static_cast<unsigned char*>(buffer);
        for (DWORD i = 0; i < n; ++i) {
            out[i] = g_port.input.front();
            g_port.input.pop_front();
        }
        if (received != nullptr) *received = n;
    }
    fake_win32::Call& call = Record("ReadFile", handle, ok);
    call.args[0] = count;
    call.args[1] = n;
    call.overlapped = overlapped != nullptr;
    call.countPointer = received != nullptr;
    return ok;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    const BOOL ok = NextResult("WriteFile");
    DWORD n = 0;
    if (ok) {
        n = count;
        if (g_port.writeLimit >= 0) n = std::min(n, static_cast<DWORD>(g_port.writeLimit));
        if (written != nullptr) *written = n;
    }
    fake_win32::Call& call = Record("WriteFile", handle, ok);
    call.args[0] = count;
    call.args[1] = n;
    call.overlapped = overlapped != nullptr;
    call.countPointer = written != nullptr;
    const auto* p = static_cast<const unsigned char*>(buffer);
    if (ok && p != nullptr) call.data.assign(p, p + n);
    return ok;
}

void Sleep(DWORD milliseconds) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    Record("Sleep", nullptr, TRUE).args[0] = milliseconds;
}

DWORD GetLastError(void) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    fake_win32::EnsureReady();
    return g_port.lastError;
}

DWORD GetEnvironmentVariableA(LPCSTR name, char* buffer, DWORD size) {
    const char* value = getenv(name);
    if (value == nullptr) return 0;
    const DWORD length = static_cast<DWORD>(strlen(value));
    if (buffer == nullptr || length >= size) return length + 1;
    memcpy(buffer, value, length + 1);
    return length;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000000;  // the steady clock's nanoseconds
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
    return TRUE;
}
