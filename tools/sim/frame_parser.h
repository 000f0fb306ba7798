// The gateway's receiver: a byte-at-a-time state machine that picks the
// announce text "SK GATEWAY" and whole frames out of whatever the line
// delivers (split anywhere, with stray bytes before, between or inside), and
// hands everything else back as garbage.
//
// Rules:
//  - a frame starts at 55 AA 55 AA; its length byte says how much follows, and
//    it is complete after length + 9 bytes; its CRC is checked then. A frame
//    with a bad CRC is reported and dropped whole, and the hunt goes on behind
//    it, unless a sync lies inside it: then its start was noise, reported as
//    garbage, and the bytes from the inner sync on are looked at again.
//  - "SK GATEWAY" is recognised byte by byte; a text that breaks off is garbage.
//  - Flush() (the line has been quiet for a while) gives up on a partial text
//    or frame: a partial frame is reported as incomplete and the bytes after
//    its first sync byte are scanned again, so a frame hidden behind a false
//    sync in line noise is still found (what is not found is not reported a
//    second time as garbage).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/sim/wire.h"

namespace sksim {

enum class ParsedKind { Announce, Frame, Garbage, Incomplete };

struct Parsed {
    ParsedKind kind = ParsedKind::Garbage;
    Bytes bytes;  // the announce text, the whole frame (read it with ViewFrame), the garbage or the partial frame
};

class FrameParser {
public:
    // Feeds bytes; complete items are appended to `out` in line order.
    void Feed(const uint8_t* data, size_t length, std::vector<Parsed>& out);
    // Ends whatever is partial (see above) and reports pending garbage.
    void Flush(std::vector<Parsed>& out);
    // True while a text or frame is partly received.
    bool Partial() const { return state_ != State::Hunt; }
    // True while garbage waits to be reported.
    bool GarbagePending() const { return !garbage_.empty(); }

private:
    enum class State { Hunt, Text, Sync, Header, Body };
    void Step(uint8_t b, std::vector<Parsed>& out);
    void Restart(uint8_t b, std::vector<Parsed>& out);
    void Complete(std::vector<Parsed>& out);
    void EmitGarbage(std::vector<Parsed>& out);
    void Emit(ParsedKind kind, std::vector<Parsed>& out);

    State state_ = State::Hunt;
    Bytes candidate_;   // bytes of the partial text or frame
    Bytes garbage_;     // stray bytes not yet reported
    bool rescanning_ = false;  // looking again at the bytes of an incomplete frame
};

}  // namespace sksim
