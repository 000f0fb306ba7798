// The field trace's file on Windows: CreateFileA for appending (others may
// read it meanwhile), WriteFile, MoveFileExA to turn it over, the module's
// folder and the local time.
#include <windows.h>

#include "serial/trace_io.h"

static_assert(sizeof(HANDLE) == sizeof(Handle), "a file handle fits the records' handle field");

Handle TraceFileOpen(const char* path, uint32_t* size, uint32_t* windowsError) {
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *windowsError = GetLastError();
        return nullptr;
    }
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) length.QuadPart = 0;
    *size = length.QuadPart > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(length.QuadPart);
    return file;
}

bool TraceFileWrite(Handle file, const void* bytes, uint32_t count, uint32_t* windowsError) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(file), bytes, count, &written, nullptr)) {
        *windowsError = GetLastError();
        return false;
    }
    if (written != count) {
        *windowsError = ERROR_DISK_FULL;  // WriteFile said yes to less than it was given
        return false;
    }
    return true;
}

void TraceFileClose(Handle file) { CloseHandle(static_cast<HANDLE>(file)); }

bool TraceFileRename(const char* from, const char* to, uint32_t* windowsError) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    *windowsError = GetLastError();
    return false;
}

bool TraceFileFolder(char* out, uint32_t size) {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&TraceFileFolder), &module)) return false;
    const DWORD length = GetModuleFileNameA(module, out, size);
    if (length == 0 || length >= size) return false;
    DWORD folder = 0;  // the length up to and with the last separator
    for (DWORD i = 0; i < length; ++i) {
        if (out[i] == '\\' || out[i] == '/' || out[i] == ':') folder = i + 1;
    }
    out[folder] = '\0';
    return true;
}

LocalClock TraceFileClock() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalClock{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}
