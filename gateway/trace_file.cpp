#include "gateway/trace_file.h"

#include <cstdio>
#include <cstring>

#include "host/host_log.h"
#include "host/texts.h"
#include "serial/trace_io.h"

namespace {

constexpr char kOlderHalf[] = ".1";
constexpr size_t kPathRoom = sizeof(TraceFile::path);

bool IsSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// A drive ("D:..."), a UNC or rooted path ("\\server\...", "\logs\..."), or a POSIX one.
bool IsFullPath(const char* path) { return path[0] == '\\' || path[0] == '/' || (path[0] != '\0' && path[1] == ':'); }

// The file stops being used: closed, and the trace goes to the host log
// until the settings are read again, with one line that says why.
void GiveUp(VpiChannel* channel, const char* what, uint32_t windowsError) {
    if (channel->traceFile.file != nullptr) TraceFileClose(channel->traceFile.file);
    channel->traceFile.file = nullptr;
    channel->traceFile.failed = 1;
    err(kLogLevel, "%s: %.12s trace file %.200s cannot be %s (error %u); the trace goes to the host log",
        NameOf(channel).text, channel->portDesc.portName, channel->traceFile.path, what,
        static_cast<unsigned>(windowsError));
}

// The file renamed to its .1 (an older .1 replaced) and a new one begun.
bool TurnOver(VpiChannel* channel) {
    char older[kPathRoom + sizeof kOlderHalf];
    snprintf(older, sizeof older, "%s%s", channel->traceFile.path, kOlderHalf);
    TraceFileClose(channel->traceFile.file);
    channel->traceFile.file = nullptr;
    uint32_t windowsError = 0;
    if (!TraceFileRename(channel->traceFile.path, older, &windowsError)) {
        GiveUp(channel, "renamed to .1", windowsError);
        return false;
    }
    return OpenTraceFile(channel);
}

}  // namespace

uint32_t TraceFileKb(const TraceFile& traceFile) {
    const uint32_t kb = traceFile.capKb;
    return kb >= kLeastTraceFileKb && kb <= kMostTraceFileKb ? kb : kDefaultTraceFileKb;
}

bool TraceFilePath(const char* setting, const char* portName, const char* folder, char* out, uint32_t size) {
    if (size == 0) return false;
    char whole[2 * kPathRoom];
    snprintf(whole, sizeof whole, "%s%s", IsFullPath(setting) ? "" : folder, setting);
    // The file's name starts behind the last separator; its extension at its last dot.
    size_t name = 0;
    for (size_t i = 0; whole[i] != '\0'; ++i) {
        if (IsSeparator(whole[i])) name = i + 1;
    }
    const char* dot = strrchr(whole + name, '.');
    const size_t stem = dot != nullptr && dot != whole + name ? static_cast<size_t>(dot - whole) : strlen(whole);
    const int length = snprintf(out, size, "%.*s-%s%s", static_cast<int>(stem), whole, portName, whole + stem);
    const size_t olderRoom = sizeof kOlderHalf - 1;
    return length >= 0 && static_cast<size_t>(length) + olderRoom < size && strlen(whole) < sizeof whole - 1;
}

void SetTraceFile(VpiChannel* channel, const char* setting, uint32_t capKb, const char* portName) {
    CloseTraceFile(channel);
    TraceFile traceFile{};
    traceFile.capKb = capKb;
    if (setting[0] != '\0') {
        char folder[kPathRoom] = "";
        const bool folderKnown = IsFullPath(setting) || TraceFileFolder(folder, sizeof folder);
        const bool fits = TraceFilePath(setting, portName, folder, traceFile.path, sizeof traceFile.path);
        traceFile.pathCut = folderKnown && fits ? 0 : 1;
    }
    channel->traceFile = traceFile;
}

bool TraceFileInUse(const VpiChannel* channel) {
    // A record never started may hold anything: only a path that ends within
    // its field, of a file that has not failed (0, not just "not 1"), is used.
    const TraceFile& traceFile = channel->traceFile;
    return traceFile.failed == 0 && traceFile.path[0] != '\0' && FieldHoldsText(traceFile.path, sizeof traceFile.path);
}

bool OpenTraceFile(VpiChannel* channel) {
    if (!TraceFileInUse(channel)) return false;
    if (channel->traceFile.file != nullptr) return true;
    if (channel->traceFile.pathCut == 1) {
        GiveUp(channel, "opened", kFileErrorNameTooLong);
        return false;
    }
    uint32_t size = 0;
    uint32_t windowsError = 0;
    const Handle file = TraceFileOpen(channel->traceFile.path, &size, &windowsError);
    if (file == nullptr) {
        GiveUp(channel, "opened", windowsError);
        return false;
    }
    channel->traceFile.file = file;
    channel->traceFile.bytes = size;
    return true;
}

void CloseTraceFile(VpiChannel* channel) {
    // A failed byte other than 0 or 1 is no record of the driver's: its handle is not the driver's to close.
    if (channel->traceFile.file == nullptr || channel->traceFile.failed > 1) return;
    TraceFileClose(channel->traceFile.file);
    channel->traceFile.file = nullptr;
}

bool WriteTraceLine(VpiChannel* channel, const char* line) {
    if (!OpenTraceFile(channel)) return false;
    // The line, cut where it would not fit, always ends with its CR LF.
    char text[512];
    const LocalClock now = TraceFileClock();
    int length = snprintf(text, sizeof text - 2, "%04u-%02u-%02u %02u:%02u:%02u.%03u %s", now.year, now.month,
                          now.day, now.hour, now.minute, now.second, now.millisecond, line);
    if (length < 0) return false;
    if (static_cast<size_t>(length) > sizeof text - 3) length = static_cast<int>(sizeof text - 3);
    text[length++] = '\r';
    text[length++] = '\n';
    const uint32_t count = static_cast<uint32_t>(length);
    const uint32_t half = TraceFileKb(channel->traceFile) * 512;  // bytes
    const uint32_t bytes = channel->traceFile.bytes;
    if (bytes != 0 && (bytes >= half || count > half - bytes) && !TurnOver(channel)) return false;
    uint32_t windowsError = 0;
    if (!TraceFileWrite(channel->traceFile.file, text, count, &windowsError)) {
        GiveUp(channel, "written", windowsError);
        return false;
    }
    channel->traceFile.bytes += count;
    return true;
}
