// The simulated gateway's protocol engine: bytes in, bytes out, with time.
// It knows nothing of serial ports or threads: the runner feeds it what the
// line delivered (Receive), lets it notice quiet spells (Tick), and writes
// the chunks it hands out when they are due (TakeDue).
//
// A session, as the gateway keeps it:
//   "SK GATEWAY"            -> announce answer, our frame 1, sequence 0x10 (11 bytes)
//   request frame (0x11)    -> the panel's answer, our frames 2.. (one frame, or a
//                              first frame and continuation frames for a long list)
//   single session:  end-of-session (length 1, 06) -> 11 bytes, first payload byte 01
//                    goodbye (length 0)            -> 10 bytes, length 1
//   block session:   Zlz (length 0) -> 11 bytes; end-of-session -> 11 bytes; goodbye -> 10 bytes
// Every frame the driver sends is checked: CRC, type 0x02, sequence byte
// (high nibble: its own frame number, one up each frame; low nibble: our
// latest frame number), length and parameters. Whatever is wrong is counted
// and flagged "!!" in the trace. A frame sent again byte for byte is answered
// again with the same answer. A frame with a bad CRC is not answered.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/sim/frame_parser.h"
#include "tools/sim/model.h"
#include "tools/sim/noise.h"
#include "tools/sim/sim_api.h"
#include "tools/sim/wire.h"

namespace sksim {

struct OutChunk {
    uint64_t dueMs = 0;
    Bytes bytes;
    bool hangUp = false;   // close the line instead (bytes empty) ...
    uint32_t hangUpMs = 0; // ... and open it again after this long (0: stay closed)
    uint32_t frames = 0;   // frames this chunk completes (for the counters)
    uint32_t noisyFrames = 0;  // of the answer's frames, those the noise changed (counted with its first chunk)
    uint32_t flippedBits = 0;
    uint32_t weakAnswers = 0;  // the answer went out with an error its CRC cannot see (counted with its first chunk)
    std::vector<std::string> trace;  // what this chunk is, traced when it goes out
};

// Quiet time after which a partly received text or frame is given up.
constexpr uint64_t kStallMs = 250;

class Engine {
public:
    Engine(Model model, uint64_t startMs, bool rawBytes);

    // New switches; the noise starts its seed's sequence anew when it is
    // switched on or its rate or seed changes, the weak CRC always.
    void SetFaults(const SimFaults& faults);
    // A pause between the frames of a multi-frame answer (0: none).
    void SetFrameGapMs(uint32_t ms) { frameGapMs_ = ms; }
    // How long the runner takes to write a byte when it paces its writes (0:
    // it does not): a pause after a chunk (a frame gap, a piece pause) then
    // starts when the chunk's last byte is out.
    void SetPaceUsPerByte(uint32_t us) { paceUsPerByte_ = us; }
    const SimFaults& faults() const { return faults_; }
    // The dead (or flapping) line, by the engine's clock from its start (checked by the caller: CheckDeadLine).
    void SetDeadLine(const SimDeadLine& line) { deadLine_ = line; }
    // The timed panel events; false, and which one, when one names what the model does not have.
    bool SetEvents(std::vector<SimEvent> events, std::string* error);

    void Receive(const uint8_t* data, size_t length, uint64_t nowMs);
    void Tick(uint64_t nowMs);
    // The next chunk whose time has come, in order; false when none is due.
    bool TakeDue(uint64_t nowMs, OutChunk* out);
    // When the next chunk is due (UINT64_MAX: nothing waits).
    uint64_t NextDueMs() const;

    // The runner closed the line (hang-up): pending output is dropped, the session is over.
    void LineClosed(uint64_t nowMs, uint32_t forMs);
    void LineOpened(uint64_t nowMs);
    // Queues a hang-up now (the run-time API's "hang up").
    void HangUpNow(uint64_t nowMs);
    // A line of the runner's own in the trace (port opened, stopped, ...).
    void Note(uint64_t nowMs, const std::string& text);

    // Trace lines since the last call.
    std::vector<std::string> TakeTrace();
    const SimCounters& counters() const { return counters_; }
    void ResetCounters() { counters_ = SimCounters{}; }
    const Model& model() const { return model_; }

private:
    enum class Phase { Idle, Announced, Replied, ZlzDone, EosDone, Closed };
    struct Session {
        Phase phase = Phase::Idle;
        unsigned gwFrame = 0;    // our latest frame number
        unsigned drvFrame = 0;   // the driver's latest frame number
        bool block = false;      // a Zlz came: block session
        uint8_t letter = 0;      // the request's letter
        bool write = false;
        bool singleRead = false; // a read answered with the panel's values, not the loop list (weak-CRC switch)
        bool closedCounted = false;
        uint64_t startMs = 0;
        uint64_t lastMs = 0;     // last thing received from the driver
        Bytes lastFrame;         // the driver's last frame, to spot re-sends
        ReplyKind lastKind = kReplyAnnounce;  // and what we answered it with
        std::vector<Bytes> lastAnswer;
        int latestSent = -1;     // the frame number (nibble) the driver last got, when a counted
                                 // dropped frame ended our answer (-1: our latest frame went out)
    };

    // Brings the timed things up to nowMs: the events due, then the dead line.
    void Advance(uint64_t nowMs);
    void ApplyDueEvents(uint64_t nowMs);
    void FollowDeadLine(uint64_t nowMs);
    // What came in while the line was dead: traced, counted, not answered.
    void DropDead(const Parsed& item, uint64_t nowMs);
    void Handle(const Parsed& item, uint64_t nowMs);
    void OnAnnounce(uint64_t nowMs);
    void OnFrame(const Bytes& bytes, uint64_t nowMs);
    // A frame with a bad CRC, or the same frame again: dealt with here (true).
    bool BadOrRepeated(const Bytes& bytes, const FrameView& v, uint64_t nowMs);
    // Whether the frame fits the session's phase (flagged and counted when not).
    bool FitsPhase(const Bytes& bytes, const FrameView& v, uint64_t nowMs);
    void OnRequest(const FrameView& v, uint64_t nowMs);
    void OnSessionFrame(ReplyKind kind, const FrameView& v, uint64_t nowMs);
    bool CheckSequence(const FrameView& v, unsigned expectOwn);
    // Sends frames as the answer of `kind`, through the fault switches; the number of our frame numbers
    // the answer took: the frames that go out, and a dropped frame that the gateway counted.
    // `switchNotes` go under the answer, before the notes of the switches applied here.
    // Send with the switches in effect for this answer (spoiledAnswers spent: a clean one).
    uint32_t SendAnswer(ReplyKind kind, const std::vector<Bytes>& frames, const std::string& what, uint64_t nowMs,
                        const std::string& after, const std::vector<std::string>& switchNotes);
    uint32_t Send(ReplyKind kind, const std::vector<Bytes>& frames, const std::string& what, uint64_t nowMs,
                  const std::string& after = std::string(), const std::vector<std::string>& switchNotes = {});
    // The switches that change the frames themselves (empty, drop, letter, value, CRC, cut); notes for
    // the trace; the frames the gateway numbered but did not send.
    uint32_t AlterFrames(ReplyKind kind, std::vector<Bytes>& frames, std::vector<std::string>& notes);
    // The drop-frame switch: one frame of a long request answer left out, the others renumbered unless the
    // gateway counted it; the frames numbered but not sent (0 or 1).
    uint32_t DropFrame(std::vector<Bytes>& frames, std::vector<std::string>& notes);
    // The weak-CRC switch on a single read's answer: when its draw says so, one of the 16 two-bit errors
    // the CRC cannot see in the answer's last frame; a note for the trace.
    void WeakenCrc(Bytes& frame, std::vector<std::string>& notes, OutChunk& counts);
    // The noise over each frame and the bytes behind the answer; notes for the trace.
    void AddNoise(std::vector<Bytes>& frames, Bytes& tail, std::vector<std::string>& notes, OutChunk& counts);
    // The trace lines of an answer's frames.
    std::vector<std::string> FrameLines(const std::vector<Bytes>& frames, const std::string& what) const;
    // Queues the answer's bytes from `due` on: in pieces when the pieces switch
    // says so, a frame gap apart when one is set.
    void Queue(ReplyKind kind, const std::vector<Bytes>& pieces, uint64_t due, std::vector<std::string> lines,
               OutChunk counts, uint32_t frames);
    // The note of a session that the goodbye answer closes (empty once counted), and the counting.
    std::string ClosingNote(uint64_t nowMs) const;
    void CountClosed();
    void Unexpected(const Bytes& bytes, uint64_t nowMs, const std::string& why);
    void Flag(const std::string& text);
    void Sub(const std::string& text);
    void Line(uint64_t nowMs, const std::string& text);
    std::string Stamp(uint64_t nowMs) const;
    std::string DescribeFrame(const char* arrow, const Bytes& frame) const;
    const char* PhaseName(Phase phase) const;
    uint8_t NoiseByte();

    Model model_;
    SimFaults faults_;
    int32_t requestAnswers_ = 0;  // request answers sent since the switches were set
    SimCounters counters_;
    FrameParser parser_;
    Session session_;
    std::deque<OutChunk> out_;
    std::vector<std::string> trace_;
    uint64_t startMs_;
    uint64_t lastRxMs_ = 0;
    uint64_t lastDueMs_ = 0;
    bool rawBytes_;
    bool lineClosed_ = false;
    uint32_t noise_ = 0x2545F491u;  // the garbage switch's bytes
    LineNoise lineNoise_;
    WeakCrcDraws weakCrc_;
    bool weakCrcSpent_ = false;  // the spoiled answers are spent: this answer goes out true
    uint32_t frameGapMs_ = 0;
    uint32_t paceUsPerByte_ = 0;
    SimDeadLine deadLine_;
    bool dead_ = false;
    std::vector<SimEvent> events_;  // in time order
    size_t nextEvent_ = 0;
};

}  // namespace sksim
