// Scripting and reading the recording fake of the Win32 serial calls.
//
// The fake models one port: CreateFileA hands out fresh handle values and
// keeps the set of open ones; the port has a device control block (what
// GetCommState answers), time-outs (SetCommTimeouts changes them, only on
// success), an input queue of bytes (ClearCommError counts it, ReadFile takes
// from it), a modem status and an event mask. Every call is recorded with
// its arguments. Any call can be told to fail: its next scripted results
// come first, TRUE afterwards. Sleep records and returns at once.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "fake_win32.h"

namespace fake_win32 {

struct Call {
    std::string function;  // "CreateFileA", "GetCommState", ...
    HANDLE handle = nullptr;  // the handle passed; for CreateFileA the handle returned
    BOOL result = TRUE;       // what the call returned (CreateFileA: FALSE for INVALID_HANDLE_VALUE)
    std::string name;         // CreateFileA: the name passed
    // CreateFileA: access, share, disposition, attributes, security != null, template != null
    // GetCommState: DCBlength as the caller set it
    // SetupComm: input, output; SetCommMask: mask; EscapeCommFunction: function
    // ReadFile, WriteFile: bytes asked, bytes done; Sleep: milliseconds
    DWORD args[6] = {};
    bool overlapped = false;     // ReadFile, WriteFile, WaitCommEvent: an OVERLAPPED was passed
    bool countPointer = true;    // ReadFile, WriteFile: the count pointer was not null
    DCB dcb{};                   // GetCommState: as answered; SetCommState: as passed
    COMMTIMEOUTS timeouts{};     // GetCommTimeouts: as answered; SetCommTimeouts: as passed
    std::vector<unsigned char> data;  // WriteFile: the bytes written
};

struct Script {
    DWORD nextHandle;          // the value the next successful CreateFileA gives
    DCB dcb;                   // the port's control block, as GetCommState answers it
    COMMTIMEOUTS timeouts;     // the port's time-outs
    std::deque<unsigned char> input;  // bytes waiting in the input queue
    std::deque<DWORD> readCaps;       // ReadFile: at most this many bytes per call, one entry a call
    long writeLimit;           // WriteFile: at most this many bytes per call; -1 for all
    DWORD modemStatus;         // GetCommModemStatus
    DWORD events;              // the mask WaitCommEvent answers
    DWORD commErrors;          // the error word ClearCommError answers
    DWORD outQueue;            // COMSTAT.cbOutQue
    bool outputsOnFailure;     // a failing call still writes its out-parameters
    DWORD lastError;           // GetLastError; a failing CreateFileA leaves a scripted one, else sets 2
};

// A healthy port with a platform-like control block: 9600 baud, 8 data bits,
// fBinary, fTXContinueOnXoff, XON/XOFF limits and characters, EofChar and
// EvtChar filled with recognisable values; time-outs all 0; no input.
void Reset();
Script& Port();
DCB PlatformDcb();

// The next results of one call, in order; afterwards it succeeds again.
void ScriptResults(const std::string& function, std::initializer_list<BOOL> results);
void FailNext(const std::string& function, int times = 1);

const std::vector<Call>& Calls();
std::vector<std::string> CallNames();
std::vector<Call> CallsOf(const std::string& function);
void ClearCalls();

// Handles CreateFileA gave that have not been closed successfully.
std::vector<HANDLE> OpenHandles();
void PushInput(const void* bytes, size_t count);
void PushInput(size_t count, unsigned char fill);

}  // namespace fake_win32
