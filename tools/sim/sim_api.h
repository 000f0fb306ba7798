// The gateway-and-panel simulator as a library (static library `sk_sim`,
// Windows only): a Windows test program starts the simulated SK gateway with
// its 5820 panel on one COM port, drives the driver on the other end of a
// null-modem pair, and then looks at what the simulator saw.
//
//   sksim::SimOptions options;
//   options.port = PeerCom(0);                        // "COM401" or "\\.\COM401"
//   options.modelFile = "tools/sim/models/panel.json"; // or options.modelJson = "{...}"
//   std::string error;
//   sksim::Simulator* sim = sksim::SimStart(options, &error);
//   ... run the driver on DriverCom(0) ...
//   sksim::SimCounters seen = sksim::SimGetCounters(sim);
//   sksim::SimStop(sim);
//
// The simulator runs on its own thread; every function below may be called
// from any other thread while it runs. Nothing here throws and nothing prints:
// the trace goes to SimTraceLines() and, when set, to options.onTrace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sksim {

// Kinds of answer the gateway sends; used as bits in the fault masks below.
enum ReplyKind : uint32_t {
    kReplyAnnounce = 1u << 0,  // the 11-byte answer to "SK GATEWAY"
    kReplyRequest = 1u << 1,   // the answer to the request frame (all its frames)
    kReplyZlz = 1u << 2,       // the answer to the block session's Zlz frame
    kReplyEos = 1u << 3,       // the answer to the end-of-session frame
    kReplyGoodbye = 1u << 4,   // the answer to the goodbye frame
    kReplyAll = 0x1Fu,
};

// Fault switches. All zero/false (the default) is a cooperative gateway.
// Counts: a positive count applies to that many announces and then runs out
// (SimGetFaults shows what is left); a negative count applies for ever.
struct SimFaults {
    int32_t ignoreAnnounce = 0;     // announces not answered at all
    int32_t announceWrongSeq = 0;   // announces answered with sequence byte 0x11 instead of 0x10
    uint32_t mute = 0;              // ReplyKind bits never answered (silence); see the helpers below
    uint32_t garbage = 0;           // answered with bytes that are no frame (same length)
    uint32_t corruptCrc = 0;        // answered with the CRC of every frame inverted
    uint32_t pieces = 0;            // answered in pieces of pieceBytes with piecePauseMs between them
    uint32_t pieceBytes = 3;
    uint32_t piecePauseMs = 40;
    uint32_t late = 0;              // answered only after lateMs
    uint32_t lateMs = 5500;         // past every time-out of the driver (2 s, 1 s, 4 s, 5 s)
    uint32_t trailing = 0;          // answered with trailingBytes extra bytes (trailingByte) behind the frame(s)
    uint32_t trailingBytes = 4;
    uint8_t trailingByte = 0xEE;
    bool dropContinuation = false;  // long block answers: only the first frame is sent
    // One frame of a long block answer is not sent: kDropFirst the first
    // continuation, kDropLast the last one (kDropNone: off). dropFrameCounted:
    // the gateway numbered the frame it lost, so the frames behind it and the
    // Zlz answer keep their numbers and the gap shows; otherwise the frames
    // are numbered as if the gateway never sent it (the one before a dropped
    // last frame then ends the answer, type 0x02), and nothing shows the loss.
    uint32_t dropFrame = 0;
    bool dropFrameCounted = false;
    // The request's answer with another command's letter: the first payload
    // byte of each of its frames becomes otherLetter, the CRC made to check (0: off).
    uint8_t otherLetter = 0;
    // Requests whose letter is in this list are answered with the panel's
    // refusal, payload 15 letter ("sz": system status and zone status).
    std::string refuseLetters;
    bool emptyAnswer = false;       // the request is answered with one frame of no payload (good CRC)
    bool refuseWrites = false;      // every write (B, U, D, I, Y) is answered letter 15 and not carried out
    uint32_t hangUp = 0;            // instead of this answer the line is closed (hung up) ...
    uint32_t hangUpMs = 3000;       // ... and opened again after this long (0: stays closed until SimStop)
    uint32_t changeValue = 0;       // answered with one byte of the value changed (XOR 01), the frame keeping
                                    // the CRC of its true bytes ...
    uint32_t changeValueFrame = 0;  // ... in this frame of the answer (0: the first, 1: the first continuation)
    uint32_t cutShort = 0;          // answered with the last frame cut short ...
    uint32_t cutBytes = 4;          // ... by this many bytes (at most the whole frame)
    // The switches on the request's answer (garbage, corruptCrc, changeValue,
    // cutShort, otherLetter, ...) spoil only this many request answers, then
    // the gateway answers well again (a bad moment on the line); -1: every one.
    int32_t spoiledAnswers = -1;
    // The noisy line: every bit the simulator sends flips with probability
    // noiseBer (0: a clean line), the same bits for the same seed. Switching
    // the noise on, or giving another seed, starts the seed's sequence anew;
    // SimSetFaults with noiseBer 0 stops it.
    double noiseBer = 0;
    uint32_t noiseSeed = 1;
    // The weak CRC: this share (0: off, up to 1) of the answers to single reads
    // (every read but the loop list; not writes, not refusals) goes out with a
    // two-bit error the line's CRC cannot see: one bit of the last payload byte
    // and the same bit of the CRC's low byte, or of the second-last payload
    // byte and the CRC's high byte (one of 16, picked by weakCrcSeed). The
    // answer after a weakened one is always true: at 1, weakened and true
    // answers take turns. Applied after the other switches, before the noise;
    // spoiledAnswers does not limit it. Setting the switches starts the seed's
    // sequence anew (the next answer may be weakened).
    double weakCrcRate = 0;
    uint32_t weakCrcSeed = 1;
};

// Which frame the dropFrame switch leaves out.
enum DropFrame : uint32_t {
    kDropNone = 0,
    kDropFirst = 1,  // the first continuation frame
    kDropLast = 2,   // the last continuation frame
};

// The dead line: from afterMs after the start the gateway answers nothing at
// all (what comes in is read and dropped, nothing goes out) until forMs later,
// then answers as before (forMs 0: it stays dead). flap: dead and alive in
// turns for ever: alive afterMs, dead forMs, alive afterMs, ... (both must be
// more than 0).
struct SimDeadLine {
    bool on = false;
    uint32_t afterMs = 0;
    uint32_t forMs = 0;
    bool flap = false;
};

// A timed panel event: atMs after the start the status word of a point, zone,
// group or of the system becomes `value`, and later reads answer with it.
enum SimEventKind : uint32_t {
    kEventPoint = 0,   // loop, number: the point
    kEventZone = 1,    // number: the zone
    kEventGroup = 2,   // number: the group (its status word; the active count stays)
    kEventSystem = 3,  // the system status word (no number)
};

struct SimEvent {
    uint32_t atMs = 0;
    uint32_t kind = kEventZone;
    uint16_t loop = 0;
    uint16_t number = 0;
    uint16_t value = 0;
    uint32_t line = 0;  // its line in the events file, for the messages (0: not from a file)
};

// Reads an events file's text: one event a line, "<seconds> <what> <number>
// <value>" (format in docs/simulator.md); blank lines and lines starting with
// '#' are skipped. The events come out in time order (file order for the same
// time). False, and "line N: what is wrong", on the first bad line.
bool ParseEvents(const std::string& text, std::vector<SimEvent>* events, std::string* error);

// The three "go silent" switches, as mute masks.
constexpr uint32_t kSilentAfterAnnounce = kReplyRequest | kReplyZlz | kReplyEos | kReplyGoodbye;
constexpr uint32_t kSilentAfterRequest = kReplyZlz | kReplyEos | kReplyGoodbye;
constexpr uint32_t kSilentBeforeGoodbye = kReplyGoodbye;

// What the simulator has seen and done since it started (or since SimResetCounters).
struct SimCounters {
    uint32_t announces = 0;         // "SK GATEWAY" texts received
    uint32_t announcesIgnored = 0;  // of those, left unanswered by the ignoreAnnounce switch
    uint32_t sessions = 0;          // sessions opened (announces answered)
    uint32_t sessionsClosed = 0;    // sessions that ended with an answered goodbye
    uint32_t singleSessions = 0;    // of the closed ones: single sessions (end-of-session 0x22, no Zlz)
    uint32_t blockSessions = 0;     // of the closed ones: block sessions (Zlz before end-of-session)
    uint32_t framesReceived = 0;    // complete frames received (good CRC or not)
    uint32_t badCrc = 0;            // frames whose CRC did not match
    uint32_t badSequence = 0;       // frames whose sequence byte was not the expected one
    uint32_t badFrames = 0;         // other faults of the driver: wrong type or length, unknown letter,
                                    // bad parameter, frame out of order or outside a session
    uint32_t garbageBytes = 0;      // received bytes that belonged to no frame and no announce
    uint32_t incompleteFrames = 0;  // frames cut off (nothing more came for a while)
    uint32_t requests = 0;          // request frames answered (reads and writes)
    uint32_t writes = 0;            // of those, accepted writes (B, U, D, I, Y) that changed the model
    uint32_t repeats = 0;           // session frames received again (the driver re-sent them)
    uint32_t framesSent = 0;        // frames written to the line (fault-altered ones included)
    uint32_t bytesSent = 0;
    uint32_t hangUps = 0;           // times the line was closed by the hangUp switch
    uint32_t noisyFrames = 0;       // frames sent with at least one bit flipped by the noise
    uint32_t flippedBits = 0;       // bits the noise flipped
    uint32_t weakAnswers = 0;       // answers sent with a two-bit error their CRC cannot see (weakCrcRate)
    uint32_t droppedWhileDead = 0;  // announces and frames received while the line was dead (not answered)
    uint32_t eventsApplied = 0;     // timed panel events carried out
};

struct SimOptions {
    std::string port;        // "COM401", "\\.\COM401" (the \\.\ is added when missing)
    uint32_t baud = 19200;   // 8 data bits, no parity, one stop bit
    std::string modelFile;   // JSON model file, or ...
    std::string modelJson;   // ... the JSON text itself (wins when not empty)
    SimFaults faults;        // fault switches from the start
    bool rawBytes = false;   // trace the raw bytes of every frame too
    size_t traceLimit = 20000;  // trace lines kept (oldest dropped first)
    uint32_t pollMs = 0;     // 0: a read ends 1 ms after the last byte, and each answer goes out when due;
                             // N: look at the line every N ms instead (answers up to N ms later)
    bool pace = false;       // write one byte every 10/baud s, as a line at that rate would (default: at once)
    uint32_t frameGapMs = 0; // a pause between the frames of a multi-frame answer
    SimDeadLine deadLine;    // the dead (or flapping) line; off by default
    std::vector<SimEvent> events;  // timed panel events (ParseEvents reads them from a file's text)
    std::function<void(const std::string&)> onTrace;  // called on the simulator thread for each line
};

struct Simulator;  // opaque

// Loads the model, opens the port and starts the simulator thread. Returns
// nullptr and a readable reason in *error when the model, the dead line, an
// event (one that names what the model does not have) or the port is bad.
Simulator* SimStart(const SimOptions& options, std::string* error);
// Stops the thread, closes the port and frees the simulator. nullptr is fine.
void SimStop(Simulator* sim);

void SimSetFaults(Simulator* sim, const SimFaults& faults);
SimFaults SimGetFaults(const Simulator* sim);

SimCounters SimGetCounters(const Simulator* sim);
void SimResetCounters(Simulator* sim);

// Trace lines so far (each without its newline), and clearing them.
std::vector<std::string> SimTraceLines(const Simulator* sim);
void SimClearTrace(Simulator* sim);

// Waits until sessionsClosed reaches `closed` or timeoutMs passes; true when reached.
bool SimWaitSessionsClosed(const Simulator* sim, uint32_t closed, uint32_t timeoutMs);

// The panel model as it stands now (writes applied, clock as read now), as JSON text
// in the model file's format.
std::string SimModelJson(const Simulator* sim);

// Closes the line at once (as the hangUp switch does) for hangUpMs of the current faults.
void SimHangUpNow(Simulator* sim);

}  // namespace sksim
