#include "tools/sim/frame_parser.h"

#include <utility>

namespace sksim {

void FrameParser::Feed(const uint8_t* data, size_t length, std::vector<Parsed>& out) {
    for (size_t i = 0; i < length; ++i) Step(data[i], out);
}

void FrameParser::EmitGarbage(std::vector<Parsed>& out) {
    if (garbage_.empty()) return;
    if (rescanning_) {
        garbage_.clear();  // already reported as part of an incomplete frame
        return;
    }
    Parsed item;
    item.kind = ParsedKind::Garbage;
    item.bytes = std::move(garbage_);
    garbage_.clear();
    out.push_back(std::move(item));
}

void FrameParser::Emit(ParsedKind kind, std::vector<Parsed>& out) {
    EmitGarbage(out);
    Parsed item;
    item.kind = kind;
    item.bytes = std::move(candidate_);
    candidate_.clear();
    out.push_back(std::move(item));
    state_ = State::Hunt;
}

// The candidate broke off at byte b: its first byte is garbage, and everything
// after it (b included) is looked at again from the hunt.
void FrameParser::Restart(uint8_t b, std::vector<Parsed>& out) {
    Bytes again(candidate_.begin() + 1, candidate_.end());
    again.push_back(b);
    garbage_.push_back(candidate_.front());
    candidate_.clear();
    state_ = State::Hunt;
    for (uint8_t x : again) Step(x, out);
}

void FrameParser::Step(uint8_t b, std::vector<Parsed>& out) {
    switch (state_) {
        case State::Hunt:
            if (b == kSync[0]) {
                candidate_.assign(1, b);
                state_ = State::Sync;
            } else if (b == static_cast<uint8_t>(kAnnounceText[0])) {
                candidate_.assign(1, b);
                state_ = State::Text;
            } else {
                garbage_.push_back(b);
            }
            return;
        case State::Text:
            if (b != static_cast<uint8_t>(kAnnounceText[candidate_.size()])) {
                Restart(b, out);
                return;
            }
            candidate_.push_back(b);
            if (candidate_.size() == kAnnounceSize) Emit(ParsedKind::Announce, out);
            return;
        case State::Sync:
            if (b != kSync[candidate_.size()]) {
                Restart(b, out);
                return;
            }
            candidate_.push_back(b);
            if (candidate_.size() == 4) state_ = State::Header;
            return;
        case State::Header:
            candidate_.push_back(b);
            if (candidate_.size() == kHeaderSize) state_ = State::Body;
            return;
        case State::Body:
            candidate_.push_back(b);
            if (candidate_.size() == candidate_[6] + kFrameOverhead) Complete(out);
            return;
    }
}

// A frame has all its bytes. When its CRC fails and a sync lies inside it,
// its start was noise that looked like a sync: the bytes before the inner sync
// are garbage and the rest is looked at again. Otherwise the frame is
// reported as it is (bad CRC or not).
void FrameParser::Complete(std::vector<Parsed>& out) {
    FrameView v;
    if (ViewFrame(candidate_, &v) && !v.crcOk()) {
        for (size_t k = 1; k + 4 <= candidate_.size(); ++k) {
            if (candidate_[k] == kSync[0] && candidate_[k + 1] == kSync[1] && candidate_[k + 2] == kSync[2] &&
                candidate_[k + 3] == kSync[3]) {
                garbage_.insert(garbage_.end(), candidate_.begin(), candidate_.begin() + static_cast<std::ptrdiff_t>(k));
                const Bytes rest(candidate_.begin() + static_cast<std::ptrdiff_t>(k), candidate_.end());
                candidate_.clear();
                state_ = State::Hunt;
                for (uint8_t x : rest) Step(x, out);
                return;
            }
        }
    }
    Emit(ParsedKind::Frame, out);
}

void FrameParser::Flush(std::vector<Parsed>& out) {
    while (state_ != State::Hunt) {
        if (state_ == State::Header || state_ == State::Body) {
            // A frame that stopped short: report it, then look at what followed its first byte
            // (without reporting those bytes a second time as garbage).
            Bytes rest(candidate_.begin() + 1, candidate_.end());
            EmitGarbage(out);
            Emit(ParsedKind::Incomplete, out);
            rescanning_ = true;
            for (uint8_t x : rest) Step(x, out);
            rescanning_ = false;
            garbage_.clear();
        } else {
            // A text or a sync that stopped short is garbage; look again behind its first byte.
            Bytes rest(candidate_.begin() + 1, candidate_.end());
            garbage_.push_back(candidate_.front());
            candidate_.clear();
            state_ = State::Hunt;
            for (uint8_t x : rest) Step(x, out);
        }
    }
    EmitGarbage(out);
}

}  // namespace sksim
