// Stand-in for the host runtime KESTRA.dll: `err` as the host calls it
// (cdecl, level, printf format, arguments), safe from any thread. Lines are
// kept for tests and tools to read; echo and a log file are optional.
#define KESTRA_BUILDING
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/kestra/kestra_api.h"

namespace {

struct Line {
    std::string text;
    double ms;
};

CRITICAL_SECTION g_lock;
std::vector<Line>* g_lines;
int g_echo;
FILE* g_file;
LARGE_INTEGER g_start, g_freq;
constexpr size_t kMaxLines = 200000;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - g_start.QuadPart) * 1000.0 / static_cast<double>(g_freq.QuadPart);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
        g_lines = new std::vector<Line>();
        QueryPerformanceFrequency(&g_freq);
        QueryPerformanceCounter(&g_start);
        const char* echo = getenv("KESTRA_ECHO");
        g_echo = echo != nullptr && echo[0] == '1';
    }
    return TRUE;
}

extern "C" __declspec(dllexport) int err(int level, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format != nullptr ? format : "(null)", args);
    va_end(args);
    (void)level;
    const double ms = NowMs();
    EnterCriticalSection(&g_lock);
    if (g_lines->size() < kMaxLines) g_lines->push_back(Line{text, ms});
    if (g_echo) {
        fprintf(stderr, "[log %9.1f] %s\n", ms, text);
        fflush(stderr);
    }
    if (g_file != nullptr) {
        fprintf(g_file, "%.1f\t%s\n", ms, text);
        fflush(g_file);
    }
    LeaveCriticalSection(&g_lock);
    return 0;
}

extern "C" __declspec(dllexport) int KestraCount(void) {
    EnterCriticalSection(&g_lock);
    const int n = static_cast<int>(g_lines->size());
    LeaveCriticalSection(&g_lock);
    return n;
}

extern "C" __declspec(dllexport) int KestraLine(int index, char* buffer, int size) {
    int length = -1;
    EnterCriticalSection(&g_lock);
    if (index >= 0 && static_cast<size_t>(index) < g_lines->size() && buffer != nullptr && size > 0) {
        const std::string& text = (*g_lines)[static_cast<size_t>(index)].text;
        snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
        length = static_cast<int>(text.size());
    }
    LeaveCriticalSection(&g_lock);
    return length;
}

extern "C" __declspec(dllexport) double KestraLineTime(int index) {
    double ms = -1;
    EnterCriticalSection(&g_lock);
    if (index >= 0 && static_cast<size_t>(index) < g_lines->size()) ms = (*g_lines)[static_cast<size_t>(index)].ms;
    LeaveCriticalSection(&g_lock);
    return ms;
}

extern "C" __declspec(dllexport) void KestraClear(void) {
    EnterCriticalSection(&g_lock);
    g_lines->clear();
    LeaveCriticalSection(&g_lock);
}

extern "C" __declspec(dllexport) void KestraSetEcho(int on) {
    EnterCriticalSection(&g_lock);
    g_echo = on;
    LeaveCriticalSection(&g_lock);
}

extern "C" __declspec(dllexport) int KestraSetFile(const char* path) {
    EnterCriticalSection(&g_lock);
    if (g_file != nullptr) fclose(g_file);
    g_file = path != nullptr ? fopen(path, "a") : nullptr;
    const int ok = path == nullptr || g_file != nullptr;
    LeaveCriticalSection(&g_lock);
    return ok ? 0 : -1;
}
