// Records shared with the host: byte-exact layouts, little-endian, no gaps.
// The host allocates every one of them; the driver reads and writes the
// fields in place. One definition serves every build.
//
// The host is a 32-bit program: the offsets in the comments, and the first
// number of every AtWidth() below, are its contract. The same declarations built
// with 64-bit pointers make the twin, a test build for machines that cannot
// run 32-bit code; its layout (the second number) is pinned too, so that a
// change to it is deliberate, but no host is built against it.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "a 32-bit build (the product) or a 64-bit one (the twin)");

// An offset or size of the host contract (32-bit pointers), and of the twin.
constexpr size_t AtWidth(size_t with32BitPointers, size_t with64BitPointers) {
    return sizeof(void*) == 4 ? with32BitPointers : with64BitPointers;
}

using Handle = void*;  // a Win32 handle as the records hold it

// The host contract's version: written into every started channel record
// and logged by the start ("Version: 01.00"). It names the record layouts
// and requests the driver serves, not the product's version (host/version.h,
// the DLL's file version), which moves at every release.
constexpr uint16_t kContractVersion = 0x0100;

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

// The driver's own settings of a channel's line (SK5820.ini), kept in the
// channel record's spare bytes. Written by the start and the port requests;
// every field reads its default when 0, and a value out of range counts as
// its default, so a record never started reads as the defaults.
struct LineSettings {
    uint8_t answerEndWindow;  // 1: a single answer waits its whole window; else it ends with its frame
    uint8_t blockEndQuiet;    // 1: a block answer ends after a quiet gap; else its whole window
    uint8_t crcUnchecked;     // 1: answers are not checked; else whole frames with good CRCs only
    uint8_t traceOn;          // 1: the field trace for this channel
    uint16_t blockQuietMs;    // the quiet gap, 20 to 4000 (0: 300)
    uint16_t sendGapMs;       // a pause before each frame sent, 0 to 1000
    uint8_t frameNumbersUnchecked;  // 1: a block answer's frame numbers are not checked; else they are
    // The bad-line settings hold their value plus one, so that 0 reads as the default.
    uint8_t readRetriesPlus1;    // a read's sessions run again on a spoiled answer, 0 to 5 (2)
    uint8_t lineDownAfterPlus1;  // requests in a row without an announce answer before the line is down, 0 never (3)
    uint16_t lineRetryS;         // while down, a read goes to the line at most this often, 1 to 300 (10)
    uint16_t statsMinutesPlus1;  // the counters line every so many minutes, 0 never (60)
    uint8_t changesUnconfirmed;  // 1: a changed value is taken from one answer; else two must agree
};
static_assert(sizeof(LineSettings) == 16);

// What the driver has learnt of a channel's gateway while it talks to it,
// kept in the channel record's spare bytes; cleared whenever the channel's
// settings are read (start, restart, a port request).
enum : uint8_t { kNumberingUnknown = 0, kNumberingSeen = 1, kNumberingAbsent = 2 };
struct LineState {
    uint8_t numbering;  // kNumbering*: whether the gateway numbers a block answer's frames
    uint8_t spare[15];  // for later: 0
};
static_assert(sizeof(LineState) == 16);

// Why a request failed, as the channel's counters sort it.
enum : uint8_t {
    kFailNoAnnounce,  // the gateway never answered the announce
    kFailNoAnswer,    // the announce was answered, the request was not (silence, or no frame)
    kFailCrc,         // an answer frame whose CRC does not check
    kFailCut,         // an answer frame cut short
    kFailTooShort,    // an answer too short for its value
    kFailOther,       // an answer that is not this request's, or not a block answer
    kFailLostFrame,   // a block answer with a frame lost or twice
    kFailRefused,     // the panel refused the write
    kFailAtOnce,      // failed at once while the line was down: nothing sent
    kFailNoGoodBye,   // the block session's goodbye was never accepted
    kFailNoRequest,   // the gate's command makes no request: nothing sent
    kFailCauseCount
};

// What one channel did, counted with 64 bits: at 20 requests a second none
// of them wraps in billions of years.
struct LineCounters {
    uint64_t reads;                         // reads that went to the line or failed at once
    uint64_t readsGood;
    uint64_t readsGoodAfterRetry;           // good reads that needed a session run again
    uint64_t retries;                       // read sessions run again on a spoiled answer
    uint64_t writes;
    uint64_t writesGood;
    uint64_t readsFailed[kFailCauseCount];  // by cause
    uint64_t writesFailed[kFailCauseCount];
    uint64_t bytesIn;
    uint64_t bytesOut;
    uint64_t downMs;                        // time the line was down
    uint64_t readsConfirmed;                // good reads of a new value that a second answer confirmed
    uint64_t disagreements;                 // answers of one read that disagreed with the answer before
    uint64_t readsNotConfirmed;             // reads failed: no two answers agreed
    uint64_t spare[1];                      // for later counts: 0
};
static_assert(sizeof(LineCounters) == 8 * (6 + 2 * kFailCauseCount + 3 + 4));

// How the channel's line is doing: whether it is down, and its counters.
// Zeroed when the channel starts; the down state also ends (its time
// counted) whenever the settings are read (restart, a port request).
struct LineHealth {
    uint8_t down;               // 1: requests failed to get an announce answer too often; reads fail at once
    uint8_t silentInARow;       // requests in a row whose announce was never answered (stops at 255)
    uint8_t started;            // 1: the channel started with a line; its counters count
    uint8_t spare[5];           // for later: 0
    uint64_t downSinceMs;       // the clock (CommNowMs) when the line went down
    uint64_t downCountedToMs;   // the clock up to which its down time is in the counters
    uint64_t lastTryMs;         // the clock when a read last went to the line while down
    uint64_t failedAtOnce;      // reads failed at once since the line went down
    uint64_t periodStartMs;     // the clock when the counters line's period began
    uint64_t channelStartMs;    // the clock when the channel started
    LineCounters total;         // since the channel started
    LineCounters period;        // since the last counters line
};
static_assert(sizeof(LineHealth) == 56 + 2 * sizeof(LineCounters));

// The channel's field trace file (trace_file in SK5820.ini), kept in the
// channel record's spare bytes. Set whenever the settings are read (the file
// open before is closed first); zeroed when a new record starts, so a record
// never started has no path and no file. Only the driver opens and closes
// `file`.
struct TraceFile {
    char path[260];   // the port's own file, folder and port name added; empty: the trace goes to the host log
    uint32_t capKb;   // trace_file_kb: the file and its .1 together hold at most this, 64 to 1048576 (0: 10240)
    Handle file;      // the open file, null when none is open
    uint32_t bytes;   // what the open file holds
    uint8_t failed;   // 1: the file could not be opened, written or turned over since the settings were read
    uint8_t pathCut;  // 1: the port's file name did not fit `path`: it is never opened
    uint8_t spare[6];  // for later: 0
};
static_assert(sizeof(TraceFile) == AtWidth(280, 284));

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
    LineSettings line;          // 2842: the driver's own, never the host's
    LineState lineState;        // 2858: the driver's own, never the host's
    LineHealth health;          // 2874: the driver's own, never the host's
    TraceFile traceFile;        // 3490: the driver's own, never the host's
    uint8_t unused3770[AtWidth(1124, 1120)];  // 3770
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

static_assert(sizeof(VpiRequest) == AtWidth(20, 28));
static_assert(offsetof(VpiRequest, channel) == 0);
static_assert(offsetof(VpiRequest, function) == AtWidth(4, 8));
static_assert(offsetof(VpiRequest, channelIndex) == AtWidth(8, 12));
static_assert(offsetof(VpiRequest, params) == AtWidth(16, 20));

static_assert(sizeof(PortSettings) == 8);
static_assert(offsetof(PortSettings, baudRate) == 0);
static_assert(offsetof(PortSettings, dataBits) == 2);
static_assert(offsetof(PortSettings, stopBits) == 4);
static_assert(offsetof(PortSettings, parity) == 6);

static_assert(sizeof(PortDescriptor) == 22);
static_assert(offsetof(PortDescriptor, portName) == 0);
static_assert(offsetof(PortDescriptor, settings) == 12);
static_assert(offsetof(PortDescriptor, lineFlags) == 20);

static_assert(sizeof(VpiChannel) == AtWidth(4910, 4934));
static_assert(offsetof(VpiChannel, readTimeout) == 0);
static_assert(offsetof(VpiChannel, enabled) == 4);
static_assert(offsetof(VpiChannel, port) == 8);
static_assert(offsetof(VpiChannel, portDesc) == AtWidth(12, 16));
static_assert(offsetof(VpiChannel, name) == AtWidth(34, 38));
static_assert(offsetof(VpiChannel, version) == AtWidth(65, 69));
static_assert(offsetof(VpiChannel, commBusyName) == AtWidth(67, 71));
static_assert(offsetof(VpiChannel, syncThreadName) == AtWidth(99, 103));
static_assert(offsetof(VpiChannel, VpiClientName) == AtWidth(164, 168));
static_assert(offsetof(VpiChannel, instanceNumber) == AtWidth(175, 179));
static_assert(offsetof(VpiChannel, channelTag) == AtWidth(179, 183));
static_assert(offsetof(VpiChannel, syncEvent) == AtWidth(182, 186));
static_assert(offsetof(VpiChannel, commBusyMutex) == AtWidth(186, 194));
static_assert(offsetof(VpiChannel, catchThread) == AtWidth(194, 206));
static_assert(offsetof(VpiChannel, catchThreadId) == AtWidth(198, 214));
static_assert(offsetof(VpiChannel, valueTail) == AtWidth(202, 218));
static_assert(offsetof(VpiChannel, valueHead) == AtWidth(206, 226));
static_assert(offsetof(VpiChannel, txBuffer) == AtWidth(210, 234));
static_assert(offsetof(VpiChannel, rxBuffer) == AtWidth(338, 362));
static_assert(offsetof(VpiChannel, txCount) == AtWidth(2838, 2862));
static_assert(offsetof(VpiChannel, rxCount) == AtWidth(2840, 2864));
static_assert(offsetof(VpiChannel, line) == AtWidth(2842, 2866));
static_assert(offsetof(VpiChannel, lineState) == AtWidth(2858, 2882));
static_assert(offsetof(VpiChannel, health) == AtWidth(2874, 2898));
static_assert(offsetof(VpiChannel, traceFile) == AtWidth(3490, 3514));
static_assert(offsetof(VpiChannel, unused3770) == AtWidth(3770, 3798));
static_assert(offsetof(VpiChannel, intFileName) == AtWidth(4894, 4918));

static_assert(sizeof(PointRecord) == AtWidth(44, 52));
static_assert(offsetof(PointRecord, address) == 0);
static_assert(offsetof(PointRecord, argA) == AtWidth(8, 12));
static_assert(offsetof(PointRecord, argB) == AtWidth(12, 16));
static_assert(offsetof(PointRecord, argC) == AtWidth(16, 20));
static_assert(offsetof(PointRecord, valueKind) == AtWidth(28, 32));
static_assert(offsetof(PointRecord, count) == AtWidth(32, 36));
static_assert(offsetof(PointRecord, value) == AtWidth(40, 44));

static_assert(sizeof(GateRecord) == AtWidth(36, 40));
static_assert(offsetof(GateRecord, address) == 0);
static_assert(offsetof(GateRecord, gateType) == AtWidth(8, 12));
static_assert(offsetof(GateRecord, slotA) == AtWidth(16, 20));
static_assert(offsetof(GateRecord, slotB) == AtWidth(20, 24));
static_assert(offsetof(GateRecord, slotC) == AtWidth(24, 28));
static_assert(offsetof(GateRecord, valueKind) == AtWidth(28, 32));
static_assert(offsetof(GateRecord, count) == AtWidth(32, 36));

static_assert(sizeof(DriverInfo) == AtWidth(32, 40));
static_assert(offsetof(DriverInfo, infoCode) == 0);
static_assert(offsetof(DriverInfo, name) == 4);
static_assert(offsetof(DriverInfo, banner) == AtWidth(8, 12));
static_assert(offsetof(DriverInfo, channelSize) == AtWidth(12, 20));
static_assert(offsetof(DriverInfo, infoClass) == AtWidth(16, 24));
static_assert(offsetof(DriverInfo, defaultPort) == AtWidth(20, 28));
static_assert(offsetof(DriverInfo, infoFlag) == AtWidth(28, 36));

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
