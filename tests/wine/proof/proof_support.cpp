#include "tests/wine/proof/proof_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "tests/wine/support/driver.h"

namespace proof {

uint16_t PointStatus(int loop, int point) {
    if (loop == 1) {
        if (point == 13 || point < 1 || point > 32) return 0xFFFF;
        return point == 7 ? 0x0080 : static_cast<uint16_t>(0x0010 + point);
    }
    if (loop == 2 && point >= 1 && point <= 8) return static_cast<uint16_t>(0x0200 + point);
    return 0xFFFF;
}

std::string PointLabel(int loop, int point) {
    char text[24];
    snprintf(text, sizeof text, "DET L%d D%03d", loop, point);
    return text;
}

uint16_t BlockWord(int k) {
    const int point = k + 1;
    return point == 7 ? 0x8000 : PointStatus(1, point);
}

std::string ModelJson() {
    std::string loop1, loop2;
    char one[112];
    for (int k = 1; k <= 32; ++k) {
        if (k == 13) continue;
        snprintf(one, sizeof one, "%s{\"number\": %d, \"status\": \"0x%04X\", \"label\": \"%s\"}",
                 loop1.empty() ? "" : ", ", k, PointStatus(1, k), PointLabel(1, k).c_str());
        loop1 += one;
    }
    for (int k = 1; k <= 8; ++k) {
        snprintf(one, sizeof one, "%s{\"number\": %d, \"status\": \"0x%04X\", \"label\": \"%s\"}",
                 loop2.empty() ? "" : ", ", k, PointStatus(2, k), PointLabel(2, k).c_str());
        loop2 += one;
    }
    char head[640];
    snprintf(head, sizeof head, R"({
  "gateway": {"reply_delay_ms": 2, "max_frame_payload": 41, "points_per_answer": 32,
              "session_timeout_ms": 15000, "zg_reply_letter": "own"},
  "panel": {
    "version": "%s", "system_status": "0x%04X", "trouble_status": "0x%04X",
    "clock": "24/12/2001 09:15:30", "clock_runs": false,
    "zones": [{"number": 5, "status": "0x%04X", "label": "WEST STAIRWELL"}],
    "groups": [{"number": 3, "status": "0x0102", "active": 2, "label": "SECOND FLOOR"}],
    "loops": [)",
             kVersionText, kSystemStatus, kTroubleStatus, kZone5Status);
    return std::string(head) + "{\"number\": 1, \"points\": [" + loop1 + "]}, {\"number\": 2, \"points\": [" + loop2 +
           "]}]}}";
}

Gate::Gate(const std::string& text, int32_t valueKind, int32_t count) : address(text) {
    memset(&point, 0, sizeof point);
    point.address = address.c_str();
    point.valueKind = valueKind;
    point.count = count;
    point.value = value;
    Fill();
}

uint16_t Gate::Word(size_t offset) const {
    return static_cast<uint16_t>(value[offset] | (value[offset + 1] << 8));
}

std::string Gate::Text() const {
    return std::string(reinterpret_cast<const char*>(value), strnlen(reinterpret_cast<const char*>(value), sizeof value));
}

void Gate::Fill(unsigned char byte) { memset(value, byte, sizeof value); }

std::string Line::Name() const {
    const VpiChannel* c = reinterpret_cast<const VpiChannel*>(record.bytes);
    return std::string(c->name, strnlen(c->name, sizeof c->name));
}

std::string Line::StartSim(const sksim::SimFaults& faults, sksim::SimOptions* given) {
    sksim::SimOptions options = given != nullptr ? *given : sksim::SimOptions{};
    options.port = PeerCom(pair);
    if (options.modelJson.empty() && options.modelFile.empty()) options.modelJson = ModelJson();
    options.faults = faults;
    std::string error;
    sim = sksim::SimStart(options, &error);
    return sim != nullptr ? std::string() : (error.empty() ? std::string("SimStart failed") : error);
}

void Line::StopSim() {
    sksim::SimStop(sim);
    sim = nullptr;
}

int32_t Line::StartChannel(int32_t channelIndex) {
    return Start(record, MakeStart(DevicePath(DriverCom(pair)), 1, 100), channelIndex);
}

int32_t Line::EndChannel() { return End(record); }

std::string Line::Trace() const {
    return sim != nullptr ? Joined(sksim::SimTraceLines(sim), "\n") : std::string();
}

int32_t Parse(Line& line, Gate& gate, int32_t parser, int32_t gateType) {
    GateRecord record;
    memset(&record, 0, sizeof record);
    record.address = gate.address.c_str();
    record.gateType = gateType;
    const int32_t result = CallVpi(parser, line.channel(), &record);
    gate.point.argA = record.slotA;
    gate.point.argB = record.slotB;
    gate.point.argC = record.slotC;
    return result;
}

int32_t Request(Line& line, int32_t code, Gate& gate) { return CallVpi(code, line.channel(), &gate.point); }

std::string CountersText(const sksim::SimCounters& c) {
    char text[320];
    snprintf(text, sizeof text,
             "announces %u (ignored %u), sessions %u/%u closed, frames in %u, bad CRC %u, bad seq %u, bad frames %u, "
             "stray %u, repeats %u, requests %u, writes %u, hang-ups %u",
             c.announces, c.announcesIgnored, c.sessions, c.sessionsClosed, c.framesReceived, c.badCrc, c.badSequence,
             c.badFrames, c.garbageBytes, c.repeats, c.requests, c.writes, c.hangUps);
    return text;
}

std::string Joined(const std::vector<std::string>& lines, const char* separator) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) text += separator;
        text += lines[i];
    }
    return text;
}

std::vector<uintptr_t> HandleValues() {
    std::vector<uintptr_t> values;
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) values.push_back(value);
    }
    return values;
}

std::string HandleKind(uintptr_t value) {
    // NtQueryObject(ObjectTypeInformation): the type's name comes first, as a
    // UNICODE_STRING {USHORT Length, USHORT MaximumLength, PWSTR Buffer} (the
    // buffer pointer at offset 4 in a 32-bit process, 8 in a 64-bit one).
    struct UnicodeString {
        USHORT length;
        USHORT maximumLength;
        const wchar_t* buffer;
    };
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (query == nullptr) return "?";
    alignas(8) unsigned char info[1024];
    ULONG length = 0;
    if (query(reinterpret_cast<HANDLE>(value), 2, info, sizeof info, &length) != 0) return "?";
    USHORT bytes = 0;
    const wchar_t* name = nullptr;
    memcpy(&bytes, info, sizeof bytes);
    memcpy(&name, info + offsetof(UnicodeString, buffer), sizeof name);
    std::string kind;
    for (USHORT i = 0; name != nullptr && i < bytes / 2; ++i) kind += static_cast<char>(name[i]);
    // ObjectNameInformation: the object's name, when it has one.
    if (query(reinterpret_cast<HANDLE>(value), 1, info, sizeof info, &length) == 0) {
        memcpy(&bytes, info, sizeof bytes);
        memcpy(&name, info + offsetof(UnicodeString, buffer), sizeof name);
        if (name != nullptr && bytes > 0) {
            kind += " \"";
            for (USHORT i = 0; i < bytes / 2; ++i) kind += static_cast<char>(name[i]);
            kind += "\"";
        }
    }
    return kind;
}

std::string NewHandles(const std::vector<uintptr_t>& before, const std::vector<uintptr_t>& after) {
    std::string text;
    for (uintptr_t value : after) {
        if (std::find(before.begin(), before.end(), value) != before.end()) continue;
        char one[96];
        const std::string kind = HandleKind(value);
        snprintf(one, sizeof one, "%s0x%x %s", text.empty() ? "" : ", ", static_cast<unsigned>(value), kind.c_str());
        text += one;
        if (kind == "Thread") {  // whose, and whether it still runs
            const HANDLE h = reinterpret_cast<HANDLE>(value);
            snprintf(one, sizeof one, " (id %lu, %s)", static_cast<unsigned long>(GetThreadId(h)),
                     WaitForSingleObject(h, 0) == WAIT_TIMEOUT ? "running" : "ended");
            text += one;
        }
    }
    return text.empty() ? "none" : text;
}

namespace {

struct ThreadStart {
    const std::function<void(int)>* body;
    int index;
};

DWORD WINAPI ThreadMain(void* argument) {
    const ThreadStart* start = static_cast<const ThreadStart*>(argument);
    (*start->body)(start->index);
    return 0;
}

}  // namespace

void RunOnThreads(int count, const std::function<void(int)>& body) {
    std::vector<ThreadStart> starts(static_cast<size_t>(count));
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        starts[static_cast<size_t>(i)] = ThreadStart{&body, i};
        HANDLE thread = CreateThread(nullptr, 0, ThreadMain, &starts[static_cast<size_t>(i)], 0, nullptr);
        if (thread == nullptr) {
            body(i);  // no thread to be had: run it here rather than not at all
            continue;
        }
        threads.push_back(thread);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

// --- processes -------------------------------------------------------------

std::string SelfPath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

HANDLE StartChild(const std::string& commandLine, const std::vector<std::string>& extraEnvironment,
                  const std::string& outputFile) {
    std::vector<char> environment;
    char* current = GetEnvironmentStringsA();
    for (const char* p = current; *p != '\0'; p += strlen(p) + 1) {
        environment.insert(environment.end(), p, p + strlen(p) + 1);
    }
    FreeEnvironmentStringsA(current);
    for (const std::string& entry : extraEnvironment) {
        environment.insert(environment.end(), entry.begin(), entry.end());
        environment.push_back('\0');
    }
    environment.push_back('\0');

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return nullptr;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, environment.data(), nullptr,
                                        &startup, &process);
    CloseHandle(output);
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string TempFolder(const std::string& leaf) {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    std::string folder = std::string(base) + leaf + "." + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

// --- the socat pairs ------------------------------------------------------

namespace {

std::mutex g_unixLock;
int g_scriptNumber = 0;
std::vector<uintptr_t> g_harnessHandles;

std::string PairDir() {
    const char* dir = getenv("SK_PAIR_DIR");
    return dir != nullptr ? dir : "";
}

std::string WindowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool Exists(const std::string& windowsPath) {
    return GetFileAttributesA(windowsPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string SocatCommand(const std::string& dir, int pair) {
    const std::string i = std::to_string(pair);
    return "socat pty,rawer,link=" + dir + "/a" + i + " pty,rawer,link=" + dir + "/b" + i;
}

}  // namespace

bool RunUnixShell(const std::string& script, uint32_t timeoutMs, std::string* result) {
    const std::string dir = PairDir();
    if (dir.empty()) return false;
    std::string scriptPath, marker;
    {
        std::lock_guard<std::mutex> hold(g_unixLock);
        const std::string n = std::to_string(GetCurrentProcessId()) + "." + std::to_string(++g_scriptNumber);
        scriptPath = dir + "/proof-script." + n;
        marker = dir + "/proof-done." + n;
    }
    {
        std::ofstream out(WindowsPath(scriptPath), std::ios::binary);
        out << "result=done\n" << script << "\necho \"$result\" > " << marker << ".tmp && mv " << marker << ".tmp "
            << marker << "\n";
        if (!out) return false;
    }
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    std::string command = "/bin/sh " + scriptPath;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    // Wine starts a Unix program without giving its handles back (they are
    // not to be closed) and keeps one handle of its own per start: noted by
    // value, so the handle checks of the driver can leave it out. (A count
    // taken around the start missed it whenever another thread closed a
    // handle meanwhile, and a run then looked one handle short.)
    const std::vector<uintptr_t> before = HandleValues();
    const BOOL started =
        CreateProcessA("Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    const std::vector<uintptr_t> after = HandleValues();
    {
        std::lock_guard<std::mutex> hold(g_unixLock);
        for (uintptr_t value : after) {
            if (std::find(before.begin(), before.end(), value) == before.end()) g_harnessHandles.push_back(value);
        }
    }
    if (!started) return false;
    const double end = NowMs() + timeoutMs;
    while (!Exists(WindowsPath(marker))) {
        if (NowMs() > end) return false;
        Sleep(20);
    }
    std::string text = ReadTextFile(WindowsPath(marker));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (result != nullptr) *result = text;
    DeleteFileA(WindowsPath(marker).c_str());
    DeleteFileA(WindowsPath(scriptPath).c_str());
    return true;
}

std::vector<uintptr_t> HarnessHandles() {
    std::lock_guard<std::mutex> hold(g_unixLock);
    return g_harnessHandles;
}

bool KillPair(int pair) {
    const std::string dir = PairDir();
    const std::string i = std::to_string(pair);
    // The process whose whole command line is the pair's socat command
    // (read from /proc: no tool beyond the shell's own is needed).
    const std::string script = "want='" + SocatCommand(dir, pair) + " '\npid=\n" +
                               "for d in /proc/[0-9]*; do\n" +
                               "  [ \"$(tr '\\0' ' ' < \"$d/cmdline\" 2>/dev/null)\" = \"$want\" ] && pid=${d#/proc/}\n" +
                               "done\n" +
                               "[ -n \"$pid\" ] && kill \"$pid\"\n" +
                               "for n in $(seq 200); do [ -e " + dir + "/a" + i + " ] || break; sleep 0.05; done\n" +
                               "[ -n \"$pid\" ] && ! [ -e " + dir + "/a" + i + " ] || result=failed\n";
    std::string result;
    return RunUnixShell(script, 15000, &result) && result == "done";
}

bool RespawnPair(int pair) {
    const std::string dir = PairDir();
    const std::string i = std::to_string(pair);
    const std::string a = dir + "/a" + i, b = dir + "/b" + i;
    // Bounded by `timeout`, so it can never outlive the run by much even if
    // this program dies before it ends the process.
    const std::string script = "rm -f " + a + " " + b + "\n" + "cd / && setsid timeout 1800 " +
                               SocatCommand(dir, pair) + " </dev/null >/dev/null 2>&1 &\n" + "echo $! >> " + dir +
                               "/proof-respawned\n" + "for n in $(seq 200); do [ -e " + a + " ] && [ -e " + b +
                               " ] && break; sleep 0.05; done\n" + "[ -e " + a + " ] && [ -e " + b + " ] || result=failed\n";
    std::string result;
    return RunUnixShell(script, 15000, &result) && result == "done";
}

void EndRespawnedPairs() {
    const std::string dir = PairDir();
    const std::string list = dir + "/proof-respawned";
    if (dir.empty()) return;
    RunUnixShell("[ -f " + list + " ] && for pid in $(cat " + list + "); do kill \"$pid\" 2>/dev/null; done\nrm -f " +
                     list + "\n",
                 15000, nullptr);
}

}  // namespace proof
