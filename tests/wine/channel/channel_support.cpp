#include "tests/wine/channel/channel_support.h"

#include <tlhelp32.h>

#include <cstring>

HostRecord::HostRecord(unsigned char fill) { memset(bytes, fill, sizeof bytes); }

StartParameters MakeStart(const std::string& port, int32_t enabled, int32_t readTimeout, PortSettings settings) {
    StartParameters parameters;
    memset(&parameters, 0xEE, sizeof parameters);  // bytes after the name's NUL are the host's
    memset(parameters.portName, 0, sizeof parameters.portName);
    memcpy(parameters.portName, port.data(), port.size() < sizeof parameters.portName ? port.size() : sizeof parameters.portName);
    parameters.enabled = enabled;
    parameters.readTimeout = readTimeout;
    parameters.settings = settings;
    return parameters;
}

std::string DevicePath(const std::string& com) { return "\\\\.\\" + com; }

int32_t Start(HostRecord& record, const StartParameters& parameters, int32_t channelIndex) {
    StartParameters copy = parameters;
    return CallVpi(1, record.get(), &copy, channelIndex);
}

int32_t Restart(HostRecord& record) { return CallVpi(2, record.get(), nullptr); }

int32_t End(HostRecord& record) { return CallVpi(11, record.get(), nullptr); }

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

int CountHandles() {
    int count = 0;
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

static std::vector<DWORD> ThreadIds() {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

int CountThreads() { return static_cast<int>(ThreadIds().size()); }

bool ThreadAlive(DWORD id) {
    for (DWORD each : ThreadIds())
        if (each == id) return true;
    return false;
}

Counts CountsSettledTo(int handles, int threads) {
    Counts now{CountHandles(), CountThreads()};
    for (int i = 0; i < 20 && (now.handles != handles || now.threads != threads); ++i) {
        Sleep(150);
        now = Counts{CountHandles(), CountThreads()};
    }
    return now;
}

std::vector<std::string> LogWithoutLineSignals() {
    std::vector<std::string> kept;
    for (const std::string& line : LogLines()) {
        if (line == "EscapeCommFunction fail (DTR)" || line == "EscapeCommFunction fail (RTS)") continue;
        kept.push_back(line);
    }
    return kept;
}

std::string SettingsLine(const std::string& name, const std::string& port) {
    return name + ": " + port + " 19200 8N1, answers end by frame, block answers by window, CRC checked, changes confirmed";
}

std::vector<std::string> LinesStartingWith(const std::string& prefix) {
    std::vector<std::string> kept;
    for (const std::string& line : LogLines())
        if (line.compare(0, prefix.size(), prefix) == 0) kept.push_back(line);
    return kept;
}

int FindLine(const std::string& text) {
    const std::vector<std::string> lines = LogLines();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == text) return static_cast<int>(i);
    return -1;
}

std::string ProgramDir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    const size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}
