// Native stand-in of the host log: `err` and the accessors of the stand-in
// KESTRA.dll, recording every line thread-safely.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_log.h"  // err with its format attribute
#include "tools/kestra/kestra_api.h"

namespace {
struct Line {
    std::string text;
    double ms;
};
std::mutex g_lock;
std::vector<Line> g_lines;
bool g_echo;
const auto g_start = std::chrono::steady_clock::now();
}  // namespace

extern "C" int err(int32_t level, const char* format, ...) {
    (void)level;
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.push_back(Line{text, ms});
    if (g_echo) fprintf(stderr, "[log] %s\n", text);
    return 0;
}

extern "C" int KestraCount(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    return static_cast<int>(g_lines.size());
}

extern "C" int KestraLine(int index, char* buffer, int size) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (index < 0 || static_cast<size_t>(index) >= g_lines.size() || buffer == nullptr || size <= 0) return -1;
    const std::string& text = g_lines[static_cast<size_t>(index)].text;
    snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
    return static_cast<int>(text.size());
}

extern "C" double KestraLineTime(int index) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (index < 0 || static_cast<size_t>(index) >= g_lines.size()) return -1;
    return g_lines[static_cast<size_t>(index)].ms;
}

extern "C" void KestraClear(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.clear();
}

extern "C" void KestraSetEcho(int on) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_echo = on != 0;
}

extern "C" int KestraSetFile(const char*) { return -1; }
