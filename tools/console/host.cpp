#include "tools/console/host.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "address/command_table.h"
#include "tools/kestra/kestra_api.h"

namespace {

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

// The host's value buffer: large enough for any text (255 bytes) or block.
constexpr size_t kValueBytes = 8192;

// The point record the host builds from a parsed gate for a read or write.
PointRecord PointFor(const std::string& gate, const GateRecord& record, int32_t valueKind, int32_t count,
                     void* value) {
    PointRecord point;
    memset(&point, 0, sizeof point);
    point.address = gate.c_str();
    point.argA = record.slotA;
    point.argB = record.slotB;
    point.argC = record.slotC;
    point.valueKind = valueKind;
    point.count = count;
    point.value = value;
    return point;
}

}  // namespace

uint32_t GateCommand(const std::string& gate) {
    if (gate.size() < 2 || gate[0] < '0' || gate[0] > '9' || gate[1] < '0' || gate[1] > '9') return 0;
    return static_cast<uint32_t>((gate[0] - '0') * 10 + (gate[1] - '0'));
}

int DefaultGateType(const std::string& gate) {
    const CommandEntry* row = CommandRow(GateCommand(gate));
    return row != nullptr ? row->gateType : -1;
}

char GateLetter(const std::string& gate) {
    const CommandEntry* row = CommandRow(GateCommand(gate));
    return row != nullptr ? row->code : '?';
}

bool DriverHost::Load(const std::string& dll, std::string* error) {
    HMODULE module = LoadLibraryA(dll.c_str());
    if (module == nullptr) {
        *error = "cannot load " + dll + " (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    module_ = module;
    vpi_ = reinterpret_cast<VpiMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "VpiMain")));
    if (vpi_ == nullptr) {
        *error = dll + " does not export VpiMain";
        return false;
    }
    return true;
}

bool DriverHost::ModulePath(std::string* path) const {
    char text[MAX_PATH];
    const DWORD length = module_ != nullptr ? GetModuleFileNameA(module_, text, sizeof text) : 0;
    if (length == 0 || length >= sizeof text) return false;
    *path = text;
    return true;
}

bool DriverHost::FileVersion(std::string* fileVersion, std::string* logVersion) const {
    std::string file;
    if (!ModulePath(&file)) return false;
    const char* path = file.c_str();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return false;
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!GetFileVersionInfoA(path, 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) || fixed == nullptr ||
        fixedSize < sizeof *fixed)
        return false;
    const unsigned major = HIWORD(fixed->dwFileVersionMS), minor = LOWORD(fixed->dwFileVersionMS);
    char text[64];
    snprintf(text, sizeof text, "%u.%u.%u.%u", major, minor, HIWORD(fixed->dwFileVersionLS),
             LOWORD(fixed->dwFileVersionLS));
    *fileVersion = text;
    // The start line prints the host contract's version word as %02x.%02x:
    // the same for every release of the driver.
    snprintf(text, sizeof text, "%02x.%02x", static_cast<unsigned>(kContractVersion >> 8),
             static_cast<unsigned>(kContractVersion & 0xFF));
    *logVersion = text;
    return true;
}

int32_t DriverHost::Call(int32_t function, void* params) {
    VpiRequest request{};
    request.channel = channel_.empty() ? nullptr : reinterpret_cast<VpiChannel*>(channel_.data());
    request.function = function;
    request.channelIndex = channelIndex_;
    request.params = params;
    return vpi_(&request);
}

int32_t DriverHost::Describe(DriverInfo* info) {
    memset(info, 0, sizeof *info);
    return Call(14, info);
}

int32_t DriverHost::Start(const ChannelOptions& options) {
    DriverInfo info;
    if (Describe(&info) != 0 || info.channelSize < static_cast<int32_t>(sizeof(VpiChannel))) return 2;
    channel_.assign(static_cast<size_t>(info.channelSize), 0);
    channelIndex_ = options.channelIndex;
    StartParameters start;
    memset(&start, 0, sizeof start);
    snprintf(start.portName, sizeof start.portName, "%s", options.port.c_str());
    start.enabled = 1;
    start.readTimeout = options.readTimeout;
    start.settings = PortSettings{options.baud, options.dataBits, options.stopCode, options.parityCode};
    const int32_t status = Call(1, &start);
    started_ = status == 0;
    return status;
}

int32_t DriverHost::End() {
    if (channel_.empty()) return 0;
    const int32_t status = Call(11, nullptr);
    started_ = false;
    return status;
}

bool DriverHost::Health(LineHealth* health) const {
    if (channel_.size() < sizeof(VpiChannel)) return false;
    // The record is packed: copied out byte by byte, never read in place.
    memcpy(health, channel_.data() + offsetof(VpiChannel, health), sizeof *health);
    return health->started == 1;
}

int32_t DriverHost::Parse(int32_t function, const std::string& gate, int gateType, GateRecord* record) {
    memset(record, 0, sizeof *record);
    record->address = gate.c_str();
    record->gateType = gateType;
    return Call(function, record);
}

GateResult DriverHost::Read(const std::string& gate, int gateType) {
    GateResult result;
    result.gate = gate;
    result.letter = GateLetter(gate);
    const uint32_t command = GateCommand(gate);
    result.kind = command == 9 ? "date" : gateType == 7 ? "text" : "number";
    const double start = NowMs();
    GateRecord record;
    result.status = Parse(3, gate, gateType, &record);
    result.parsed = result.status == 0;
    if (result.parsed) {
        std::vector<unsigned char> value(kValueBytes, 0);
        PointRecord point = PointFor(gate, record, gateType == 7 ? 7 : record.valueKind, record.count, value.data());
        result.status = Call(5, &point);
        if (result.kind == "number") {
            result.number = static_cast<uint16_t>(value[2] | (value[3] << 8));
        } else {
            value.back() = 0;
            result.text = reinterpret_cast<const char*>(value.data());
        }
    }
    result.ms = NowMs() - start;
    return result;
}

GateResult DriverHost::Block(const std::string& gate, int32_t count) {
    GateResult result;
    result.gate = gate;
    result.operation = Operation::Block;
    result.letter = GateLetter(gate);
    result.kind = "block";
    const double start = NowMs();
    GateRecord record;
    result.status = Parse(4, gate, 0, &record);
    result.parsed = result.status == 0;
    if (result.parsed) {
        const int32_t words = count > 0 ? count : record.count;
        std::vector<uint16_t> value(static_cast<size_t>(words) + 2, 0);
        PointRecord point = PointFor(gate, record, record.valueKind, words, value.data());
        result.status = Call(6, &point);
        result.words.assign(value.begin(), value.begin() + words);
    }
    result.ms = NowMs() - start;
    return result;
}

GateResult DriverHost::Write(const std::string& gate, const std::string& text, int gateType) {
    GateResult result;
    result.gate = gate;
    result.operation = Operation::Write;
    result.letter = GateLetter(gate);
    result.kind = "write";
    result.text = text;
    const double start = NowMs();
    GateRecord record;
    result.status = Parse(3, gate, gateType, &record);
    result.parsed = result.status == 0;
    if (result.parsed) {
        std::vector<char> value(kValueBytes, 0);
        memcpy(value.data(), text.data(), text.size() < kValueBytes - 1 ? text.size() : kValueBytes - 1);
        PointRecord point = PointFor(gate, record, gateType == 7 ? 7 : record.valueKind, record.count, value.data());
        const int before = KestraCount();
        result.status = Call(7, &point);
        // The driver tells a refusal from a write never confirmed by its line.
        char line[2048];
        for (int i = before; i < KestraCount(); ++i) {
            if (KestraLine(i, line, sizeof line) >= 0 && strstr(line, "SingleWrite() fail, the panel refused it")) {
                result.refusedByPanel = true;
            }
        }
    }
    result.ms = NowMs() - start;
    return result;
}
