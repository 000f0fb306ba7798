// Records shared with the host: byte-exact layouts, little-endian, no gaps.
// The host allocates every one of them; the driver reads and writes the
// fields in place. One definition serves the Win32 build and the native
// -m32 build (both ILP32 little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 4, "the host records hold 32-bit pointers: build for i386 (-m32 or mingw i686)");

using Handle = void*;  // a 32-bit Win32 handle as the records hold it

// Status codes a handler hands back to the host.
enum : int32_t { kDone = 0, kRefused = 1, kFailed = 2 };

#pragma pack(push, 1)

struct VpiChannel;

struct VpiRequest {
    VpiChannel* channel;    // 0
    int32_t function;       // 4
    int32_t channelIndex;   // 8
    uint32_t reserved;      // 12, not read by the driver
    void* params;           // 16
};

struct PortSettings {
    uint16_t baudRate;  // 0
    uint16_t dataBits;  // 2, low byte used
    uint16_t stopBits;  // 4, low byte used: 0 one, 1 one and a half, 2 two
    uint16_t parity;    // 6, low byte used: 0 none, 1 odd, 2 even, 3 mark, 4 space
};

struct PortDescriptor {
    char portName[12];      // 0
    PortSettings settings;  // 12
    uint16_t lineFlags;     // 20
};

struct VpiChannel {
    int32_t readTimeout;        // 0, units of 10 ms
    int32_t enabled;            // 4
    Handle port;                // 8: -1 no line (NULLDEV), 0 none open, else the port
    PortDescriptor portDesc;    // 12
    char name[31];              // 34
    uint16_t version;           // 65
    char commBusyName[32];      // 67
    char syncThreadName[65];    // 99
    char VpiClientName[11];     // 164
    int32_t instanceNumber;     // 175
    uint8_t channelTag;         // 179
    uint8_t unused180[2];       // 180
    Handle syncEvent;           // 182
    Handle commBusyMutex;       // 186
    uint8_t unused190[4];       // 190
    Handle catchThread;         // 194
    uint32_t catchThreadId;     // 198
    uint8_t* valueTail;         // 202: second 16-bit word of the value buffer
    uint8_t* valueHead;         // 206: the value buffer
    uint8_t txBuffer[128];      // 210
    uint8_t rxBuffer[2500];     // 338
    uint16_t txCount;           // 2838
    uint16_t rxCount;           // 2840
    uint8_t unused2842[2052];   // 2842
    char intFileName[16];       // 4894
};

struct PointRecord {
    const char* address;  // 0
    uint32_t host4;       // 4, the host's
    int32_t argA;         // 8
    int32_t argB;         // 12
    int32_t argC;         // 16
    uint32_t host20;      // 20, the host's
    uint32_t host24;      // 24, the host's
    int32_t valueKind;    // 28, 7 marks a text value
    int32_t count;        // 32, 16-bit values a block read delivers
    uint32_t host36;      // 36, the host's
    void* value;          // 40, the host's value buffer
};

struct GateRecord {
    const char* address;  // 0
    uint32_t host4;       // 4
    int32_t gateType;     // 8
    uint32_t host12;      // 12
    int32_t slotA;        // 16
    int32_t slotB;        // 20
    int32_t slotC;        // 24
    int32_t valueKind;    // 28
    int32_t count;        // 32
};

struct DriverInfo {
    int32_t infoCode;          // 0
    const char* name;          // 4
    const char* banner;        // 8
    int32_t channelSize;       // 12
    int32_t infoClass;         // 16
    PortSettings defaultPort;  // 20
    int32_t infoFlag;          // 28
};

struct StartParameters {
    char portName[12];      // 0
    int32_t enabled;        // 12
    int32_t readTimeout;    // 16, units of 10 ms
    PortSettings settings;  // 20
};

struct ReopenParams {
    char portName[12];      // 0
    int32_t readTimeout;    // 12, 0 keeps the current value
    PortSettings settings;  // 16
};

#pragma pack(pop)

static_assert(sizeof(VpiRequest) == 20);
static_assert(offsetof(VpiRequest, channel) == 0);
static_assert(offsetof(VpiRequest, function) == 4);
static_assert(offsetof(VpiRequest, channelIndex) == 8);
static_assert(offsetof(VpiRequest, params) == 16);

static_assert(sizeof(PortSettings) == 8);
static_assert(offsetof(PortSettings, baudRate) == 0);
static_assert(offsetof(PortSettings, dataBits) == 2);
static_assert(offsetof(PortSettings, stopBits) == 4);
static_assert(offsetof(PortSettings, parity) == 6);

static_assert(sizeof(PortDescriptor) == 22);
static_assert(offsetof(PortDescriptor, portName) == 0);
static_assert(offsetof(PortDescriptor, settings) == 12);
static_assert(offsetof(PortDescriptor, lineFlags) == 20);

static_assert(sizeof(VpiChannel) == 4910);
static_assert(offsetof(VpiChannel, readTimeout) == 0);
static_assert(offsetof(VpiChannel, enabled) == 4);
static_assert(offsetof(VpiChannel, port) == 8);
static_assert(offsetof(VpiChannel, portDesc) == 12);
static_assert(offsetof(VpiChannel, name) == 34);
static_assert(offsetof(VpiChannel, version) == 65);
static_assert(offsetof(VpiChannel, commBusyName) == 67);
static_assert(offsetof(VpiChannel, syncThreadName) == 99);
static_assert(offsetof(VpiChannel, VpiClientName) == 164);
static_assert(offsetof(VpiChannel, instanceNumber) == 175);
static_assert(offsetof(VpiChannel, channelTag) == 179);
static_assert(offsetof(VpiChannel, syncEvent) == 182);
static_assert(offsetof(VpiChannel, commBusyMutex) == 186);
static_assert(offsetof(VpiChannel, catchThread) == 194);
static_assert(offsetof(VpiChannel, catchThreadId) == 198);
static_assert(offsetof(VpiChannel, valueTail) == 202);
static_assert(offsetof(VpiChannel, valueHead) == 206);
static_assert(offsetof(VpiChannel, txBuffer) == 210);
static_assert(offsetof(VpiChannel, rxBuffer) == 338);
static_assert(offsetof(VpiChannel, txCount) == 2838);
static_assert(offsetof(VpiChannel, rxCount) == 2840);
static_assert(offsetof(VpiChannel, intFileName) == 4894);

static_assert(sizeof(PointRecord) == 44);
static_assert(offsetof(PointRecord, address) == 0);
static_assert(offsetof(PointRecord, argA) == 8);
static_assert(offsetof(PointRecord, argB) == 12);
static_assert(offsetof(PointRecord, argC) == 16);
static_assert(offsetof(PointRecord, valueKind) == 28);
static_assert(offsetof(PointRecord, count) == 32);
static_assert(offsetof(PointRecord, value) == 40);

static_assert(sizeof(GateRecord) == 36);
static_assert(offsetof(GateRecord, address) == 0);
static_assert(offsetof(GateRecord, gateType) == 8);
static_assert(offsetof(GateRecord, slotA) == 16);
static_assert(offsetof(GateRecord, slotB) == 20);
static_assert(offsetof(GateRecord, slotC) == 24);
static_assert(offsetof(GateRecord, valueKind) == 28);
static_assert(offsetof(GateRecord, count) == 32);

static_assert(sizeof(DriverInfo) == 32);
static_assert(offsetof(DriverInfo, infoCode) == 0);
static_assert(offsetof(DriverInfo, name) == 4);
static_assert(offsetof(DriverInfo, banner) == 8);
static_assert(offsetof(DriverInfo, channelSize) == 12);
static_assert(offsetof(DriverInfo, infoClass) == 16);
static_assert(offsetof(DriverInfo, defaultPort) == 20);
static_assert(offsetof(DriverInfo, infoFlag) == 28);

static_assert(sizeof(StartParameters) == 28);
static_assert(offsetof(StartParameters, portName) == 0);
static_assert(offsetof(StartParameters, enabled) == 12);
static_assert(offsetof(StartParameters, readTimeout) == 16);
static_assert(offsetof(StartParameters, settings) == 20);

static_assert(sizeof(ReopenParams) == 24);
static_assert(offsetof(ReopenParams, portName) == 0);
static_assert(offsetof(ReopenParams, readTimeout) == 12);
static_assert(offsetof(ReopenParams, settings) == 16);

// The port value of a channel without a line (port name "NULLDEV").
inline Handle NoPort() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }
inline bool IsNoPort(Handle h) { return h == NoPort(); }
