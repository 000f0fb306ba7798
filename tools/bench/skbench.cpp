// skbench: what SK5820.dll costs, measured in one run against the simulated
// gateway (sksim.exe, one process per pty pair, so the simulators' work is
// not counted as the driver's):
//
//   1. the round trips of the line, measured with the driver's own frames,
//      and how long Wine keeps the driver's 1000 and 4000 ms read windows;
//   2. single and block read wall time against the protocol's floor
//      (single: announce round trip + 1000 ms status window + end-of-session
//      and goodbye round trips + 50 ms pause; block: announce round trip +
//      4000 ms block window + Zlz, end-of-session and goodbye round trips);
//   3. CPU time per transaction (GetProcessTimes);
//   4. the idle CPU of N started channels over a time (their catch threads),
//      also the catch threads' own times and, when SK_WINESERVER_PID names
//      it, the Wine server's;
//   5. aggregate single reads per second with 1, 2, 4, 8, 16 channels on
//      parallel host threads, as a ratio to one channel.
//
//   6. the driver's read modes (SK5820.ini): a single read that ends with its
//      frame against its floor (the four round trips and the 50 ms pause), a
//      block read that ends after a quiet gap, and a poll cycle of the bundled
//      model's status gates in each mode;
//   7. a dead line: reads while it is down, and how soon it is up again;
//   8. alarm latency: the simulator's timed events against a host polling
//      the bundled model's gates, for points (read in their loop's block)
//      and for zones (single gates) with and without confirm_changes.
//
// The simulators pace their bytes at the line's speed (one byte every
// 10/19200 s), so round trips and reads mean what a real line gives.
//
// Run under Wine with 16 pty pairs (scripts/bench.sh does it all):
//   skbench [--singles 30] [--blocks 10] [--idle-seconds 60] [--scale-seconds 20]
//           [--rounds 40] [--turnaround-ms 0] [--sim-poll-ms 0] [--line-only 1]
//           [--pace 1] [--cycles 2] [--modes-only 1] [--dead-line-only 1]
//           [--latency-only 1]
// --turnaround-ms is the simulated gateway's pause before each answer (the
// bundled model's is 2 ms; the floor includes it either way), --sim-poll-ms
// makes the simulators look at the line every N ms instead of answering as
// bytes arrive, --line-only 1 stops after the round trips, --modes-only 1
// measures only the line, the read modes and the poll cycle on one channel
// and one simulator (parts 1, 2 and 6: wall times against floors measured in
// the same run, the part that still means something under emulation),
// --dead-line-only 1 only the dead line (part 7) and --latency-only 1 only
// the alarm latency (part 8, after the poll cycles of the two modes it
// polls in), each on one channel and one simulator.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/records.h"

namespace {

using VpiMainFn = int32_t(__stdcall*)(VpiRequest*);
VpiMainFn g_vpi = nullptr;

constexpr int kMaxChannels = 16;
constexpr int32_t kColdStart = 1, kWarmStart = 2, kSingleParser = 3, kBlockParser = 4, kSingleRead = 5, kBlockRead = 6,
                  kEndVpi = 11;
constexpr uint16_t kSystemStatus = 0x1224;

struct Options {
    int singles = 30, blocks = 10, idleSeconds = 60, scaleSeconds = 20;
    int rounds = 40, turnaroundMs = 0, simPollMs = 0, lineOnly = 0;
    int pace = 1, cycles = 2;
    int modesOnly = 0;  // only the read modes and the poll cycle, on one channel
    int deadLineOnly = 0;  // only the dead line (part 7), on one channel
    int latencyOnly = 0;   // only the alarm latency (part 8), on one channel
};

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Process CPU time (user + kernel) in ms.
double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

double ThreadCpuMs(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return -1;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

// The Wine server's CPU time in ms (from /proc, through Z:), or -1.
double WineServerCpuMs() {
    const char* pid = getenv("SK_WINESERVER_PID");
    if (pid == nullptr) return -1;
    std::ifstream in(std::string("Z:\\proc\\") + pid + "\\stat", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    const char* p = text.c_str() + close + 2;
    unsigned long long utime = 0, stime = 0;
    char state = 0;
    int ppid, pgrp, session, tty, tpgid;
    unsigned flags;
    unsigned long minflt, cminflt, majflt, cmajflt;
    if (sscanf(p, "%c %d %d %d %d %d %u %lu %lu %lu %lu %llu %llu", &state, &ppid, &pgrp, &session, &tty, &tpgid,
               &flags, &minflt, &cminflt, &majflt, &cmajflt, &utime, &stime) != 13) {
        return -1;
    }
    const char* hz = getenv("SK_CLK_TCK");
    const double ticks = hz != nullptr ? atof(hz) : 100.0;
    return static_cast<double>(utime + stime) * 1000.0 / ticks;
}

std::string Com(int number) { return "\\\\.\\COM" + std::to_string(number); }
int ComBase() {
    const char* base = getenv("SK_COM_BASE");
    return base != nullptr ? atoi(base) : 0;
}
std::string DriverCom(int pair) { return Com(ComBase() + 2 * pair); }
std::string PeerCom(int pair) { return Com(ComBase() + 2 * pair + 1); }

int32_t CallVpi(int32_t function, VpiChannel* channel, void* params, int32_t index = 0) {
    VpiRequest request{};
    request.channel = channel;
    request.function = function;
    request.channelIndex = index;
    request.params = params;
    return g_vpi(&request);
}

// The panel: system status 0x1224; loop 1 with points 1..32.
std::string ModelJson(int turnaroundMs) {
    std::string points;
    char one[96];
    for (int k = 1; k <= 32; ++k) {
        snprintf(one, sizeof one, "%s{\"number\": %d, \"status\": \"0x%04X\", \"label\": \"DET L1 D%03d\"}",
                 k == 1 ? "" : ", ", k, 0x10 + k, k);
        points += one;
    }
    return R"({"gateway": {"reply_delay_ms": )" + std::to_string(turnaroundMs) +
           R"(, "max_frame_payload": 41, "points_per_answer": 32,
               "session_timeout_ms": 15000, "zg_reply_letter": "own"},
  "panel": {"version": "5820XL BENCH", "system_status": "0x1224", "trouble_status": "0x0042",
    "clock": "24/12/2001 09:15:30", "clock_runs": false,
    "loops": [{"number": 1, "points": [)" +
           points + "]}]}}";
}

struct Channel {
    alignas(8) unsigned char record[sizeof(VpiChannel)];
    VpiChannel* get() { return reinterpret_cast<VpiChannel*>(record); }
};

struct Gate {
    std::string address;
    PointRecord point;
    alignas(4) unsigned char value[256];
    Gate(const char* text, int32_t count) : address(text) {
        memset(&point, 0, sizeof point);
        memset(value, 0, sizeof value);
        point.address = address.c_str();
        point.count = count;
        point.value = value;
    }
    Gate(const Gate&) = delete;
    uint16_t Word(size_t at) const { return static_cast<uint16_t>(value[at] | (value[at + 1] << 8)); }
};

bool ParseGate(Channel& channel, Gate& gate, int32_t parser) {
    GateRecord record;
    memset(&record, 0, sizeof record);
    record.address = gate.address.c_str();
    const int32_t status = CallVpi(parser, channel.get(), &record);
    gate.point.argA = record.slotA;
    gate.point.argB = record.slotB;
    gate.point.argC = record.slotC;
    return status == 0;
}

int32_t StartChannel(Channel& channel, int pair) {
    memset(channel.record, 0xCD, sizeof channel.record);
    StartParameters start;
    memset(&start, 0, sizeof start);
    const std::string port = DriverCom(pair);
    memcpy(start.portName, port.data(), std::min(port.size(), sizeof start.portName - 1));
    start.enabled = 1;
    start.readTimeout = 100;
    start.settings = PortSettings{19200, 8, 0, 0};
    return CallVpi(kColdStart, channel.get(), &start, pair + 1);
}

// --- the line's round trips ---------------------------------------------------

struct RawLine {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit RawLine(const std::string& port) {
        h = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(h, &dcb);
        dcb.BaudRate = 19200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(h, &dcb);
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 2000;  // a read ends when all asked bytes are in
        SetCommTimeouts(h, &t);
        PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~RawLine() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    // Writes the bytes and reads `answer` bytes: the round trip in ms, or -1.
    double Exchange(const void* bytes, DWORD count, DWORD answer) {
        unsigned char in[64];
        DWORD written = 0, got = 0;
        const double t0 = NowMs();
        if (!WriteFile(h, bytes, count, &written, nullptr) || written != count) return -1;
        if (!ReadFile(h, in, answer, &got, nullptr) || got != answer) return -1;
        return NowMs() - t0;
    }
};

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? -1 : sum / static_cast<double>(v.size());
}

struct RoundTrips {
    double announce = -1, request = -1, eos = -1, goodbye = -1;
    double low = -1, high = -1;  // the fastest and the slowest exchange seen
};

// A single session as the driver runs it, with exact read sizes. The
// exchanges start at random moments (0-25 ms apart), so a simulator that
// looks at its line at intervals (--sim-poll-ms) shows its mean delay.
RoundTrips MeasureRoundTrips(int pair, int rounds) {
    static const unsigned char kRequestS[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x01, 0x73, 0x01, 0x65};
    static const unsigned char kEos[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x22, 0x01, 0x06, 0x44, 0x63};
    static const unsigned char kGoodBye[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x33, 0x00, 0x42, 0x13};
    RawLine line(DriverCom(pair));
    std::vector<double> a, r, e, g;
    if (line.h == INVALID_HANDLE_VALUE) return RoundTrips{};
    uint32_t seed = 12345;
    auto pause = [&seed] {
        seed = seed * 1103515245u + 12345u;
        Sleep((seed >> 16) % 26);
    };
    for (int i = 0; i < rounds; ++i) {
        pause();
        a.push_back(line.Exchange("SK GATEWAY", 10, 11));
        pause();
        r.push_back(line.Exchange(kRequestS, sizeof kRequestS, 12));
        pause();
        e.push_back(line.Exchange(kEos, sizeof kEos, 11));
        pause();
        g.push_back(line.Exchange(kGoodBye, sizeof kGoodBye, 10));
    }
    auto valid = [](const std::vector<double>& v) {
        return std::none_of(v.begin(), v.end(), [](double x) { return x < 0; });
    };
    RoundTrips rt;
    if (!valid(a) || !valid(r) || !valid(e) || !valid(g)) return rt;
    rt.announce = Mean(a);
    rt.request = Mean(r);
    rt.eos = Mean(e);
    rt.goodbye = Mean(g);
    rt.low = std::min({*std::min_element(a.begin(), a.end()), *std::min_element(r.begin(), r.end()),
                       *std::min_element(e.begin(), e.end()),
                       *std::min_element(g.begin(), g.end())});
    rt.high = std::max({*std::max_element(a.begin(), a.end()), *std::max_element(r.begin(), r.end()),
                        *std::max_element(e.begin(), e.end()),
                        *std::max_element(g.begin(), g.end())});
    return rt;
}

// How long Wine takes to end a read that nothing answers, for the driver's two
// long windows (the status window of a single read, 1000 ms, and the block
// window, 4000 ms; each read asks for more than will come, so it always runs
// out): what a read costs beyond the nominal window is Wine's, not the
// driver's. The simulator answers only requests, so the line stays silent.
struct Windows {
    double status = -1, block = -1;  // means
    double statusLow = -1, statusHigh = -1, blockLow = -1, blockHigh = -1;
};

double SilentRead(RawLine& line, DWORD windowMs, DWORD asked) {
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = windowMs;
    if (!SetCommTimeouts(line.h, &t)) return -1;
    static unsigned char in[2000];
    DWORD got = 0;
    const double t0 = NowMs();
    if (!ReadFile(line.h, in, asked, &got, nullptr) || got != 0) return -1;
    return NowMs() - t0;
}

Windows MeasureWindows(int pair, int statusReads, int blockReads) {
    RawLine line(DriverCom(pair));
    Windows w;
    if (line.h == INVALID_HANDLE_VALUE) return w;
    std::vector<double> status, block;
    for (int i = 0; i < statusReads; ++i) status.push_back(SilentRead(line, 1000, 255));
    for (int i = 0; i < blockReads; ++i) block.push_back(SilentRead(line, 4000, 2000));
    auto bad = [](const std::vector<double>& v) { return v.empty() || *std::min_element(v.begin(), v.end()) < 0; };
    if (bad(status) || bad(block)) return w;
    w.status = Mean(status);
    w.statusLow = *std::min_element(status.begin(), status.end());
    w.statusHigh = *std::max_element(status.begin(), status.end());
    w.block = Mean(block);
    w.blockLow = *std::min_element(block.begin(), block.end());
    w.blockHigh = *std::max_element(block.begin(), block.end());
    return w;
}

// --- the simulators -------------------------------------------------------------

std::vector<HANDLE> StartSimulators(int count, const std::string& modelFile, int seconds, int pollMs, bool pace,
                                    const std::string& extra = "") {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string dir(self, n);
    dir = dir.substr(0, dir.find_last_of("\\/"));
    std::vector<HANDLE> processes;
    for (int i = 0; i < count; ++i) {
        std::string command = "\"" + dir + "\\sksim.exe\" --quiet --port " + PeerCom(i) + " --model \"" + modelFile +
                              "\" --seconds " + std::to_string(seconds) + " --poll-ms " + std::to_string(pollMs) +
                              (pace ? " --pace" : "") + extra;
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            fprintf(stderr, "skbench: cannot start %s (error %lu)\n", command.c_str(), GetLastError());
            continue;
        }
        CloseHandle(process.hThread);
        processes.push_back(process.hProcess);
    }
    return processes;
}

void Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }


// --- the driver's read modes ------------------------------------------------------

// What SK5820.ini says for a run: the version 01.00 timing (every answer
// waits its window), the default (a single answer ends with its frame), and
// the fast one (block answers end after a quiet gap too).
enum class Mode { Window, Default, Fast };

const char* ModeName(Mode mode) {
    switch (mode) {
        case Mode::Window: return "answer_end = window, block_answer_end = window";
        case Mode::Default: return "answer_end = frame, block_answer_end = window (the defaults)";
        default: return "answer_end = frame, block_answer_end = quiet (300 ms)";
    }
}

// The mode's settings file, named to the driver by SK5820_INI; each channel
// reads it at its restart (which also forgets the values it reported).
// `confirm` false adds confirm_changes = 0: a changed value is taken from
// one answer.
bool UseMode(Mode mode, Channel* channels, int count, bool confirm = true) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "skbench-mode." + std::to_string(GetCurrentProcessId()) + ".ini";
    std::ofstream(file, std::ios::binary) << "[default]\r\nanswer_end = " << (mode == Mode::Window ? "window" : "frame")
                                          << "\r\nblock_answer_end = " << (mode == Mode::Fast ? "quiet" : "window")
                                          << "\r\n" << (confirm ? "" : "confirm_changes = 0\r\n");
    if (!SetEnvironmentVariableA("SK5820_INI", file.c_str())) return false;
    for (int i = 0; i < count; ++i) {
        if (CallVpi(kWarmStart, channels[i].get(), nullptr) != 0) return false;
    }
    return true;
}

// A settings file of these lines for every port, named to the driver by
// SK5820_INI, read by channel 1 at its restart.
bool UseSettings(const std::string& lines, Channel& channel) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "skbench-line." + std::to_string(GetCurrentProcessId()) + ".ini";
    std::ofstream(file, std::ios::binary) << "[default]\r\n" << lines;
    return SetEnvironmentVariableA("SK5820_INI", file.c_str()) && CallVpi(kWarmStart, channel.get(), nullptr) == 0;
}

struct Bench {
    Options o;
    std::string modelFile;
    std::vector<HANDLE> sims;
    RoundTrips rt;
    Windows windows;
    int failures = 0;
    Channel channels[kMaxChannels];

    void StopSimulators() {
        for (HANDLE sim : sims) {
            TerminateProcess(sim, 0);  // our own children
            CloseHandle(sim);
        }
        sims.clear();
    }
};

struct Timed {
    std::vector<double> ms;
    double Mean() const { return ::Mean(ms); }
    double Median() const { return ::Median(ms); }
    double Min() const { return *std::min_element(ms.begin(), ms.end()); }
    double Max() const { return *std::max_element(ms.begin(), ms.end()); }
};

// `count` reads of the gate; wrong values and failed statuses are counted.
Timed TimeReads(Bench& b, int32_t code, Gate& gate, int count) {
    Timed t;
    for (int i = 0; i < count; ++i) {
        const double t0 = NowMs();
        const int32_t status = CallVpi(code, b.channels[0].get(), &gate.point);
        t.ms.push_back(NowMs() - t0);
        const bool right = code == kBlockRead ? gate.Word(2 * 31) == 0x10 + 32 : gate.Word(2) == kSystemStatus;
        if (status != 0 || !right) ++b.failures;
    }
    return t;
}

void PrintReads(const char* what, const Timed& t, double floor, const char* target, bool met) {
    Line("%s: %d reads, mean %.1f ms, median %.1f ms, min %.1f ms, max %.1f ms -> mean %.4f x floor, median "
         "%.4f x floor (target <= %s: %s)",
         what, static_cast<int>(t.ms.size()), t.Mean(), t.Median(), t.Min(), t.Max(), t.Mean() / floor,
         t.Median() / floor, target, Verdict(met));
}

bool MeasureLine(Bench& b) {
    b.rt = MeasureRoundTrips(0, b.o.rounds);
    const RoundTrips& rt = b.rt;
    Line("round trips (mean of %d, at random moments): announce %.2f ms, request 's' %.2f ms, end-of-session %.2f ms, "
         "goodbye %.2f ms (each between %.2f and %.2f ms)",
         b.o.rounds, rt.announce, rt.request, rt.eos, rt.goodbye, rt.low, rt.high);
    if (rt.announce < 0 || rt.request < 0 || rt.eos < 0 || rt.goodbye < 0) {
        Line("skbench: the round trips could not be measured");
        return false;
    }
    b.windows = MeasureWindows(0, 3, 2);
    const Windows& w = b.windows;
    Line("read windows (a read nothing answers, as Wine ends it): 1000 ms window %.1f ms (mean of 3, %.1f-%.1f), "
         "4000 ms window %.1f ms (mean of 2, %.1f-%.1f)",
         w.status, w.statusLow, w.statusHigh, w.block, w.blockLow, w.blockHigh);
    if (w.status < 0 || w.block < 0) {
        Line("skbench: the read windows could not be measured");
        return false;
    }
    return true;
}

// Single and block reads on one channel: every answer waiting its window
// (the timing of version 01.00) against that floor, then a single answer
// ended by its frame and a block answer ended by a quiet gap.
bool TimeTheModes(Bench& b, Gate& single, Gate& block) {
    const RoundTrips& rt = b.rt;
    const double close = (rt.eos + rt.goodbye) / 2;  // a session frame and its 10- or 11-byte answer
    const double floorSingle = rt.announce + 1000 + rt.eos + rt.goodbye + 50;
    const double floorBlock = rt.announce + 4000 + 3 * close;
    if (!UseMode(Mode::Window, b.channels, 1)) return false;
    const Timed singles = TimeReads(b, kSingleRead, single, b.o.singles);
    const Timed blocks = TimeReads(b, kBlockRead, block, b.o.blocks);
    Line("%s", "");
    Line("with %s:", ModeName(Mode::Window));
    Line("single read: floor %.1f ms = announce %.2f + status window 1000 + end-of-session %.2f + goodbye %.2f + pause 50",
         floorSingle, rt.announce, rt.eos, rt.goodbye);
    PrintReads("single read", singles, floorSingle, "1.01", singles.Mean() / floorSingle <= 1.01);
    Line("single read: %.1f ms over the floor; a silent 1000 ms window itself ran %.1f ms long (Wine's)",
         singles.Mean() - floorSingle, b.windows.status - 1000);
    Line("block read: floor %.1f ms = announce %.2f + block window 4000 + 3 session frames x %.2f", floorBlock,
         rt.announce, close);
    PrintReads("block read", blocks, floorBlock, "1.005", blocks.Mean() / floorBlock <= 1.005);
    Line("block read: %.1f ms over the floor; a silent 4000 ms window itself ran %.1f ms long (Wine's)",
         blocks.Mean() - floorBlock, b.windows.block - 4000);

    const double floorFast = rt.announce + rt.request + rt.eos + rt.goodbye + 50;
    if (!UseMode(Mode::Fast, b.channels, 1)) return false;
    const Timed fast = TimeReads(b, kSingleRead, single, b.o.singles);
    const Timed quiet = TimeReads(b, kBlockRead, block, b.o.blocks);
    Line("%s", "");
    Line("with %s:", ModeName(Mode::Fast));
    Line("fast single read: floor %.1f ms = announce %.2f + request %.2f + end-of-session %.2f + goodbye %.2f + pause 50 "
         "(round trips with the answers' bytes at the line's speed)",
         floorFast, rt.announce, rt.request, rt.eos, rt.goodbye);
    PrintReads("fast single read", fast, floorFast, "1.15", fast.Mean() / floorFast <= 1.15);
    Line("fast single read: %.1f x faster than the window's single read", singles.Mean() / fast.Mean());
    Line("block read, quiet: %d reads, mean %.1f ms, median %.1f ms, min %.1f ms, max %.1f ms (target <= 600 ms: %s)",
         static_cast<int>(quiet.ms.size()), quiet.Mean(), quiet.Median(), quiet.Min(), quiet.Max(),
         Verdict(quiet.Mean() <= 600));
    return true;
}

bool StartAllChannels(Bench& b) {
    std::vector<std::thread> starters;
    std::atomic<int> bad{0};
    for (int i = 1; i < kMaxChannels; ++i)
        starters.emplace_back([&b, &bad, i] {
            if (StartChannel(b.channels[i], i) != 0) ++bad;
        });
    for (std::thread& t : starters) t.join();
    if (bad.load() != 0) Line("skbench: %d channels did not start", bad.load());
    return bad.load() == 0;
}

// Idle channels: all 16 started, nothing asked of them. Returns the CPU
// rate of all 16 (ms of CPU per ms).
double MeasureIdle(Bench& b) {
    Sleep(1000);
    std::vector<double> catchStart;
    for (Channel& c : b.channels) catchStart.push_back(ThreadCpuMs(c.get()->catchThread));
    const double idleCpu0 = ProcessCpuMs(), idleServer0 = WineServerCpuMs(), idleWall0 = NowMs();
    Sleep(static_cast<DWORD>(b.o.idleSeconds) * 1000);
    const double idleWall = NowMs() - idleWall0;
    const double idleCpu = ProcessCpuMs() - idleCpu0;
    const double idleServer = idleServer0 >= 0 ? WineServerCpuMs() - idleServer0 : -1;
    double catchSum = 0;
    for (int i = 0; i < kMaxChannels; ++i)
        catchSum += ThreadCpuMs(b.channels[i].get()->catchThread) - catchStart[static_cast<size_t>(i)];
    const double perChannel = idleCpu / idleWall / kMaxChannels * 100;
    const double perCatch = catchSum / idleWall / kMaxChannels * 100;
    Line("%s", "");
    Line("idle: %d started channels for %.1f s: process CPU %.1f ms = %.4f %% of a core per channel (target <= 0.1 %%: %s); "
         "catch threads alone %.4f %% per channel",
         kMaxChannels, idleWall / 1000, idleCpu, perChannel, Verdict(perChannel <= 0.1), perCatch);
    if (idleServer >= 0) {
        Line("idle: the Wine server meanwhile %.1f ms = %.4f %% of a core per channel (the port-lock waits and releases "
             "are its calls under Wine)",
             idleServer, idleServer / idleWall / kMaxChannels * 100);
    }
    return idleCpu / idleWall;
}

// Reads on `n` channels at once for the scale time: the rate, and the CPU
// per read with the idle channels' share taken out (GetProcessTimes counts
// in 10 ms steps under Wine: many transactions make it exact).
double RunLoad(Bench& b, int n, int32_t code, const char* what, double idleRate, double* perTransaction) {
    std::atomic<int> reads{0}, bad{0};
    std::vector<double> ends(static_cast<size_t>(n), 0);
    const double cpu0 = ProcessCpuMs(), server0 = WineServerCpuMs();
    const double start = NowMs();
    const double deadline = start + b.o.scaleSeconds * 1000.0;
    std::vector<std::thread> hosts;
    for (int i = 0; i < n; ++i) {
        hosts.emplace_back([&, i] {
            Gate gate(code == kBlockRead ? "07_001001" : "01_", 32);
            if (!ParseGate(b.channels[i], gate, code == kBlockRead ? kBlockParser : kSingleParser)) ++bad;
            while (NowMs() < deadline) {
                const int32_t status = CallVpi(code, b.channels[i].get(), &gate.point);
                const bool right = code == kBlockRead ? gate.Word(2 * 31) == 0x10 + 32 : gate.Word(2) == kSystemStatus;
                if (status != 0 || !right) ++bad;
                ++reads;
            }
            ends[static_cast<size_t>(i)] = NowMs();
        });
    }
    for (std::thread& t : hosts) t.join();
    const double elapsed = *std::max_element(ends.begin(), ends.end()) - start;
    const double cpu = ProcessCpuMs() - cpu0;
    b.failures += bad.load();
    const double server = server0 >= 0 ? WineServerCpuMs() - server0 : -1;
    *perTransaction = (cpu - idleRate * elapsed) / reads.load();
    Line("%s: %2d channels, %4d reads in %.1f s = %.3f reads/s; CPU %.0f ms = %.2f ms per read (%.2f ms without the "
         "idle channels' share); Wine server %.0f ms",
         what, n, reads.load(), elapsed / 1000, reads.load() * 1000.0 / elapsed, cpu, cpu / reads.load(),
         *perTransaction, server);
    return reads.load() * 1000.0 / elapsed;
}

// Throughput with 1..16 channels and the CPU per transaction, in the
// version 01.00 timing (each read waits its window, so 16 channels should
// do 16 times the reads of one), then with the defaults at 16 channels.
bool MeasureLoad(Bench& b, double idleRate) {
    Line("%s", "");
    double oneRate = 0, singleCpuPer = 0, blockCpuPer = 0, per = 0;
    for (int n : {1, 2, 4, 8, 16}) {
        const double rate = RunLoad(b, n, kSingleRead, "throughput", idleRate, &per);
        if (n == 1) oneRate = rate;
        if (n == 16) singleCpuPer = per;
        Line("throughput: %2d channels = %.2f x one channel%s", n, rate / oneRate,
             n == 16 ? (rate / oneRate >= 14 ? " (target >= 14: met)" : " (target >= 14: MISSED)") : "");
    }
    RunLoad(b, 16, kBlockRead, "block load", idleRate, &blockCpuPer);
    Line("%s", "");
    Line("CPU per transaction (GetProcessTimes, 16 channels at once, idle share taken out): single read %.2f ms, block "
         "read %.2f ms (target <= 2 ms: %s)",
         singleCpuPer, blockCpuPer, Verdict(std::max(singleCpuPer, blockCpuPer) <= 2.0));
    if (!UseMode(Mode::Default, b.channels, kMaxChannels)) return false;
    RunLoad(b, 16, kSingleRead, "fast load", idleRate, &per);
    return true;
}

// One poll of the bundled model's status gates, as a host cycles through
// them: system and trouble status, every zone and group status, each
// loop's block. Returns the cycle's time; failed statuses are counted.
double PollOnce(Bench& b, std::vector<Gate*>& gates) {
    const double t0 = NowMs();
    for (Gate* gate : gates) {
        const bool block = gate->point.count > 1;
        if (CallVpi(block ? kBlockRead : kSingleRead, b.channels[0].get(), &gate->point) != 0) ++b.failures;
    }
    return NowMs() - t0;
}

// 7. A dead line: the simulator answers nothing for its first kDeadFor
// seconds. With line_down_after = 0 every read waits out its seven
// announces (as before the line could be down); with the defaults the line
// goes down after three requests, its reads fail at once but one every
// line_retry_s; once the gateway answers again, the line is up with the
// next tried read.
constexpr int kDeadFor = 150;

bool DeadLine(Bench& b, const std::string& dir, std::vector<Gate*>& gates) {
    b.StopSimulators();
    const double simStart = NowMs();
    b.sims = StartSimulators(1, dir + "\\models\\panel.json", kDeadFor + 120, b.o.simPollMs, b.o.pace != 0,
                             " --dead-after 0 --dead-for " + std::to_string(kDeadFor));
    if (b.sims.size() != 1) return false;
    Sleep(2000);
    Channel& channel = b.channels[0];
    Line("%s", "");
    Line("dead line: the simulator answers nothing for its first %d s, then answers again", kDeadFor);
    if (!UseSettings("line_down_after = 0\r\n", channel)) return false;
    std::vector<double> tried;
    for (int i = 0; i < 2; ++i) {
        const double t0 = NowMs();
        CallVpi(kSingleRead, channel.get(), &gates[0]->point);
        tried.push_back(NowMs() - t0);
    }
    const double before = Mean(tried) * static_cast<double>(gates.size());
    Line("dead line, line_down_after = 0: a read %.2f s (mean of 2), so a poll cycle of the %d gates %.1f s",
         Mean(tried) / 1000, static_cast<int>(gates.size()), before / 1000);
    if (!UseSettings("", channel)) return false;
    // A read failing at once takes microseconds: a host polling in a tight
    // loop makes millions of them, so they are summed, not kept.
    struct Sum {
        uint64_t n = 0, over1 = 0, over50 = 0;  // and how many took over 1 ms, over 50 ms
        double total = 0, longest = 0;
        void Add(double ms) {
            ++n;
            total += ms;
            longest = std::max(longest, ms);
            over1 += ms > 1 ? 1 : 0;
            over50 += ms > 50 ? 1 : 0;
        }
        double Mean() const { return n != 0 ? total / static_cast<double>(n) : 0; }
    } atOnce, cycle;
    std::vector<double> cycles;  // the first 100,000 cycles, for the median
    double wentDown = 0, cameUp = 0, firstGood = 0;
    const double revival = simStart + kDeadFor * 1000.0;
    while (firstGood == 0 && NowMs() < revival + 60000) {
        const double c0 = NowMs();
        for (Gate* gate : gates) {
            const double t0 = NowMs();
            const bool down = channel.get()->health.down == 1;
            const int32_t status = CallVpi(gate->point.count > 1 ? kBlockRead : kSingleRead, channel.get(), &gate->point);
            const double ms = NowMs() - t0;
            if (down && ms < 1000) atOnce.Add(ms);
            if (!down && channel.get()->health.down == 1 && wentDown == 0) wentDown = NowMs();
            if (down && channel.get()->health.down != 1 && cameUp == 0) cameUp = NowMs();
            if (status == 0 && NowMs() > revival && firstGood == 0) firstGood = NowMs();
        }
        if (wentDown != 0 && cameUp == 0) {
            cycle.Add(NowMs() - c0);
            if (cycles.size() < 100000) cycles.push_back(NowMs() - c0);
        }
    }
    if (wentDown == 0 || cameUp == 0 || atOnce.n == 0 || cycle.n == 0) {
        Line("dead line: the line did not go down and up again (down %s, up %s)", wentDown != 0 ? "yes" : "no",
             cameUp != 0 ? "yes" : "no");
        return false;
    }
    std::sort(cycles.begin(), cycles.end());
    const double meanCycle = cycle.Mean();
    Line("dead line, the defaults: down after %.1f s; then %llu reads failed at once, mean %.4f ms, max %.2f ms "
         "(target <= 50 ms: %s); %llu took over 1 ms, %llu over 50 ms",
         (wentDown - (revival - kDeadFor * 1000.0)) / 1000, static_cast<unsigned long long>(atOnce.n), atOnce.Mean(),
         atOnce.longest, Verdict(atOnce.longest <= 50), static_cast<unsigned long long>(atOnce.over1),
         static_cast<unsigned long long>(atOnce.over50));
    Line("dead line, the defaults: %llu poll cycles while down, median %.3f s, mean %.3f s, max %.1f s (a cycle with "
         "a tried read); mean %.4f of line_down_after = 0's cycle (target <= 0.1: %s)",
         static_cast<unsigned long long>(cycle.n), cycles[cycles.size() / 2] / 1000, meanCycle / 1000,
         cycle.longest / 1000, meanCycle / before, Verdict(meanCycle / before <= 0.1));
    Line("dead line, the defaults: the gateway answered again at %.1f s; the line was up %.1f s later, the first good "
         "read %.1f s later (target <= line_retry_s + one read, 10 s + 14 s: %s)",
         kDeadFor * 1.0, (cameUp - revival) / 1000, (firstGood - revival) / 1000,
         Verdict((firstGood - revival) <= 24000));
    return true;
}

// 8. Alarm latency: the simulator's timed events put points of loop 1 into
// alarm and back, 50 of them, spaced by 0.37 of a poll cycle so that they
// fall at every phase of it; the host polls the bundled model's gates
// cycle after cycle, and an event's latency is from its time on the
// simulator's clock to the end of the first read that reports it. The
// simulator's clock is found first: its system status changes at 3 s, and
// the host reads it in a loop until it does (within one single read).
constexpr int kAlarmEvents = 50;
constexpr uint16_t kAlarmStatus = 0x0081, kClockStatus = 0x5A5A;

struct AlarmEvent {
    double atMs;
    int point;  // or zone
    uint16_t value;
    double latencyMs = -1;
};

// A simulator of the bundled model that runs these timed events (after the
// clock's own at 3 s) and lives well past the last of them, in place of the
// one running. `file` gets the events file's name, for its removal.
bool StartEventSimulator(Bench& b, const std::string& dir, const std::string& events, double lastMs, double cycleMs,
                         std::string* file) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    *file = std::string(temp) + "skbench-events." + std::to_string(GetCurrentProcessId()) + ".txt";
    {
        std::ofstream out(*file, std::ios::binary);
        out << "3.000 system 0 0x" << std::hex << kClockStatus << std::dec << "\n" << events;
    }
    const int seconds = static_cast<int>(lastMs / 1000) + 60 + static_cast<int>(3 * cycleMs / 1000);
    b.StopSimulators();
    b.sims = StartSimulators(1, dir + "\\models\\panel.json", seconds, b.o.simPollMs, b.o.pace != 0,
                             " --events \"" + *file + "\"");
    return b.sims.size() == 1;
}

// The simulator's clock, NowMs() at its start: 3 s after it its system
// status changes, and the host reads it in a loop until it does (within one
// single read). 0 when the change never showed.
double FindSimulatorClock(Bench& b, Gate* system) {
    double clockZero = 0;
    const double giveUp = NowMs() + 15000;
    while (clockZero == 0 && NowMs() < giveUp) {
        if (CallVpi(kSingleRead, b.channels[0].get(), &system->point) == 0 && system->Word(2) == kClockStatus) {
            clockZero = NowMs() - 3000;
        }
        Sleep(1);
    }
    if (clockZero == 0) Line("alarm latency: the simulator's clock event never showed");
    return clockZero;
}

bool AlarmLatency(Bench& b, const std::string& dir, std::vector<Gate*>& gates, Mode mode, double cycleMs,
                  double* median, double* longest) {
    Gate* loop = gates[gates.size() - 2];  // 07_001001: points 1 to 23
    Channel& channel = b.channels[0];
    std::vector<uint16_t> normal(24, 0);
    if (CallVpi(kBlockRead, channel.get(), &loop->point) != 0) return false;
    for (int p = 1; p <= 23; ++p) normal[static_cast<size_t>(p)] = loop->Word(2 * static_cast<size_t>(p - 1));
    // The points the model has (a point it lacks reads 0xFFFF, not installed).
    std::vector<int> points;
    for (int p = 1; p <= 23; ++p) {
        if (normal[static_cast<size_t>(p)] != 0xFFFF) points.push_back(p);
    }
    if (points.empty()) return false;
    std::vector<AlarmEvent> events;
    const double spacing = 0.37 * cycleMs + 50;
    std::string text;
    {
        std::vector<bool> inAlarm(24, false);
        for (int i = 0; i < kAlarmEvents; ++i) {
            AlarmEvent e;
            e.atMs = 6000 + i * spacing;
            e.point = points[static_cast<size_t>(i) % points.size()];
            inAlarm[static_cast<size_t>(e.point)] = !inAlarm[static_cast<size_t>(e.point)];
            e.value = inAlarm[static_cast<size_t>(e.point)] ? kAlarmStatus : normal[static_cast<size_t>(e.point)];
            char line[64];
            snprintf(line, sizeof line, "%.3f point 1-%03d 0x%04X\n", e.atMs / 1000, e.point, e.value);
            text += line;
            events.push_back(e);
        }
    }
    std::string file;
    if (!StartEventSimulator(b, dir, text, events.back().atMs, cycleMs, &file)) return false;
    const double clockZero = FindSimulatorClock(b, gates[0]);
    if (clockZero == 0) return false;
    int seen = 0;
    double longestRead = 0;
    const double end = clockZero + events.back().atMs + 3 * cycleMs + 10000;
    while (seen < kAlarmEvents && NowMs() < end) {
        for (Gate* gate : gates) {
            const double t0 = NowMs();
            const bool block = gate->point.count > 1;
            const int32_t status = CallVpi(block ? kBlockRead : kSingleRead, channel.get(), &gate->point);
            const double now = NowMs();
            longestRead = std::max(longestRead, now - t0);
            if (gate != loop || status != 0) continue;
            for (AlarmEvent& e : events) {
                if (e.latencyMs >= 0 || clockZero + e.atMs > now) continue;
                if (loop->Word(2 * static_cast<size_t>(e.point - 1)) != e.value) continue;
                e.latencyMs = std::max(0.0, now - (clockZero + e.atMs));
                ++seen;
            }
        }
    }
    DeleteFileA(file.c_str());
    std::vector<double> latencies;
    for (const AlarmEvent& e : events) {
        if (e.latencyMs >= 0) latencies.push_back(e.latencyMs);
    }
    if (latencies.empty()) return false;
    std::sort(latencies.begin(), latencies.end());
    *median = latencies[latencies.size() / 2];
    *longest = latencies.back();
    const double bound = cycleMs + longestRead;
    Line("alarm latency with %s: %d of %d events seen, median %.2f s, max %.2f s; poll cycle %.2f s, its longest "
         "read %.2f s (target: max < one cycle + one read, %.2f s: %s)",
         ModeName(mode), static_cast<int>(latencies.size()), kAlarmEvents, *median / 1000, *longest / 1000,
         cycleMs / 1000, longestRead / 1000, bound / 1000,
         Verdict(static_cast<int>(latencies.size()) == kAlarmEvents && *longest < bound));
    return true;
}

// What confirming a change costs its latency: zones 1 to 8, single gates of
// the poll, go into alarm and back on the simulator's clock while the host
// polls in the short cycle (block_answer_end = quiet), once with changes
// confirmed and once without. A zone's first read of a new value runs one
// session more when they are confirmed.
//   The host polls on a timer, as many do: a cycle starts every period (a
// cycle's reads without confirming, and a fifth of that and 300 ms more for
// a confirming read and the machine's noise) at the same moments of the
// simulator's clock in both runs, so each event meets its zone's read at the
// same point of the cycle in both, and the runs differ only in what
// confirming does. The events are 1.37 periods apart, each alone in its
// cycle, as on a panel: a latency holds the change's own confirming read and
// no other's, and the events fall at every phase of the cycle (those of the
// point events).
// Both runs find the simulator's clock with one-answer reads (a confirmed
// read would end a session later and make every latency look shorter),
// restart the channel with the run's settings (which forgets the values it
// reported), read every gate once, so that the steady values are known
// again, and start the first cycle at the same moment.
struct ZoneRun {
    std::vector<double> latencies;  // per event, -1 unseen
    int seen = 0;
    double median = -1, longest = -1;
    double periodMs = 0, busyMs = 0, longestRead = 0;  // busyMs: a cycle's reads, the mean
    int late = 0;                                       // cycles that started after their time
    double lateMs = 0;                                  // by how much at most
    double singleMs = 0;                                // the mean single read of the poll
    int singles = 0;
    uint64_t confirmed = 0;  // reads whose new value a second answer confirmed
};

bool ZoneLatency(Bench& b, const std::string& dir, std::vector<Gate*>& gates, const std::vector<uint16_t>& normal,
                 double cycleMs, bool confirm, ZoneRun& run) {
    Channel& channel = b.channels[0];
    std::vector<Gate*> zones(9, nullptr);  // by zone number
    for (Gate* gate : gates) {
        int zone = 0;
        if (sscanf(gate->address.c_str(), "03_%d", &zone) == 1 && zone >= 1 && zone <= 8)
            zones[static_cast<size_t>(zone)] = gate;
    }
    if (std::count(zones.begin() + 1, zones.end(), nullptr) != 0 || normal.size() != zones.size()) return false;
    run.periodMs = 1.2 * cycleMs + 300;
    const double pollFromMs = 3000 + 2 * cycleMs + 2000;  // the priming read of every gate is over by then
    std::vector<AlarmEvent> events;
    std::string text;
    std::vector<bool> inAlarm(9, false);
    for (int i = 0; i < kAlarmEvents; ++i) {
        AlarmEvent e;
        e.atMs = pollFromMs + 1000 + i * 1.37 * run.periodMs;
        e.point = 1 + i % 8;
        const size_t z = static_cast<size_t>(e.point);
        inAlarm[z] = !inAlarm[z];
        e.value = inAlarm[z] ? kAlarmStatus : normal[z];
        char line[64];
        snprintf(line, sizeof line, "%.3f zone %d 0x%04X\n", e.atMs / 1000, e.point, e.value);
        text += line;
        events.push_back(e);
    }
    std::string file;
    if (!UseMode(Mode::Fast, b.channels, 1, false) ||
        !StartEventSimulator(b, dir, text, events.back().atMs, cycleMs, &file)) {
        return false;
    }
    const double clockZero = FindSimulatorClock(b, gates[0]);
    if (clockZero == 0 || !UseMode(Mode::Fast, b.channels, 1, confirm)) return false;
    PollOnce(b, gates);
    if (NowMs() > clockZero + pollFromMs) {
        Line("alarm latency of zones: reading every gate once ran past %.1f s on the simulator's clock",
             pollFromMs / 1000);
        return false;
    }
    const uint64_t confirmed0 = channel.get()->health.total.readsConfirmed;
    std::vector<double> busy;
    double singleSum = 0;
    const double end = clockZero + events.back().atMs + 3 * run.periodMs + 10000;
    for (int k = 0; run.seen < kAlarmEvents && NowMs() < end; ++k) {
        const double due = clockZero + pollFromMs + k * run.periodMs;
        const double c0 = NowMs();
        if (c0 < due) {
            Sleep(static_cast<DWORD>(due - c0));
        } else if (k > 0) {
            ++run.late;
            run.lateMs = std::max(run.lateMs, c0 - due);
        }
        const double started = NowMs();
        for (Gate* gate : gates) {
            const double t0 = NowMs();
            const bool block = gate->point.count > 1;
            const int32_t status = CallVpi(block ? kBlockRead : kSingleRead, channel.get(), &gate->point);
            const double now = NowMs();
            run.longestRead = std::max(run.longestRead, now - t0);
            if (!block) {
                singleSum += now - t0;
                ++run.singles;
            }
            if (status != 0) continue;
            for (AlarmEvent& e : events) {
                if (e.latencyMs >= 0 || zones[static_cast<size_t>(e.point)] != gate || clockZero + e.atMs > now) continue;
                if (gate->Word(2) != e.value) continue;
                e.latencyMs = std::max(0.0, now - (clockZero + e.atMs));
                ++run.seen;
            }
        }
        busy.push_back(NowMs() - started);
    }
    DeleteFileA(file.c_str());
    run.confirmed = channel.get()->health.total.readsConfirmed - confirmed0;
    std::vector<double> latencies;
    for (const AlarmEvent& e : events) {
        run.latencies.push_back(e.latencyMs);
        if (e.latencyMs >= 0) latencies.push_back(e.latencyMs);
    }
    if (latencies.empty() || run.singles == 0) return false;
    std::sort(latencies.begin(), latencies.end());
    run.median = latencies[latencies.size() / 2];
    run.longest = latencies.back();
    run.busyMs = Mean(busy);
    run.singleMs = singleSum / run.singles;
    char late[64] = "none started late";
    if (run.late != 0) snprintf(late, sizeof late, "%d started late, by up to %.0f ms", run.late, run.lateMs);
    Line("alarm latency of zones with %s, changes %s: %d of %d events seen, median %.2f s, max %.2f s; poll cycle "
         "%.2f s, its longest read %.2f s; a cycle every %.2f s, %s; %llu reads confirmed a new value with a second "
         "answer",
         ModeName(Mode::Fast), confirm ? "confirmed" : "not confirmed", run.seen, kAlarmEvents, run.median / 1000,
         run.longest / 1000, run.busyMs / 1000, run.longestRead / 1000, run.periodMs / 1000, late,
         static_cast<unsigned long long>(run.confirmed));
    return true;
}

// Both zone runs, and what confirming cost: each event's latency with
// confirming less its latency without, at the median of the events, against
// one single read (the mean of the run without confirming) plus 20 ms for
// the machine's noise. The runs' own median and max are shown beside it
// without a target: each is one event's, and an event that comes as its
// zone's request goes out is reported by that read in one run and by the
// next cycle's in the other (counted: the events whose latencies lie half a
// period or more apart).
bool ZoneLatencies(Bench& b, const std::string& dir, std::vector<Gate*>& gates, const std::vector<uint16_t>& normal) {
    // The cycle both runs are timed by: a steady one (every value known), without confirming.
    if (!UseMode(Mode::Fast, b.channels, 1, false)) return false;
    PollOnce(b, gates);
    const double cycleMs = PollOnce(b, gates);
    ZoneRun confirmed, unconfirmed;
    if (!ZoneLatency(b, dir, gates, normal, cycleMs, true, confirmed) ||
        !ZoneLatency(b, dir, gates, normal, cycleMs, false, unconfirmed)) {
        return false;
    }
    std::vector<double> added;  // per event seen in both
    int cycleApart = 0;
    for (size_t i = 0; i < confirmed.latencies.size() && i < unconfirmed.latencies.size(); ++i) {
        if (confirmed.latencies[i] < 0 || unconfirmed.latencies[i] < 0) continue;
        added.push_back(confirmed.latencies[i] - unconfirmed.latencies[i]);
        if (std::abs(added.back()) >= confirmed.periodMs / 2) ++cycleApart;
    }
    const double bound = unconfirmed.singleMs + 20;
    const bool all = confirmed.seen == kAlarmEvents && unconfirmed.seen == kAlarmEvents;
    Line("alarm latency of zones: confirming a change added %.0f ms to an event's latency (the median of %d events, "
         "each against itself), %.0f ms to the median and %.0f ms to the max; one single read takes %.0f ms, the mean "
         "of %d without confirming; events reported a cycle apart in the two runs: %d, so the median and the max "
         "have no target (target: an event's latency grows by no more than one single read plus 20 ms, %.0f ms, "
         "with all events seen: %s)",
         Median(added), static_cast<int>(added.size()), confirmed.median - unconfirmed.median,
         confirmed.longest - unconfirmed.longest, unconfirmed.singleMs, unconfirmed.singles, cycleApart, bound,
         Verdict(all && !added.empty() && Median(added) <= bound));
    return true;
}

bool PollCycles(Bench& b, const std::string& dir) {
    b.StopSimulators();
    b.sims = StartSimulators(1, dir + "\\models\\panel.json", 60 + b.o.cycles * 45, b.o.simPollMs, b.o.pace != 0);
    if (b.sims.size() != 1) return false;
    Sleep(2000);
    static const char* singles[] = {"01_", "02_", "03_001", "03_002", "03_003", "03_004", "03_005", "03_006",
                                    "03_007", "03_008", "05_001", "05_002", "05_003", "05_004", "05_005"};
    std::vector<std::unique_ptr<Gate>> owned;
    std::vector<Gate*> gates;
    for (const char* address : singles) owned.push_back(std::make_unique<Gate>(address, 1));
    owned.push_back(std::make_unique<Gate>("07_001001", 23));
    owned.push_back(std::make_unique<Gate>("07_002001", 5));
    for (auto& gate : owned) {
        if (!ParseGate(b.channels[0], *gate, gate->point.count > 1 ? kBlockParser : kSingleParser)) return false;
        gates.push_back(gate.get());
    }
    if (b.o.deadLineOnly != 0) return DeadLine(b, dir, gates);
    // The zones' own values, before any event: what a zone in alarm goes back to.
    std::vector<uint16_t> zoneNormal(9, 0);
    for (int z = 1; z <= 8; ++z) {
        Gate* zone = gates[static_cast<size_t>(z + 1)];  // 03_001 to 03_008
        if (CallVpi(kSingleRead, b.channels[0].get(), &zone->point) != 0) ++b.failures;
        zoneNormal[static_cast<size_t>(z)] = zone->Word(2);
    }
    const bool latencyOnly = b.o.latencyOnly != 0;  // no window mode: its cycle is not polled in
    Line("%s", "");
    Line("poll cycle of the bundled model's status gates: %d single reads (01, 02, zones 1-8, groups 1-5) and %d block "
         "reads (loops 1 and 2), %d cycles per mode",
         15, 2, b.o.cycles);
    double cycle[3] = {0, 0, 0};
    for (Mode mode : {Mode::Window, Mode::Default, Mode::Fast}) {
        if (latencyOnly && mode == Mode::Window) continue;
        if (!UseMode(mode, b.channels, 1)) return false;
        // The restart forgot every value: the first cycle confirms each one. Not timed.
        PollOnce(b, gates);
        std::vector<double> times;
        for (int i = 0; i < b.o.cycles; ++i) times.push_back(PollOnce(b, gates));
        cycle[static_cast<int>(mode)] = Mean(times);
        if (latencyOnly) {
            Line("poll cycle with %s: mean %.2f s", ModeName(mode), Mean(times) / 1000);
        } else {
            Line("poll cycle with %s: mean %.2f s (%.2f x faster than the window's)", ModeName(mode),
                 Mean(times) / 1000, cycle[0] / Mean(times));
        }
    }
    if (!latencyOnly) {
        Line("poll cycle: the fast settings %.2f x faster than version 01.00's timing (target >= 8: %s); the defaults "
             "%.2f x",
             cycle[0] / cycle[2], Verdict(cycle[0] / cycle[2] >= 8), cycle[0] / cycle[1]);
    }
    Line("%s", "");
    double median = 0, longest = 0;
    for (Mode mode : {Mode::Default, Mode::Fast}) {
        if (!UseMode(mode, b.channels, 1)) return false;
        if (!AlarmLatency(b, dir, gates, mode, cycle[static_cast<int>(mode)], &median, &longest)) return false;
    }
    if (!ZoneLatencies(b, dir, gates, zoneNormal)) return false;
    Line("alarm latency: fire codes ask for an alarm shown within 10 s and a loss of communication within 200 s");
    return latencyOnly || DeadLine(b, dir, gates);
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const int value = atoi(argv[i + 1]);
        int* field = key == "--singles"          ? &o.singles
                     : key == "--blocks"         ? &o.blocks
                     : key == "--idle-seconds"   ? &o.idleSeconds
                     : key == "--scale-seconds"  ? &o.scaleSeconds
                     : key == "--rounds"         ? &o.rounds
                     : key == "--turnaround-ms"  ? &o.turnaroundMs
                     : key == "--sim-poll-ms"    ? &o.simPollMs
                     : key == "--line-only"      ? &o.lineOnly
                     : key == "--pace"           ? &o.pace
                     : key == "--cycles"         ? &o.cycles
                     : key == "--modes-only"     ? &o.modesOnly
                     : key == "--dead-line-only" ? &o.deadLineOnly
                     : key == "--latency-only"   ? &o.latencyOnly
                                                 : nullptr;
        if (field == nullptr) {
            fprintf(stderr, "skbench: unknown option %s\n", key.c_str());
            return false;
        }
        *field = value;
    }
    return true;
}

std::string OwnFolder() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string dir(self, n);
    return dir.substr(0, dir.find_last_of("\\/"));
}

// Everything after the line's own figures, on the started channels.
bool RunDriver(Bench& b) {
    if (StartChannel(b.channels[0], 0) != 0) {
        Line("skbench: channel 1 does not start");
        return false;
    }
    Gate single("01_", 0), block("07_001001", 32);
    if (!ParseGate(b.channels[0], single, kSingleParser) || !ParseGate(b.channels[0], block, kBlockParser)) return false;
    CallVpi(kSingleRead, b.channels[0].get(), &single.point);  // warm-up, not counted
    const bool onePart = b.o.deadLineOnly != 0 || b.o.latencyOnly != 0;
    if (!onePart && !TimeTheModes(b, single, block)) return false;
    const int started = b.o.modesOnly != 0 || onePart ? 1 : kMaxChannels;
    if (b.o.modesOnly == 0 && !onePart) {
        if (!StartAllChannels(b) || !UseMode(Mode::Window, b.channels, kMaxChannels)) return false;
        const double idleRate = MeasureIdle(b);
        if (!MeasureLoad(b, idleRate)) return false;
    }
    if (!PollCycles(b, OwnFolder())) return false;
    std::vector<std::thread> enders;
    for (int i = 0; i < started; ++i) enders.emplace_back([&b, i] { CallVpi(kEndVpi, b.channels[i].get(), nullptr); });
    for (std::thread& t : enders) t.join();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    static Bench b;
    if (!ParseOptions(argc, argv, b.o)) return 2;
    if (ComBase() == 0) {
        fprintf(stderr, "skbench: no pty pairs (SK_COM_BASE); run it through scripts/bench.sh\n");
        return 2;
    }
    HMODULE driver = LoadLibraryA("SK5820.dll");
    g_vpi = driver != nullptr ? reinterpret_cast<VpiMainFn>(reinterpret_cast<void*>(GetProcAddress(driver, "VpiMain")))
                              : nullptr;
    if (g_vpi == nullptr) {
        fprintf(stderr, "skbench: cannot load SK5820.dll / VpiMain\n");
        return 2;
    }
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    b.modelFile = std::string(temp) + "skbench-model." + std::to_string(GetCurrentProcessId()) + ".json";
    std::ofstream(b.modelFile, std::ios::binary) << ModelJson(b.o.turnaroundMs);
    const int runSeconds = 180 + b.o.singles * 4 + b.o.blocks * 10 + b.o.idleSeconds + 6 * (b.o.scaleSeconds + 10);
    const int simulators =
        b.o.lineOnly != 0 || b.o.modesOnly != 0 || b.o.deadLineOnly != 0 || b.o.latencyOnly != 0 ? 1 : kMaxChannels;
    b.sims = StartSimulators(simulators, b.modelFile, runSeconds, b.o.simPollMs, b.o.pace != 0);
    if (static_cast<int>(b.sims.size()) != simulators) {
        b.StopSimulators();
        return 2;
    }
    Sleep(2000);  // the simulators open their ports
    Line("skbench: SK5820.dll against %d sksim.exe processes on pty pairs (COM%d..); gateway turn-around %d ms; "
         "simulators %s%s",
         simulators, ComBase(), b.o.turnaroundMs,
         b.o.simPollMs != 0 ? ("look at the line every " + std::to_string(b.o.simPollMs) + " ms").c_str()
                            : "answer as bytes arrive",
         b.o.pace != 0 ? ", their bytes paced at 19200 baud" : "");
    const bool ran = MeasureLine(b) && (b.o.lineOnly != 0 || RunDriver(b));
    b.StopSimulators();
    DeleteFileA(b.modelFile.c_str());
    if (!ran) return 1;
    if (b.o.lineOnly != 0) return 0;
    Line("%s", "");
    Line("requests that failed or read a wrong value: %d", b.failures);
    return b.failures == 0 ? 0 : 1;
}
