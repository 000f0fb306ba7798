// The field trace's file natively, for the tests: real POSIX files (a test
// gives paths in a folder of its own), each failure given the Windows error
// the DLL would meet, the running program's folder as the module's.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/trace_io.h"

namespace {

uint32_t WindowsError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: return kFileErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR: return kFileErrorAccessDenied;
        case ENAMETOOLONG: return kFileErrorNameTooLong;
        default: return 0x10000u + static_cast<uint32_t>(error);  // no Windows number: marked as the C library's
    }
}

// A descriptor as a handle: never null (descriptor 0 is handle 1).
Handle AsHandle(int fd) { return reinterpret_cast<Handle>(static_cast<intptr_t>(fd) + 1); }
int AsDescriptor(Handle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1); }

}  // namespace

Handle TraceFileOpen(const char* path, uint32_t* size, uint32_t* windowsError) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *windowsError = WindowsError(errno);
        return nullptr;
    }
    struct stat status {};
    const uint64_t length = fstat(fd, &status) == 0 && status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
    *size = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
    return AsHandle(fd);
}

bool TraceFileWrite(Handle file, const void* bytes, uint32_t count, uint32_t* windowsError) {
    const ssize_t written = write(AsDescriptor(file), bytes, count);
    if (written == static_cast<ssize_t>(count)) return true;
    *windowsError = written < 0 ? WindowsError(errno) : 112;  // ERROR_DISK_FULL
    return false;
}

void TraceFileClose(Handle file) { close(AsDescriptor(file)); }

bool TraceFileRename(const char* from, const char* to, uint32_t* windowsError) {
    if (rename(from, to) == 0) return true;
    *windowsError = WindowsError(errno);
    return false;
}

bool TraceFileFolder(char* out, uint32_t size) {
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) return false;
    program[length] = '\0';
    char* slash = strrchr(program, '/');
    if (slash == nullptr || static_cast<uint32_t>(slash + 1 - program) >= size) return false;
    slash[1] = '\0';
    memcpy(out, program, static_cast<size_t>(slash + 2 - program));
    return true;
}

LocalClock TraceFileClock() {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    return LocalClock{static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                      static_cast<uint16_t>(local.tm_mday), static_cast<uint16_t>(local.tm_hour),
                      static_cast<uint16_t>(local.tm_min), static_cast<uint16_t>(local.tm_sec),
                      static_cast<uint16_t>(now.tv_nsec / 1000000)};
}
