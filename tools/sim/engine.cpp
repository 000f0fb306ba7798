#include "tools/sim/engine.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <utility>

#include "tools/sim/panel.h"
#include "tools/sim/timeline.h"

namespace sksim {

namespace {

constexpr size_t kShownPayload = 16;
// The arrows point as in the driver's field trace, from the PC to the panel:
// "->" for what the PC sent us, "<-" for what we send the PC.
constexpr const char* kIn = "->";
constexpr const char* kOut = "<-";
const std::string kIndent(10, ' ');

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

const char* KindName(ReplyKind kind) {
    switch (kind) {
        case kReplyAnnounce: return "announce";
        case kReplyRequest: return "request";
        case kReplyZlz: return "Zlz";
        case kReplyEos: return "end-of-session";
        case kReplyGoodbye: return "goodbye";
        default: return "?";
    }
}

bool IsLetter(uint8_t b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '|';
}

std::string PayloadText(const uint8_t* p, size_t n) {
    if (n == 0) return "-";
    std::string text = IsLetter(p[0]) ? std::string("'") + static_cast<char>(p[0]) + "'" : Hex(p, 1);
    const size_t shown = std::min(n, kShownPayload);
    if (shown > 1) text += " " + Hex(p + 1, shown - 1);
    if (n > shown) text += Printf(" ..(+%u)", static_cast<unsigned>(n - shown));
    return text;
}

std::string RequestText(const FrameView& v) {
    if (v.length == 0) return "request without a letter";
    std::string text = Printf("request '%c' %s", static_cast<char>(IsLetter(v.payload[0]) ? v.payload[0] : '?'),
                              LetterName(v.payload[0]));
    if (v.length == 3) text += Printf(" (%u)", GetWord(v.payload + 1));
    if (v.length == 5) text += Printf(" (%u, %u)", GetWord(v.payload + 1), GetWord(v.payload + 3));
    if (v.length == 13) {
        text += Printf(" (s %u m %u h %u, %u, %u, year-1900 %u)", GetWord(v.payload + 1), GetWord(v.payload + 3),
                       GetWord(v.payload + 5), GetWord(v.payload + 7), GetWord(v.payload + 9),
                       GetWord(v.payload + 11));
    }
    return text;
}

// A read the panel answers with its values in one frame: every read but the
// loop list ('p' loop 0), which only a block session asks for.
bool IsSingleRead(const FrameView& v) {
    if (v.length == 0 || IsWriteLetter(v.payload[0])) return false;
    return !(v.payload[0] == 'p' && v.length == 5 && GetWord(v.payload + 3) == 0);
}

// A whole frame's payload (to build it again with another type, sequence byte or letter).
Bytes PayloadOf(const Bytes& frame) {
    return Bytes(frame.begin() + kHeaderSize, frame.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + frame[6]));
}

}  // namespace

Engine::Engine(Model model, uint64_t startMs, bool rawBytes)
    : model_(std::move(model)), startMs_(startMs), lastRxMs_(startMs), lastDueMs_(startMs), rawBytes_(rawBytes) {}

std::string Engine::Stamp(uint64_t nowMs) const {
    const uint64_t ms = nowMs > startMs_ ? nowMs - startMs_ : 0;
    return Printf("%5u.%03u", static_cast<unsigned>(ms / 1000), static_cast<unsigned>(ms % 1000));
}

void Engine::Line(uint64_t nowMs, const std::string& text) {
    trace_.push_back(Stamp(nowMs) + " " + text);
}

void Engine::Flag(const std::string& text) {
    trace_.push_back(kIndent + "!! " + text);
}

void Engine::Sub(const std::string& text) {
    trace_.push_back(kIndent + "-- " + text);
}

void Engine::Note(uint64_t nowMs, const std::string& text) {
    Line(nowMs, "-- " + text);
}

std::vector<std::string> Engine::TakeTrace() {
    std::vector<std::string> lines;
    lines.swap(trace_);
    return lines;
}

const char* Engine::PhaseName(Phase phase) const {
    switch (phase) {
        case Phase::Idle: return "idle";
        case Phase::Announced: return "announced, waiting for the request";
        case Phase::Replied: return "answered, waiting for Zlz or end-of-session";
        case Phase::ZlzDone: return "Zlz answered, waiting for end-of-session";
        case Phase::EosDone: return "end-of-session answered, waiting for goodbye";
        case Phase::Closed: return "closed";
    }
    return "?";
}

std::string Engine::DescribeFrame(const char* arrow, const Bytes& frame) const {
    FrameView v;
    if (!ViewFrame(frame, &v)) return std::string(arrow) + " " + Hex(frame);
    return Printf("%s T%02X S%02X L%-3u %-30s crc %04X %s", arrow, v.type, v.sequence, v.length,
                  PayloadText(v.payload, v.length).c_str(), v.crcCarried, v.crcOk() ? "ok " : "BAD");
}

void Engine::SetFaults(const SimFaults& faults) {
    requestAnswers_ = 0;
    if (faults.noiseBer != faults_.noiseBer || faults.noiseSeed != faults_.noiseSeed || !lineNoise_.on()) {
        lineNoise_.Start(faults.noiseBer, faults.noiseSeed);
    }
    weakCrc_.Start(faults.weakCrcRate, faults.weakCrcSeed);
    faults_ = faults;
}

uint8_t Engine::NoiseByte() {
    noise_ = noise_ * 1103515245u + 12345u;
    const uint8_t b = static_cast<uint8_t>(noise_ >> 16);
    return b == kSync[0] ? static_cast<uint8_t>(0x54) : b;  // never a sync byte
}

bool Engine::SetEvents(std::vector<SimEvent> events, std::string* error) {
    for (size_t i = 0; i < events.size(); ++i) {
        if (EventStatus(model_, events[i]) == nullptr) {
            *error = EventPlace(events[i], i + 1) + ": the model has no " + EventTarget(events[i]);
            return false;
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const SimEvent& a, const SimEvent& b) { return a.atMs < b.atMs; });
    events_ = std::move(events);
    nextEvent_ = 0;
    return true;
}

void Engine::Advance(uint64_t nowMs) {
    ApplyDueEvents(nowMs);
    FollowDeadLine(nowMs);
}

void Engine::ApplyDueEvents(uint64_t nowMs) {
    const uint64_t since = nowMs > startMs_ ? nowMs - startMs_ : 0;
    for (; nextEvent_ < events_.size() && events_[nextEvent_].atMs <= since; ++nextEvent_) {
        const SimEvent& e = events_[nextEvent_];
        uint16_t* status = EventStatus(model_, e);
        if (status == nullptr) continue;  // SetEvents let none of these in
        const uint16_t was = *status;
        *status = e.value;
        ++counters_.eventsApplied;
        std::string note = "event at " + SecondsText(e.atMs);
        if (e.line != 0) note += Printf(" (line %u)", e.line);
        Note(nowMs, note + Printf(": %s status 0x%04X -> 0x%04X", EventTarget(e).c_str(), was, e.value));
    }
}

void Engine::FollowDeadLine(uint64_t nowMs) {
    const uint64_t since = nowMs > startMs_ ? nowMs - startMs_ : 0;
    const bool dead = LineDeadAt(deadLine_, since);
    if (dead == dead_) return;
    dead_ = dead;
    // Whatever was on its way, and a session or frame half done, is lost with the line.
    parser_ = FrameParser{};
    session_ = Session{};
    const std::string at = SecondsText(LineTurnedAt(deadLine_, since));
    if (dead) {
        out_.clear();
        lastDueMs_ = nowMs;
        Note(nowMs, "line dead at " + at + " (" + DescribeDeadLine(deadLine_) +
                        "): nothing goes out, what comes in is dropped");
    } else {
        Note(nowMs, "line alive again at " + at + ": answering as before");
    }
}

void Engine::DropDead(const Parsed& item, uint64_t nowMs) {
    switch (item.kind) {
        case ParsedKind::Announce:
            ++counters_.droppedWhileDead;
            Line(nowMs, std::string(kIn) + " announce \"SK GATEWAY\"  dropped: the line is dead");
            return;
        case ParsedKind::Frame:
            ++counters_.droppedWhileDead;
            Line(nowMs, DescribeFrame(kIn, item.bytes) + "  dropped: the line is dead");
            if (rawBytes_) Sub("raw " + Hex(item.bytes));
            return;
        case ParsedKind::Garbage:
        case ParsedKind::Incomplete:
            Line(nowMs, Printf("%s %u bytes dropped: the line is dead", kIn, static_cast<unsigned>(item.bytes.size())));
            return;
    }
}

void Engine::Receive(const uint8_t* data, size_t length, uint64_t nowMs) {
    Advance(nowMs);
    if (lineClosed_ || length == 0) return;
    lastRxMs_ = nowMs;
    std::vector<Parsed> items;
    parser_.Feed(data, length, items);
    for (const Parsed& item : items) Handle(item, nowMs);
}

void Engine::Tick(uint64_t nowMs) {
    Advance(nowMs);
    if ((parser_.Partial() || parser_.GarbagePending()) && nowMs - lastRxMs_ >= kStallMs) {
        std::vector<Parsed> items;
        parser_.Flush(items);
        for (const Parsed& item : items) Handle(item, nowMs);
    }
    if (session_.phase != Phase::Idle && nowMs - session_.lastMs >= model_.gateway.sessionTimeoutMs) {
        if (session_.phase != Phase::Closed) {
            Note(nowMs, Printf("session over: nothing from the driver for %u ms (%s)", model_.gateway.sessionTimeoutMs,
                               PhaseName(session_.phase)));
        }
        session_ = Session{};
    }
}

void Engine::Handle(const Parsed& item, uint64_t nowMs) {
    if (dead_) {
        DropDead(item, nowMs);
        return;
    }
    if (session_.phase != Phase::Idle) session_.lastMs = nowMs;
    switch (item.kind) {
        case ParsedKind::Announce:
            OnAnnounce(nowMs);
            return;
        case ParsedKind::Frame:
            OnFrame(item.bytes, nowMs);
            return;
        case ParsedKind::Garbage:
            counters_.garbageBytes += static_cast<uint32_t>(item.bytes.size());
            Line(nowMs, Printf("%s %u stray bytes: ", kIn, static_cast<unsigned>(item.bytes.size())) +
                            Hex(item.bytes.data(), std::min<size_t>(item.bytes.size(), 48)) +
                            (item.bytes.size() > 48 ? " .." : ""));
            Flag("bytes that are neither a frame nor the announce");
            return;
        case ParsedKind::Incomplete:
            ++counters_.incompleteFrames;
            Line(nowMs, Printf("%s incomplete frame, %u bytes: ", kIn, static_cast<unsigned>(item.bytes.size())) +
                            Hex(item.bytes));
            Flag(Printf("the frame stopped short of its length (%u ms without a byte)", static_cast<unsigned>(kStallMs)));
            return;
    }
}

void Engine::OnAnnounce(uint64_t nowMs) {
    ++counters_.announces;
    Line(nowMs, std::string(kIn) + " announce \"SK GATEWAY\"");
    if (session_.phase != Phase::Idle && session_.phase != Phase::Closed) {
        Sub(Printf("the open session (%s) is dropped", PhaseName(session_.phase)));
    }
    session_ = Session{};
    if (faults_.ignoreAnnounce != 0) {
        if (faults_.ignoreAnnounce > 0) --faults_.ignoreAnnounce;
        ++counters_.announcesIgnored;
        Sub(faults_.ignoreAnnounce >= 0 ? Printf("no answer: ignore-announce switch (%d more)", faults_.ignoreAnnounce)
                                        : std::string("no answer: ignore-announce switch (always)"));
        return;
    }
    uint8_t sequence = SequenceByte(1, 0);
    std::string what = "announce answer";
    if (faults_.announceWrongSeq != 0) {
        if (faults_.announceWrongSeq > 0) --faults_.announceWrongSeq;
        sequence = SequenceByte(1, 1);
        what += " [sequence byte 0x11: announce-wrong-seq switch]";
    }
    const std::vector<Bytes> frames{BuildFrame(kTypeLast, sequence, Bytes{kAck, 0x01})};
    if (Send(kReplyAnnounce, frames, what, nowMs) == 0) return;
    ++counters_.sessions;
    session_.phase = Phase::Announced;
    session_.gwFrame = 1;
    session_.startMs = nowMs;
    session_.lastMs = nowMs;
    session_.lastKind = kReplyAnnounce;
    session_.lastAnswer = frames;
}

void Engine::Unexpected(const Bytes& bytes, uint64_t nowMs, const std::string& why) {
    Line(nowMs, DescribeFrame(kIn, bytes) + "  unexpected frame");
    if (rawBytes_) Sub("raw " + Hex(bytes));
    ++counters_.badFrames;
    Flag(why + "; not answered");
}

bool Engine::BadOrRepeated(const Bytes& bytes, const FrameView& v, uint64_t nowMs) {
    if (!v.crcOk()) {
        ++counters_.badCrc;
        Line(nowMs, DescribeFrame(kIn, bytes));
        if (rawBytes_) Sub("raw " + Hex(bytes));
        Flag(Printf("bad CRC: the frame carries %04X, its bytes give %04X; not answered", v.crcCarried,
                    v.crcComputed));
        return true;
    }
    if (session_.phase == Phase::Idle || session_.lastFrame.empty() || bytes != session_.lastFrame) return false;
    ++counters_.repeats;
    Line(nowMs, DescribeFrame(kIn, bytes) + "  the same frame again");
    if (rawBytes_) Sub("raw " + Hex(bytes));
    const std::string after = session_.lastKind == kReplyGoodbye ? ClosingNote(nowMs) : std::string();
    if (Send(session_.lastKind, session_.lastAnswer, "the same answer again", nowMs, after) > 0 &&
        session_.lastKind == kReplyGoodbye) {
        CountClosed();
    }
    return true;
}

bool Engine::FitsPhase(const Bytes& bytes, const FrameView& v, uint64_t nowMs) {
    const bool eos = v.length == 1 && v.payload[0] == kAck;
    const bool empty = v.length == 0;
    std::string why;
    switch (session_.phase) {
        case Phase::Idle:
            why = "a frame outside a session (no announce before it)";
            break;
        case Phase::Closed:
            why = "a frame outside a session (after the goodbye, before a new announce)";
            break;
        case Phase::Announced:
            break;
        case Phase::Replied:
            if (!empty && !eos) why = Printf("Zlz or end-of-session expected (%s)", PhaseName(session_.phase));
            break;
        case Phase::ZlzDone:
            if (!eos) why = Printf("end-of-session expected (%s)", PhaseName(session_.phase));
            break;
        case Phase::EosDone:
            if (!empty) why = Printf("goodbye expected (%s)", PhaseName(session_.phase));
            break;
    }
    if (why.empty()) return true;
    Unexpected(bytes, nowMs, why);
    return false;
}

void Engine::OnFrame(const Bytes& bytes, uint64_t nowMs) {
    FrameView v;
    ViewFrame(bytes, &v);
    ++counters_.framesReceived;
    if (BadOrRepeated(bytes, v, nowMs) || !FitsPhase(bytes, v, nowMs)) return;
    const bool eos = v.length == 1 && v.payload[0] == kAck;
    if (session_.phase == Phase::Announced) {
        OnRequest(v, nowMs);
    } else if (session_.phase == Phase::Replied && v.length == 0) {
        OnSessionFrame(kReplyZlz, v, nowMs);
    } else if (eos) {
        OnSessionFrame(kReplyEos, v, nowMs);
    } else {
        OnSessionFrame(kReplyGoodbye, v, nowMs);
    }
    session_.lastFrame = bytes;
}

bool Engine::CheckSequence(const FrameView& v, unsigned expectOwn) {
    bool ok = true;
    if (v.type != 0x02) {
        ++counters_.badFrames;
        Flag(Printf("frame type 0x%02X: the driver's frames carry 0x02", v.type));
        ok = false;
    }
    const unsigned own = v.sequence >> 4;
    const unsigned ack = v.sequence & 0x0Fu;
    const unsigned wantOwn = expectOwn & 0x0Fu;
    const unsigned wantAck = session_.gwFrame & 0x0Fu;
    if (own == wantOwn && ack != wantAck && session_.latestSent >= 0 && ack == static_cast<unsigned>(session_.latestSent)) {
        Sub(Printf("sequence byte 0x%02X acknowledges our frame %u, the latest the driver got: the drop-frame switch "
                   "kept our frame %u from it",
                   v.sequence, ack, wantAck));
    } else if (own != wantOwn || ack != wantAck) {
        ++counters_.badSequence;
        Flag(Printf("sequence byte 0x%02X: frame %u acknowledging our frame %u; expected 0x%02X (frame %u "
                    "acknowledging our latest frame %u)",
                    v.sequence, own, ack, SequenceByte(wantOwn, wantAck), wantOwn, wantAck));
        ok = false;
    }
    return ok;
}

void Engine::OnRequest(const FrameView& v, uint64_t nowMs) {
    Bytes frameBytes(v.payload - kHeaderSize, v.payload + v.length + 2);
    Line(nowMs, DescribeFrame(kIn, frameBytes) + "  " + RequestText(v));
    if (rawBytes_) Sub("raw " + Hex(frameBytes));
    CheckSequence(v, 1);
    const uint8_t letter = v.length > 0 ? v.payload[0] : 0;
    const bool refuse = letter != 0 && faults_.refuseLetters.find(static_cast<char>(letter)) != std::string::npos;
    const bool refuseWrite = !refuse && faults_.refuseWrites && IsWriteLetter(letter);
    // A refused request is answered as the panel would have (its checks included) on a copy of the
    // model, so that a refused write leaves the model as it was.
    Model scratch;
    if (refuse || refuseWrite) scratch = model_;
    Answer a = AnswerRequest(refuse || refuseWrite ? scratch : model_, v.payload, v.length, nowMs);
    std::vector<std::string> switchNotes;
    if ((refuse || refuseWrite) && a.fault.empty()) {
        a.payloads.assign(1, refuse ? Bytes{kNak, letter} : Bytes{letter, kNak});
        a.changed = false;
        a.what = std::string(LetterName(letter)) + ": refused";
        switchNotes.push_back(
            refuse ? Printf("refuse switch: '%c' answered with the panel's refusal 15 '%c'", static_cast<char>(letter),
                            static_cast<char>(letter))
                   : Printf("refuse-writes switch: the write '%c' answered '%c' 15, the panel left as it was",
                            static_cast<char>(letter), static_cast<char>(letter)));
    }
    if (!a.fault.empty()) {
        ++counters_.badFrames;
        Flag(a.fault);
    }
    ++counters_.requests;
    if (a.changed) ++counters_.writes;
    session_.drvFrame = 1;
    session_.letter = letter;
    session_.write = a.write;
    session_.singleRead = IsSingleRead(v) && a.fault.empty() && !refuse;
    std::vector<Bytes> frames;
    for (size_t i = 0; i < a.payloads.size(); ++i) {
        const uint8_t type = i + 1 == a.payloads.size() ? kTypeLast : kTypeMore;
        frames.push_back(BuildFrame(type, SequenceByte(session_.gwFrame + 1 + static_cast<unsigned>(i), 1),
                                    a.payloads[i]));
    }
    std::string after;
    size_t total = 0;
    for (const Bytes& f : frames) total += f.size();
    if (frames.size() > 1 && total <= 100) {
        // The driver merges continuation frames only into answers of more than 100 bytes.
        after = Printf("this answer is %u bytes in %u frames: a driver that merges continuation frames only beyond "
                       "100 bytes reads the later frames' heads as values",
                       static_cast<unsigned>(total), static_cast<unsigned>(frames.size()));
    }
    session_.gwFrame += SendAnswer(kReplyRequest, frames, "answer: " + a.what, nowMs, after, switchNotes);
    session_.phase = Phase::Replied;
    session_.lastKind = kReplyRequest;
    session_.lastAnswer = frames;
}

void Engine::OnSessionFrame(ReplyKind kind, const FrameView& v, uint64_t nowMs) {
    Bytes frameBytes(v.payload - kHeaderSize, v.payload + v.length + 2);
    const unsigned own = session_.drvFrame + 1;
    std::string role;
    Bytes payload;
    Phase next = session_.phase;
    if (kind == kReplyZlz) {
        role = "Zlz (block session)";
        payload = Bytes{kAck, 0x00};
        next = Phase::ZlzDone;
    } else if (kind == kReplyEos) {
        role = session_.block ? "end of session" : "end of session (single session)";
        payload = Bytes{0x01, 0x00};
        next = Phase::EosDone;
    } else {
        role = "goodbye";
        payload = Bytes{0x04};
        next = Phase::Closed;
    }
    Line(nowMs, DescribeFrame(kIn, frameBytes) + "  " + role);
    if (rawBytes_) Sub("raw " + Hex(frameBytes));
    CheckSequence(v, own);
    if (kind == kReplyZlz) {
        session_.block = true;
        if (session_.write) {
            ++counters_.badFrames;
            Flag(Printf("the write '%c' runs as a block session: a block read left the driver in block mode, so a "
                        "second parameter went out as 0",
                        static_cast<char>(session_.letter)));
        } else if ((session_.letter == 'z' || session_.letter == 'g') && model_.gateway.zgReplyLetter == 0) {
            Sub(Printf("a block session after a '%c' request: its answer began with '%c', and the driver takes "
                       "block answers only when they begin with 'p'",
                       static_cast<char>(session_.letter), static_cast<char>(session_.letter)));
        }
    }
    session_.drvFrame = own;
    const std::vector<Bytes> frames{BuildFrame(kTypeLast, SequenceByte(session_.gwFrame + 1, own), payload)};
    const std::string after = kind == kReplyGoodbye ? ClosingNote(nowMs) : std::string();
    const uint32_t sent = Send(kind, frames, std::string("answer: ") + KindName(kind), nowMs, after);
    session_.gwFrame += sent;
    if (sent > 0) session_.latestSent = -1;
    session_.phase = next;
    session_.lastKind = kind;
    session_.lastAnswer = frames;
    if (kind == kReplyGoodbye && sent > 0) CountClosed();
}

std::string Engine::ClosingNote(uint64_t nowMs) const {
    if (session_.closedCounted) return std::string();
    return Printf("session closed: %s session, %u ms from the announce to the goodbye",
                  session_.block ? "block" : "single", static_cast<unsigned>(nowMs - session_.startMs));
}

void Engine::CountClosed() {
    if (session_.closedCounted) return;
    session_.closedCounted = true;
    ++counters_.sessionsClosed;
    if (session_.block) ++counters_.blockSessions;
    else ++counters_.singleSessions;
}

std::vector<std::string> Engine::FrameLines(const std::vector<Bytes>& frames, const std::string& what) const {
    std::vector<std::string> lines;
    for (size_t i = 0; i < frames.size(); ++i) {
        std::string line = (i == 0 ? std::string() : kIndent) + DescribeFrame(kOut, frames[i]) + "  ";
        line += i == 0 ? what : Printf("continuation %u of %u", static_cast<unsigned>(i),
                                       static_cast<unsigned>(frames.size() - 1));
        lines.push_back(line);
        if (rawBytes_) lines.push_back(kIndent + "-- raw " + Hex(frames[i]));
    }
    return lines;
}

uint32_t Engine::SendAnswer(ReplyKind kind, const std::vector<Bytes>& frames, const std::string& what,
                            uint64_t nowMs, const std::string& after, const std::vector<std::string>& switchNotes) {
    if (kind != kReplyRequest || faults_.spoiledAnswers < 0) return Send(kind, frames, what, nowMs, after, switchNotes);
    if (requestAnswers_++ < faults_.spoiledAnswers) return Send(kind, frames, what, nowMs, after, switchNotes);
    // The request-answer switches are spent: this answer goes out well (the noise stays).
    const SimFaults saved = faults_;
    SimFaults clean;
    clean.noiseBer = saved.noiseBer;
    clean.noiseSeed = saved.noiseSeed;
    clean.mute = saved.mute & ~static_cast<uint32_t>(kReplyRequest);
    faults_ = clean;
    Sub(Printf("the %d spoiled answers are spent: this one goes out well", saved.spoiledAnswers));
    weakCrcSpent_ = true;
    const uint32_t sent = Send(kind, frames, what, nowMs, after, {});
    weakCrcSpent_ = false;
    faults_ = saved;
    return sent;
}

uint32_t Engine::Send(ReplyKind kind, const std::vector<Bytes>& frames, const std::string& what, uint64_t nowMs,
                      const std::string& after, const std::vector<std::string>& switchNotes) {
    if ((faults_.mute & kind) != 0) {
        Sub(std::string("no answer: the mute switch covers the ") + KindName(kind) + " answer");
        return 0;
    }
    const bool late = (faults_.late & kind) != 0;
    const uint64_t due = std::max(nowMs + model_.gateway.replyDelayMs + (late ? faults_.lateMs : 0), lastDueMs_);
    if ((faults_.hangUp & kind) != 0) {
        OutChunk c;
        c.dueMs = due;
        c.hangUp = true;
        c.hangUpMs = faults_.hangUpMs;
        c.trace.push_back(std::string("-- hang-up switch: the line is closed instead of the ") + KindName(kind) +
                          " answer");
        out_.push_back(std::move(c));
        lastDueMs_ = due;
        return 0;
    }
    std::vector<Bytes> sent = frames;
    std::vector<std::string> notes = switchNotes, lines;
    const uint32_t lost = AlterFrames(kind, sent, notes);
    const uint32_t frameCount = static_cast<uint32_t>(sent.size());
    if ((faults_.garbage & kind) != 0) {
        lines = FrameLines(sent, what);
        Bytes wire;
        for (const Bytes& f : sent) wire.insert(wire.end(), f.begin(), f.end());
        for (uint8_t& b : wire) b = NoiseByte();
        notes.push_back(Printf("garbage switch: %u bytes of noise sent instead", static_cast<unsigned>(wire.size())));
        if (rawBytes_) notes.push_back("raw " + Hex(wire));
        sent.assign(1, wire);
    }
    Bytes tail;
    if ((faults_.trailing & kind) != 0) {
        tail.assign(faults_.trailingBytes, faults_.trailingByte);
        notes.push_back(Printf("trailing switch: %u bytes %02X behind the answer", faults_.trailingBytes,
                               faults_.trailingByte));
    }
    OutChunk counts;
    if (kind == kReplyRequest && session_.singleRead) WeakenCrc(sent.back(), notes, counts);
    AddNoise(sent, tail, notes, counts);
    if (lines.empty()) lines = FrameLines(sent, what);
    if (late) notes.push_back(Printf("late switch: answered %u ms late", faults_.lateMs));
    for (const std::string& n : notes) lines.push_back(kIndent + "-- " + n);
    if (!after.empty()) lines.push_back(kIndent + "-- " + after);
    sent.back().insert(sent.back().end(), tail.begin(), tail.end());
    Queue(kind, sent, due, std::move(lines), counts, frameCount);
    return frameCount + lost;
}

uint32_t Engine::DropFrame(std::vector<Bytes>& sent, std::vector<std::string>& notes) {
    if (faults_.dropFrame == kDropNone || sent.size() < 2) return 0;
    const size_t at = faults_.dropFrame == kDropFirst ? 1 : sent.size() - 1;
    const size_t continuations = sent.size() - 1;
    const uint8_t droppedSequence = sent[at][5];
    sent.erase(sent.begin() + static_cast<std::ptrdiff_t>(at));
    if (faults_.dropFrameCounted) {
        // A frame lost on the line: the gateway numbered it, so what follows keeps its numbers.
        if (at == sent.size()) session_.latestSent = sent.back()[5] >> 4;
        notes.push_back(Printf("drop-frame switch: continuation %u of %u (sequence byte 0x%02X) not sent; the "
                               "gateway counted it: the frames behind it and the Zlz answer keep their numbers",
                               static_cast<unsigned>(at), static_cast<unsigned>(continuations), droppedSequence));
        return 1;
    }
    // As if the gateway never sent it: the frames behind it one number lower, and the frame before a
    // dropped last one ends the answer.
    for (size_t i = at; i < sent.size(); ++i) {
        const uint8_t sequence = sent[i][5];
        sent[i] = BuildFrame(sent[i][4], SequenceByte((sequence >> 4) - 1u, sequence & 0x0Fu), PayloadOf(sent[i]));
    }
    if (at == sent.size()) sent.back() = BuildFrame(kTypeLast, sent.back()[5], PayloadOf(sent.back()));
    notes.push_back(Printf("drop-frame switch: continuation %u of %u (sequence byte 0x%02X) not sent; the frames "
                           "numbered as if the gateway never sent it",
                           static_cast<unsigned>(at), static_cast<unsigned>(continuations), droppedSequence));
    return 0;
}

uint32_t Engine::AlterFrames(ReplyKind kind, std::vector<Bytes>& sent, std::vector<std::string>& notes) {
    uint32_t lost = 0;
    if (kind == kReplyRequest && faults_.emptyAnswer) {
        notes.push_back(Printf("empty-answer switch: one frame without payload instead of the answer's %u frame(s)",
                               static_cast<unsigned>(sent.size())));
        sent.assign(1, BuildFrame(kTypeLast, sent.front()[5], Bytes{}));
    }
    if (kind == kReplyRequest) lost = DropFrame(sent, notes);
    if (kind == kReplyRequest && faults_.otherLetter != 0) {
        const uint8_t was = sent.front().size() > kFrameOverhead ? sent.front()[kHeaderSize] : 0;
        for (Bytes& f : sent) {
            if (f[6] == 0) continue;
            Bytes payload = PayloadOf(f);
            payload[0] = faults_.otherLetter;
            f = BuildFrame(f[4], f[5], payload);
        }
        notes.push_back(Printf("other-letter switch: the answer's first payload byte %02X sent as %02X ('%c'), the "
                               "CRC made to check",
                               was, faults_.otherLetter, IsLetter(faults_.otherLetter) ? faults_.otherLetter : '?'));
    }
    if (kind == kReplyRequest && faults_.dropContinuation && sent.size() > 1) {
        notes.push_back(Printf("drop-continuation switch: %u continuation frame(s) not sent",
                               static_cast<unsigned>(sent.size() - 1)));
        sent.resize(1);
    }
    if ((faults_.changeValue & kind) != 0 && faults_.changeValueFrame < sent.size()) {
        Bytes& f = sent[faults_.changeValueFrame];
        const size_t length = f[6];
        size_t at = faults_.changeValueFrame > 0 ? 1 : kind == kReplyRequest ? ValueOffset(f[kHeaderSize]) : 1;
        at = std::min(at, length > 0 ? length - 1 : 0);
        if (length > 0) {
            f[kHeaderSize + at] ^= 0x01;
            notes.push_back(Printf("change-value switch: payload byte %u of frame %u changed to %02X, the CRC left "
                                   "as it was",
                                   static_cast<unsigned>(at), faults_.changeValueFrame, f[kHeaderSize + at]));
        }
    }
    if ((faults_.corruptCrc & kind) != 0) {
        for (Bytes& f : sent) {
            f[f.size() - 1] ^= 0xFF;
            f[f.size() - 2] ^= 0xFF;
        }
        notes.push_back("corrupt-crc switch: CRC inverted");
    }
    if ((faults_.cutShort & kind) != 0) {
        Bytes& f = sent.back();
        const size_t whole = f.size();
        f.resize(whole - std::min<size_t>(faults_.cutBytes, whole));
        notes.push_back(Printf("cut-short switch: the last frame cut short, %u of %u bytes sent",
                               static_cast<unsigned>(f.size()), static_cast<unsigned>(whole)));
    }
    return lost;
}

void Engine::WeakenCrc(Bytes& frame, std::vector<std::string>& notes, OutChunk& counts) {
    FrameView v;
    if (!weakCrc_.on() || weakCrcSpent_ || !ViewFrame(frame, &v) || !v.crcOk() || v.length < 2 || !weakCrc_.Weaken()) return;
    const unsigned pattern = weakCrc_.Pattern();
    const unsigned pair = pattern / 8, bit = pattern % 8;
    const size_t at = kHeaderSize + v.length - 1 - pair;
    const uint8_t was = frame[at];
    FlipUnseenPair(frame, pair, bit);
    ViewFrame(frame, &v);
    assert(v.crcOk() && "the weak-crc switch's error is one the CRC cannot see");
    ++counts.weakAnswers;
    notes.push_back(Printf("weak-crc switch: bit %u of the %s payload byte (%02X -> %02X) and of the CRC's %s byte "
                           "flipped; the CRC still checks",
                           bit, pair == 0 ? "last" : "second-last", was, frame[at], pair == 0 ? "low" : "high"));
}

void Engine::AddNoise(std::vector<Bytes>& sent, Bytes& tail, std::vector<std::string>& notes, OutChunk& counts) {
    if (!lineNoise_.on()) return;
    for (size_t i = 0; i <= sent.size(); ++i) {
        Bytes& bytes = i < sent.size() ? sent[i] : tail;
        std::vector<size_t> where;
        const uint32_t flipped = lineNoise_.Apply(bytes.data(), bytes.size(), &where);
        if (flipped == 0) continue;
        counts.flippedBits += flipped;
        if (i < sent.size()) ++counts.noisyFrames;
        std::string at;
        for (size_t k = 0; k < where.size() && k < 8; ++k) {
            at += Printf("%s%u", k == 0 ? "" : ", ", static_cast<unsigned>(where[k]));
        }
        if (where.size() > 8) at += ", ..";
        const std::string in = i < sent.size() ? Printf("frame %u", static_cast<unsigned>(i)) : "the bytes behind it";
        notes.push_back(Printf("noise: %u bit%s flipped in %s (byte%s %s)", flipped, flipped == 1 ? "" : "s",
                               in.c_str(), where.size() == 1 ? "" : "s", at.c_str()));
    }
}

void Engine::Queue(ReplyKind kind, const std::vector<Bytes>& sent, uint64_t due, std::vector<std::string> lines,
                   OutChunk counts, uint32_t frames) {
    const bool pieces = (faults_.pieces & kind) != 0 && faults_.pieceBytes > 0;
    if (pieces) {
        lines.push_back(kIndent + "-- " + Printf("pieces switch: in pieces of %u bytes, %u ms apart",
                                                 faults_.pieceBytes, faults_.piecePauseMs));
    }
    if (frameGapMs_ > 0 && sent.size() > 1) {
        lines.push_back(kIndent + "-- " + Printf("frame gap: %u ms between the frames", frameGapMs_));
    }
    // Without a frame gap the frames go out as one run of bytes (pieces may span frames).
    std::vector<Bytes> runs;
    if (frameGapMs_ > 0) {
        runs = sent;
    } else {
        runs.emplace_back();
        for (const Bytes& f : sent) runs.back().insert(runs.back().end(), f.begin(), f.end());
    }
    uint64_t when = due;
    bool first = true;
    for (size_t r = 0; r < runs.size(); ++r) {
        const Bytes& wire = runs[r];
        const size_t piece = pieces ? faults_.pieceBytes : std::max<size_t>(wire.size(), 1);
        size_t at = 0;
        do {
            OutChunk c;
            c.dueMs = when;
            const size_t take = std::min(piece, wire.size() - at);
            c.bytes.assign(wire.begin() + static_cast<std::ptrdiff_t>(at),
                           wire.begin() + static_cast<std::ptrdiff_t>(at + take));
            at += take;
            if (first) {
                c.trace = std::move(lines);
                c.noisyFrames = counts.noisyFrames;
                c.flippedBits = counts.flippedBits;
                c.weakAnswers = counts.weakAnswers;
                first = false;
            }
            if (at == wire.size() && r + 1 == runs.size()) c.frames = frames;
            out_.push_back(std::move(c));
            lastDueMs_ = when;
            when += (take * paceUsPerByte_ + 999) / 1000;  // the chunk's own time on a paced line
            if (at < wire.size()) when += faults_.piecePauseMs;
        } while (at < wire.size());
        when += frameGapMs_;
    }
}

bool Engine::TakeDue(uint64_t nowMs, OutChunk* out) {
    Advance(nowMs);
    if (out_.empty() || out_.front().dueMs > nowMs) return false;
    *out = std::move(out_.front());
    out_.pop_front();
    for (size_t i = 0; i < out->trace.size(); ++i) {
        trace_.push_back(i == 0 ? Stamp(nowMs) + " " + out->trace[i] : out->trace[i]);
    }
    if (!out->hangUp) {
        counters_.framesSent += out->frames;
        counters_.bytesSent += static_cast<uint32_t>(out->bytes.size());
        counters_.noisyFrames += out->noisyFrames;
        counters_.flippedBits += out->flippedBits;
        counters_.weakAnswers += out->weakAnswers;
    }
    return true;
}

uint64_t Engine::NextDueMs() const {
    return out_.empty() ? std::numeric_limits<uint64_t>::max() : out_.front().dueMs;
}

void Engine::LineClosed(uint64_t nowMs, uint32_t forMs) {
    ++counters_.hangUps;
    out_.clear();
    parser_ = FrameParser{};
    session_ = Session{};
    lineClosed_ = true;
    lastDueMs_ = nowMs;
    Note(nowMs, forMs > 0 ? Printf("line closed (hang-up) for %u ms", forMs) : std::string("line closed (hang-up)"));
}

void Engine::LineOpened(uint64_t nowMs) {
    lineClosed_ = false;
    Note(nowMs, "line open again");
}

void Engine::HangUpNow(uint64_t nowMs) {
    OutChunk c;
    c.dueMs = nowMs;
    c.hangUp = true;
    c.hangUpMs = faults_.hangUpMs;
    c.trace.push_back("-- hang up now (asked through the library)");
    out_.push_front(std::move(c));
}

}  // namespace sksim
