#include "tests/support/fake_comm.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "serial/comm.h"

namespace fake_comm {
namespace {

constexpr int32_t kOpenTimeout = 100;  // what opening a port leaves: 1 s

struct Line {
    std::deque<Bytes> script;
    Bytes input;
    Responder responder;
    bool failWrites = false;
    int32_t timeout = kOpenTimeout;
    std::vector<Event> events;
};

std::mutex g_lock;
std::map<Handle, Line> g_lines;
uint64_t g_clockMs = 0;
uint32_t g_realDelayUs = 0;
thread_local Handle t_lastPort = nullptr;

Line& LineOf(Handle port) {
    return g_lines[port];
}

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.clear();
    g_clockMs = 0;
    g_realDelayUs = 0;
}

void Answer(Handle port, Bytes bytes) {
    std::lock_guard<std::mutex> hold(g_lock);
    LineOf(port).script.push_back(std::move(bytes));
}

void Silence(Handle port, int reads) {
    for (int i = 0; i < reads; ++i) Answer(port, {});
}

void Waiting(Handle port, Bytes bytes) {
    std::lock_guard<std::mutex> hold(g_lock);
    Bytes& input = LineOf(port).input;
    input.insert(input.end(), bytes.begin(), bytes.end());
}

void OnWrite(Handle port, Responder responder) {
    std::lock_guard<std::mutex> hold(g_lock);
    LineOf(port).responder = std::move(responder);
}

void FailWrites(Handle port, bool fail) {
    std::lock_guard<std::mutex> hold(g_lock);
    LineOf(port).failWrites = fail;
}

void RealDelayPerRead(uint32_t microseconds) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_realDelayUs = microseconds;
}

std::vector<Event> Events(Handle port) {
    std::lock_guard<std::mutex> hold(g_lock);
    return LineOf(port).events;
}

std::vector<Bytes> Writes(Handle port) {
    std::vector<Bytes> writes;
    for (const Event& e : Events(port)) {
        if (e.op == Op::Write) writes.push_back(e.bytes);
    }
    return writes;
}

int32_t CurrentTimeout(Handle port) {
    std::lock_guard<std::mutex> hold(g_lock);
    return LineOf(port).timeout;
}

size_t Pending(Handle port) {
    std::lock_guard<std::mutex> hold(g_lock);
    return LineOf(port).input.size();
}

uint64_t NowMs() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_clockMs;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(two, sizeof two, "%02X", bytes[i]);
        if (i != 0) text += ' ';
        text += two;
    }
    return text;
}

std::string Describe(const std::vector<Event>& events) {
    std::string text;
    for (const Event& e : events) {
        switch (e.op) {
            case Op::Write:
                text += "W " + Hex(e.bytes);
                break;
            case Op::Read:
                text += "R " + std::to_string(e.asked) + " -> " + std::to_string(e.bytes.size()) + " bytes (t " +
                        std::to_string(e.timeout) + ")";
                break;
            case Op::ReadFor:
                text += "F " + std::to_string(e.asked) + " -> " + std::to_string(e.bytes.size()) + " bytes (" +
                        std::to_string(e.timeoutMs) + " ms)";
                break;
            case Op::SetTimeout:
                text += "T " + std::to_string(e.timeout);
                break;
            case Op::Purge:
                text += "P " + std::to_string(e.bytes.size());
                break;
            case Op::Sleep:
                text += "S " + std::to_string(e.asked);
                break;
        }
        text += '\n';
    }
    return text;
}

}  // namespace fake_comm

using namespace fake_comm;

CommResult CommWrite(Handle port, const void* buffer, uint32_t count, uint32_t* written) {
    std::lock_guard<std::mutex> hold(g_lock);
    t_lastPort = port;
    Line& line = LineOf(port);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    Event event{Op::Write, Bytes(bytes, bytes + count), count, line.timeout, g_clockMs};
    line.events.push_back(event);
    if (line.failWrites) return CommResult::IoFailed;
    if (written != nullptr) *written = count;
    if (line.responder) line.responder(event.bytes, line.input);
    return CommResult::Ok;
}

CommResult CommRead(Handle port, void* buffer, uint32_t count, uint32_t* received) {
    uint32_t delayUs = 0;
    CommResult result = CommResult::Ok;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        t_lastPort = port;
        Line& line = LineOf(port);
        if (received != nullptr) *received = 0;
        if (!line.script.empty()) {
            line.input.insert(line.input.end(), line.script.front().begin(), line.script.front().end());
            line.script.pop_front();
        }
        const uint32_t asked = count;
        const uint32_t n = line.input.size() < asked ? static_cast<uint32_t>(line.input.size()) : asked;
        Event event{Op::Read, Bytes(line.input.begin(), line.input.begin() + n), asked, line.timeout, g_clockMs};
        line.events.push_back(event);
        if (n != 0) memcpy(buffer, line.input.data(), n);
        line.input.erase(line.input.begin(), line.input.begin() + n);
        if (n < asked) g_clockMs += static_cast<uint64_t>(line.timeout) * 10;
        if (n == 0) {
            result = CommResult::IoFailed;
        } else if (received != nullptr) {
            *received = n;
        }
        delayUs = g_realDelayUs;
    }
    if (delayUs != 0) std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    return result;
}

CommResult CommReadFor(Handle port, void* buffer, uint32_t count, uint32_t timeoutMs, uint32_t* received) {
    uint32_t delayUs = 0;
    uint32_t n = 0;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        t_lastPort = port;
        Line& line = LineOf(port);
        // The next scripted arrival comes during this read only when nothing
        // waits: a frame read in steps takes one entry, and a read that ends
        // early leaves the next answer to the next step.
        if (line.input.empty() && !line.script.empty()) {
            line.input.insert(line.input.end(), line.script.front().begin(), line.script.front().end());
            line.script.pop_front();
        }
        if (timeoutMs == 0) timeoutMs = 1;
        line.timeout = static_cast<int32_t>(timeoutMs / 10);
        n = line.input.size() < count ? static_cast<uint32_t>(line.input.size()) : count;
        Event event{Op::ReadFor, Bytes(line.input.begin(), line.input.begin() + n), count, 0, g_clockMs};
        event.timeoutMs = timeoutMs;
        line.events.push_back(event);
        if (n != 0) memcpy(buffer, line.input.data(), n);
        line.input.erase(line.input.begin(), line.input.begin() + n);
        if (n < count) g_clockMs += timeoutMs;
        delayUs = g_realDelayUs;
    }
    if (delayUs != 0) std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    *received = n;
    return n == count ? CommResult::Ok : CommResult::IoFailed;
}

uint64_t CommNowMs() {
    return NowMs();
}

int32_t CommSetReadTimeout(Handle port, int32_t timeout) {
    std::lock_guard<std::mutex> hold(g_lock);
    t_lastPort = port;
    Line& line = LineOf(port);
    const int32_t previous = line.timeout;
    line.timeout = timeout;
    line.events.push_back(Event{Op::SetTimeout, {}, 0, timeout, g_clockMs});
    return previous;
}

CommResult CommPurgeInput(Handle port) {
    std::lock_guard<std::mutex> hold(g_lock);
    t_lastPort = port;
    Line& line = LineOf(port);
    line.events.push_back(Event{Op::Purge, line.input, 0, line.timeout, g_clockMs});
    line.input.clear();
    return CommResult::Ok;
}

void CommSleep(uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(g_lock);
    LineOf(t_lastPort).events.push_back(Event{Op::Sleep, {}, milliseconds, 0, g_clockMs});
    g_clockMs += milliseconds;
}
