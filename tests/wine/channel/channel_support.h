// What the channel-life tests share: host-style channel records, start
// parameters, a clock, and the process's handle and thread counts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/records.h"
#include "tests/wine/support/driver.h"

// A channel record as a host allocates it: 4910 bytes of whatever the
// allocation held (0xCD unless the test says otherwise).
struct HostRecord {
    explicit HostRecord(unsigned char fill = 0xCD);
    VpiChannel* get() { return reinterpret_cast<VpiChannel*>(bytes); }
    VpiChannel* operator->() { return get(); }
    alignas(8) unsigned char bytes[sizeof(VpiChannel)];
};

StartParameters MakeStart(const std::string& port, int32_t enabled = 1, int32_t readTimeout = 100,
                          PortSettings settings = PortSettings{19200, 8, 0, 0});

// "\\.\COMn" for a pair's driver side (Wine opens COM ports above 9 only so).
std::string DevicePath(const std::string& com);

int32_t Start(HostRecord& record, const StartParameters& parameters, int32_t channelIndex = 1);
int32_t Restart(HostRecord& record);
int32_t End(HostRecord& record);

// Milliseconds since an arbitrary point, from the performance counter.
double NowMs();

// Open handles of this process (GetProcessHandleCount answers 0 under Wine,
// so every handle value below 0x4000 is probed: the test programs hold a few
// dozen) and its threads (Toolhelp).
int CountHandles();
int CountThreads();
bool ThreadAlive(DWORD id);

// Handle and thread counts once they have come back to `handles` and
// `threads`, or after 3 s if they do not: under Wine a thread that a join
// has seen end leaves the process a moment later.
struct Counts {
    int handles;
    int threads;
};
Counts CountsSettledTo(int handles, int threads);

// The log without the line-signal messages a pty produces where a real port
// would not (DTR and RTS cannot be driven on a pty under Wine).
std::vector<std::string> LogWithoutLineSignals();

// The line a start on a port logs with the settings in effect, for the
// defaults (no settings file): "VpiSK01: COM5 19200 8N1, answers end by frame, ...".
std::string SettingsLine(const std::string& name, const std::string& port);

// The log lines that begin with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& prefix);

// Index of the first log line equal to `text`, or -1.
int FindLine(const std::string& text);

// Test threads as plain Win32 threads: the C++ thread library keeps
// handles of its own for a while, which would blur the counts.
template <typename Body>
DWORD WINAPI RunBody(void* argument) {
    (*static_cast<Body*>(argument))();
    return 0;
}

template <typename Body>
HANDLE StartThread(Body& body) {
    return CreateThread(nullptr, 0, RunBody<Body>, &body, 0, nullptr);
}

inline void JoinThread(HANDLE thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Runs `body` on `count` threads at once and waits for them all.
template <typename Body>
void RunOnThreads(int count, Body& body) {
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) threads.push_back(StartThread(body));
    for (HANDLE thread : threads) JoinThread(thread);
}

// Directory of this program (helper programs and DLLs sit next to it).
std::string ProgramDir();
