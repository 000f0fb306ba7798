// The simulator on a real (or virtual) COM port: one thread that reads the
// line, feeds the engine, and writes its answers when they are due. This is
// the library `sk_sim` behind sim_api.h.
//
// The thread waits on the line only until the engine's next answer is due: a
// read ends 1 ms after the last byte that came (or when that time comes), so
// an answer goes out its turn-around after the frame's last byte, plus that
// millisecond, not at the next look at the port. With SimOptions::pollMs the thread instead looks
// at the port every pollMs (the simulator's first way of working).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "tools/sim/engine.h"
#include "tools/sim/sim_api.h"
#include "tools/sim/timeline.h"

namespace sksim {

namespace {

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t HostLocalSeconds() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    CivilTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    return CivilToSeconds(t);
}

std::string PortPath(const std::string& port) {
    return port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
}

// Longest wait on the line while nothing is due: the engine notices a stalled
// frame and a session time-out, and the thread a stop, within this.
constexpr DWORD kIdleWaitMs = 20;
// A read ends this long after the last byte that came (a byte takes 0.5 ms
// at 19200 baud; a read that ends inside a frame only means one more read).
constexpr DWORD kByteGapMs = 1;

// Reads that end kByteGapMs after the last byte, or after waitMs with
// nothing. (Wine carries out the "return at once when a byte comes" form,
// MAXDWORD/MAXDWORD/N, as a plain N ms read, so the gap is what ends it.)
bool SetReadWait(HANDLE h, DWORD waitMs) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = kByteGapMs;
    t.ReadTotalTimeoutConstant = waitMs;
    t.WriteTotalTimeoutConstant = 2000;
    return SetCommTimeouts(h, &t) != FALSE;
}

// The first way of working: a read returns with what has arrived after
// pollMs (at once, on Windows, when bytes are waiting).
bool SetPollWait(HANDLE h, DWORD pollMs) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = pollMs;
    t.WriteTotalTimeoutConstant = 2000;
    return SetCommTimeouts(h, &t) != FALSE;
}

// Opens the port raw: 8 data bits, no parity, one stop bit, no flow control;
// reads as SetReadWait(kIdleWaitMs) sets them.
HANDLE OpenPort(const std::string& path, uint32_t baud, std::string* error) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + path + " (error " + std::to_string(GetLastError()) + ")";
        return h;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        *error = "GetCommState on " + path + " failed (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb)) {
        *error = "SetCommState on " + path + " failed (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    if (!SetReadWait(h, kIdleWaitMs)) {
        *error = "SetCommTimeouts on " + path + " failed (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return h;
}

bool ReadText(const std::string& file, std::string* text) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

// The trace's first line: where, how and what the simulator plays.
std::string StartNote(const SimOptions& options, const std::string& path) {
    std::string note = "gateway simulator on " + path + " at " + std::to_string(options.baud) + " baud 8N1, ";
    note += options.pollMs != 0 ? "looking at the line every " + std::to_string(options.pollMs) + " ms"
                                : std::string("answering as bytes arrive");
    if (options.pace) note += ", bytes paced at the baud rate";
    if (options.frameGapMs != 0) note += ", " + std::to_string(options.frameGapMs) + " ms between frames";
    if (options.faults.noiseBer > 0) {
        char text[64];
        snprintf(text, sizeof text, ", noise: bit error rate %g, seed %u", options.faults.noiseBer,
                 options.faults.noiseSeed);
        note += text;
    }
    if (options.faults.weakCrcRate > 0) {
        char text[64];
        snprintf(text, sizeof text, ", weak CRC: share %g, seed %u", options.faults.weakCrcRate,
                 options.faults.weakCrcSeed);
        note += text;
    }
    if (options.deadLine.on) note += ", line " + DescribeDeadLine(options.deadLine);
    if (!options.events.empty()) note += ", " + std::to_string(options.events.size()) + " timed events";
    return note + ", model " + (options.modelJson.empty() ? options.modelFile : std::string("(JSON text)"));
}

}  // namespace

struct Simulator {
    mutable std::mutex mu;
    std::unique_ptr<Engine> engine;
    std::deque<std::string> trace;
    size_t traceLimit = 20000;
    std::function<void(const std::string&)> onTrace;
    std::string path;
    uint32_t baud = 19200;
    HANDLE port = INVALID_HANDLE_VALUE;
    DWORD readWaitMs = 0;     // the port's read wait as set now (0: as OpenPort left it)
    uint32_t pollMs = 0;      // 0: wait for bytes or the next answer; else look every pollMs
    bool pace = false;        // bytes written at the line's own rate
    uint64_t reopenAtMs = 0;  // 0: stays closed
    std::atomic<bool> stop{false};
    std::thread thread;

    // Moves the engine's new trace lines into the kept trace (caller holds mu)
    // and returns them for the callback.
    std::vector<std::string> DrainTrace() {
        std::vector<std::string> lines = engine->TakeTrace();
        for (const std::string& line : lines) {
            trace.push_back(line);
            if (trace.size() > traceLimit) trace.pop_front();
        }
        return lines;
    }

    void Publish(const std::vector<std::string>& lines) {
        if (!onTrace) return;
        for (const std::string& line : lines) onTrace(line);
    }

    // How long the next read may wait: until the next answer is due, at most
    // kIdleWaitMs; 0 when one is due now (then no read).
    DWORD ReadWait() {
        if (pollMs != 0) return pollMs;
        uint64_t next;
        {
            std::lock_guard<std::mutex> lock(mu);
            next = engine->NextDueMs();
        }
        const uint64_t now = NowMs();
        if (next <= now) return 0;
        return static_cast<DWORD>(std::min<uint64_t>(next - now, kIdleWaitMs));
    }

    // One pass with the port open: reads, feeds the engine, takes what is due.
    std::vector<OutChunk> ServeLine(std::vector<std::string>* lines, uint8_t* buffer, DWORD size) {
        std::vector<OutChunk> due;
        DWORD got = 0;
        const DWORD wait = ReadWait();
        if (wait > 0) {
            if (wait != readWaitMs && (pollMs != 0 ? SetPollWait(port, wait) : SetReadWait(port, wait))) {
                readWaitMs = wait;
            }
            if (!ReadFile(port, buffer, size, &got, nullptr)) {
                got = 0;
                Sleep(wait);
            }
        }
        const uint64_t now = NowMs();
        std::lock_guard<std::mutex> lock(mu);
        engine->Receive(buffer, got, now);
        engine->Tick(now);
        OutChunk chunk;
        while (engine->TakeDue(now, &chunk)) {
            const bool hangUp = chunk.hangUp;
            due.push_back(std::move(chunk));
            if (hangUp) break;
        }
        *lines = DrainTrace();
        return due;
    }

    // One pass with the port closed (hung up): opens it again when its time has come.
    void WaitClosed(std::vector<std::string>* lines) {
        Sleep(10);
        const uint64_t now = NowMs();
        std::lock_guard<std::mutex> lock(mu);
        engine->Tick(now);
        if (reopenAtMs != 0 && now >= reopenAtMs) {
            std::string error;
            port = OpenPort(path, baud, &error);
            if (port != INVALID_HANDLE_VALUE) {
                readWaitMs = 0;
                reopenAtMs = 0;
                engine->LineOpened(now);
            } else {
                reopenAtMs = now + 500;
                engine->Note(now, error + "; trying again");
            }
        }
        *lines = DrainTrace();
    }

    // Writes the bytes; paced: byte i goes out no sooner than i * 10 / baud s
    // after the first (8N1: ten bit times a byte), in as few writes as the
    // sleeps allow.
    bool Write(const Bytes& bytes, DWORD* written) {
        *written = 0;
        if (!pace) {
            return WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), written, nullptr) &&
                   *written == bytes.size();
        }
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        const double perByteUs = 10e6 / baud;
        size_t at = 0;
        while (at < bytes.size() && !stop) {
            const double elapsedUs =
                static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
            const size_t due = std::min(bytes.size(), static_cast<size_t>(elapsedUs / perByteUs) + 1);
            if (due > at) {
                DWORD n = 0;
                if (!WriteFile(port, bytes.data() + at, static_cast<DWORD>(due - at), &n, nullptr) || n != due - at) {
                    *written += n;
                    return false;
                }
                *written += n;
                at = due;
            }
            if (at < bytes.size()) Sleep(1);
        }
        return at == bytes.size();
    }

    // Writes the chunks that are due, or closes the line for a hang-up.
    std::vector<std::string> WriteDue(std::vector<OutChunk>& due) {
        std::vector<std::string> more;
        for (OutChunk& chunk : due) {
            if (chunk.hangUp) {
                CloseHandle(port);
                port = INVALID_HANDLE_VALUE;
                std::lock_guard<std::mutex> lock(mu);
                const uint64_t now = NowMs();
                engine->LineClosed(now, chunk.hangUpMs);
                reopenAtMs = chunk.hangUpMs != 0 ? now + chunk.hangUpMs : 0;
                more = DrainTrace();
                break;
            }
            DWORD written = 0;
            if (!Write(chunk.bytes, &written)) {
                const DWORD code = GetLastError();
                std::lock_guard<std::mutex> lock(mu);
                engine->Note(NowMs(), "write failed (error " + std::to_string(code) + "), " + std::to_string(written) +
                                          " of " + std::to_string(chunk.bytes.size()) + " bytes written");
                for (std::string& line : DrainTrace()) more.push_back(std::move(line));
            }
        }
        return more;
    }

    void Run() {
        uint8_t buffer[512];
        while (!stop) {
            std::vector<OutChunk> due;
            std::vector<std::string> lines;
            if (port != INVALID_HANDLE_VALUE) {
                due = ServeLine(&lines, buffer, sizeof buffer);
            } else {
                WaitClosed(&lines);
            }
            Publish(lines);
            Publish(WriteDue(due));
        }
    }
};

Simulator* SimStart(const SimOptions& options, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    std::string json = options.modelJson;
    if (json.empty()) {
        if (options.modelFile.empty()) {
            *error = "no model: give a model file or the model's JSON text";
            return nullptr;
        }
        if (!ReadText(options.modelFile, &json)) {
            *error = "cannot read the model file " + options.modelFile;
            return nullptr;
        }
    }
    const uint64_t now = NowMs();
    Model model;
    std::string why;
    if (!LoadModel(json, HostLocalSeconds(), now, &model, &why)) {
        *error = (options.modelJson.empty() ? options.modelFile : std::string("the model")) + ": " + why;
        return nullptr;
    }
    if (!CheckDeadLine(options.deadLine, &why)) {
        *error = "the dead line: " + why;
        return nullptr;
    }
    auto sim = std::make_unique<Simulator>();
    sim->engine = std::make_unique<Engine>(std::move(model), now, options.rawBytes);
    if (!sim->engine->SetEvents(options.events, &why)) {
        *error = "the events: " + why;
        return nullptr;
    }
    sim->path = PortPath(options.port);
    sim->baud = options.baud;
    sim->traceLimit = options.traceLimit > 0 ? options.traceLimit : 1;
    sim->pollMs = options.pollMs;
    sim->pace = options.pace;
    sim->onTrace = options.onTrace;
    sim->port = OpenPort(sim->path, options.baud, error);
    if (sim->port == INVALID_HANDLE_VALUE) return nullptr;
    sim->engine->SetFaults(options.faults);
    sim->engine->SetDeadLine(options.deadLine);
    sim->engine->SetFrameGapMs(options.frameGapMs);
    if (options.pace && options.baud > 0) sim->engine->SetPaceUsPerByte(10000000u / options.baud);
    sim->engine->Note(now, StartNote(options, sim->path));
    std::vector<std::string> lines = sim->DrainTrace();
    sim->Publish(lines);
    Simulator* raw = sim.release();
    raw->thread = std::thread([raw] { raw->Run(); });
    return raw;
}

void SimStop(Simulator* sim) {
    if (sim == nullptr) return;
    sim->stop = true;
    if (sim->thread.joinable()) sim->thread.join();
    if (sim->port != INVALID_HANDLE_VALUE) CloseHandle(sim->port);
    delete sim;
}

void SimSetFaults(Simulator* sim, const SimFaults& faults) {
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->engine->SetFaults(faults);
}

SimFaults SimGetFaults(const Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->engine->faults();
}

SimCounters SimGetCounters(const Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->engine->counters();
}

void SimResetCounters(Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->engine->ResetCounters();
}

std::vector<std::string> SimTraceLines(const Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    return std::vector<std::string>(sim->trace.begin(), sim->trace.end());
}

void SimClearTrace(Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->trace.clear();
}

bool SimWaitSessionsClosed(const Simulator* sim, uint32_t closed, uint32_t timeoutMs) {
    const uint64_t end = NowMs() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(sim->mu);
            if (sim->engine->counters().sessionsClosed >= closed) return true;
        }
        if (NowMs() >= end) return false;
        Sleep(10);
    }
}

std::string SimModelJson(const Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    return ModelToJson(sim->engine->model(), NowMs());
}

void SimHangUpNow(Simulator* sim) {
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->engine->HangUpNow(NowMs());
}

}  // namespace sksim
