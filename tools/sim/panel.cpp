#include "tools/sim/panel.h"

#include <cstdarg>
#include <cstdio>

namespace sksim {

namespace {

constexpr uint16_t kMaxCount = 16;

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

size_t RequestLength(uint8_t letter) {
    switch (letter) {
        case 's': case 't': case 'i': case 'v': case 'D': case 'I': return 1;
        case '|': case 'h': return 3;
        case 'z': case 'g': case 'p': case 'q': case 'B': case 'U': return 5;
        case 'Y': return 13;
        default: return 0;
    }
}

Bytes Head(uint8_t letter) {
    return Bytes(1, letter);
}

void PutText(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

Answer Refuse(uint8_t letter, const std::string& fault) {
    Answer a;
    a.payloads.push_back(Bytes{kNak, letter});
    a.what = "refused";
    a.fault = fault;
    return a;
}

Answer WriteDone(uint8_t letter, bool done, const std::string& what) {
    Answer a;
    a.write = true;
    a.changed = done;
    a.payloads.push_back(Bytes{letter, done ? kAck : kNak});
    a.what = what + (done ? ": done" : ": refused");
    return a;
}

// The loop list: points 1..n with their status (0xFFFF where the loop has a gap).
Answer LoopList(Model& model, uint16_t loopNumber) {
    Answer a;
    const GatewaySettings& gw = model.gateway;
    LoopState* loop = FindLoop(model, loopNumber);
    std::vector<uint16_t> numbers, statuses;
    uint16_t total = 0;
    if (loop != nullptr && !loop->points.empty()) {
        total = static_cast<uint16_t>(loop->points.size());
        const uint16_t last = loop->points.back().number;
        const uint16_t n = static_cast<uint16_t>(last < gw.pointsPerAnswer ? last : gw.pointsPerAnswer);
        for (uint16_t number = 1; number <= n; ++number) {
            const PointState* p = FindPoint(*loop, number);
            numbers.push_back(number);
            statuses.push_back(p != nullptr ? p->status : kNotInstalled);
        }
    } else {
        // No such loop, or an empty one: one entry that says so.
        numbers.push_back(1);
        statuses.push_back(kNotInstalled);
    }
    const size_t firstEntries = (gw.maxFramePayload - 9) / 4;
    const size_t moreEntries = (gw.maxFramePayload - 1) / 4;
    Bytes first = Head('p');
    PutWord(first, loopNumber);
    PutWord(first, 0);
    PutWord(first, static_cast<uint16_t>(numbers.size()));
    PutWord(first, total);
    size_t i = 0;
    for (; i < numbers.size() && i < firstEntries; ++i) {
        PutWord(first, statuses[i]);
        PutWord(first, numbers[i]);
    }
    a.payloads.push_back(first);
    while (i < numbers.size()) {
        Bytes more = Head('p');
        for (size_t k = 0; k < moreEntries && i < numbers.size(); ++k, ++i) {
            PutWord(more, statuses[i]);
            PutWord(more, numbers[i]);
        }
        a.payloads.push_back(more);
    }
    a.what = loop != nullptr ? Format("loop %u list: points 1 to %u", loopNumber, static_cast<unsigned>(numbers.size()))
                             : Format("loop %u list: no such loop", loopNumber);
    return a;
}

// 'z' first count status*count, or 'g' first count (status active)*count.
Answer ZoneOrGroupStatus(Model& model, uint8_t letter, uint16_t first, uint16_t count) {
    if (count == 0 || count > kMaxCount) {
        return Refuse(letter, Format("count %u: the panel answers 1 to %u at a time", count, kMaxCount));
    }
    Answer a;
    Bytes out = Head(model.gateway.zgReplyLetter != 0 ? model.gateway.zgReplyLetter : letter);
    PutWord(out, first);
    PutWord(out, count);
    for (unsigned k = 0; k < count; ++k) {
        const uint16_t number = static_cast<uint16_t>(first + k);
        if (letter == 'z') {
            const ZoneState* z = FindZone(model, number);
            PutWord(out, z != nullptr ? z->status : kNotInstalled);
        } else {
            const GroupState* g = FindGroup(model, number);
            PutWord(out, g != nullptr ? g->status : kNotInstalled);
            PutWord(out, g != nullptr ? g->active : 0);
        }
    }
    // The status of the last one asked, as the line's readers take it.
    const size_t at = out.size() - (letter == 'z' ? 2 : 4);
    a.what = Format("%s %u status 0x%04X", letter == 'z' ? "zone" : "group", static_cast<unsigned>(first + count - 1),
                    static_cast<unsigned>(GetWord(out.data() + at)));
    if (count != 1) a.what += Format(" (%u asked)", count);
    a.payloads.push_back(out);
    return a;
}

// '|' zone label NUL, or 'h' group label NUL.
Answer ZoneOrGroupLabel(Model& model, uint8_t letter, uint16_t number) {
    Answer a;
    Bytes out = Head(letter);
    PutWord(out, number);
    const ZoneState* z = letter == '|' ? FindZone(model, number) : nullptr;
    const GroupState* g = letter == 'h' ? FindGroup(model, number) : nullptr;
    const std::string* label = z != nullptr ? &z->label : g != nullptr ? &g->label : nullptr;
    PutText(out, label != nullptr ? *label : std::string());
    a.what = Format("%s %u label", letter == '|' ? "zone" : "group", number) +
             (label != nullptr ? " \"" + *label + "\"" : letter == '|' ? " (no such zone)" : " (no such group)");
    a.payloads.push_back(out);
    return a;
}

// 'p' loop point 1 total (status number), or 'q' loop point status label NUL.
Answer PointStatusOrLabel(Model& model, uint8_t letter, uint16_t loopNumber, uint16_t number) {
    Answer a;
    Bytes out = Head(letter);
    LoopState* loop = FindLoop(model, loopNumber);
    const PointState* p = loop != nullptr ? FindPoint(*loop, number) : nullptr;
    const uint16_t status = p != nullptr ? p->status : kNotInstalled;
    PutWord(out, loopNumber);
    PutWord(out, number);
    if (letter == 'p') {
        PutWord(out, 1);
        PutWord(out, static_cast<uint16_t>(loop != nullptr ? loop->points.size() : 0));
        PutWord(out, status);
        PutWord(out, number);
        a.what = Format("loop %u point %u status 0x%04X", loopNumber, number, status);
        if (p == nullptr) a.what += " (no such point)";
    } else {
        PutWord(out, status);
        PutText(out, p != nullptr ? p->label : std::string());
        a.what = Format("loop %u point %u label", loopNumber, number) +
                 (p != nullptr ? " \"" + p->label + "\"" : " (no such point)");
    }
    a.payloads.push_back(out);
    return a;
}

// 'i' sec min hour day month year-1900.
Answer ClockAnswer(Model& model, uint64_t nowMs) {
    Answer a;
    Bytes out = Head('i');
    const CivilTime t = SecondsToCivil(ClockNow(model.clock, nowMs));
    for (int field : {t.second, t.minute, t.hour, t.day, t.month, t.year - 1900}) {
        PutWord(out, static_cast<uint16_t>(field));
    }
    a.what = "clock " + FormatClockText(t);
    a.payloads.push_back(out);
    return a;
}

Answer ReadAnswer(Model& model, uint8_t letter, uint16_t p1, uint16_t p2, uint64_t nowMs) {
    switch (letter) {
        case 'z':
        case 'g': return ZoneOrGroupStatus(model, letter, p1, p2);
        case '|':
        case 'h': return ZoneOrGroupLabel(model, letter, p1);
        case 'p':
            if (p2 == 0) return LoopList(model, p1);
            return PointStatusOrLabel(model, letter, p1, p2);
        case 'q': return PointStatusOrLabel(model, letter, p1, p2);
        case 'i': return ClockAnswer(model, nowMs);
        default: break;
    }
    Answer a;
    Bytes out = Head(letter);
    if (letter == 's' || letter == 't') {
        const uint16_t status = letter == 's' ? model.systemStatus : model.troubleStatus;
        PutWord(out, status);
        a.what = Format("%s status 0x%04X", letter == 's' ? "system" : "trouble", status);
    } else if (letter == 'v') {
        PutText(out, model.version);
        a.what = "version \"" + model.version + "\"";
    }
    a.payloads.push_back(out);
    return a;
}

Answer WriteAnswer(Model& model, uint8_t letter, const uint8_t* payload, uint16_t p1, uint16_t p2, uint64_t nowMs) {
    switch (letter) {
        case 'B':
        case 'U': {
            LoopState* loop = FindLoop(model, p1);
            PointState* p = loop != nullptr ? FindPoint(*loop, p2) : nullptr;
            const std::string what = Format(letter == 'B' ? "bypass loop %u point %u" : "restore loop %u point %u", p1,
                                            p2);
            if (p == nullptr) return WriteDone(letter, false, what + " (no such point)");
            p->status = static_cast<uint16_t>(letter == 'B' ? (p->status | kPointBypassed)
                                                            : (p->status & ~kPointBypassed));
            return WriteDone(letter, true, what);
        }
        case 'D':
            model.systemStatus = static_cast<uint16_t>(model.systemStatus | kSystemDrill);
            return WriteDone(letter, true, "fire drill start");
        case 'I':
            model.systemStatus = static_cast<uint16_t>(model.systemStatus & ~kSystemDrill);
            return WriteDone(letter, true, "system reset (drill ends)");
        case 'Y': {
            CivilTime t;
            t.second = GetWord(payload + 1);
            t.minute = GetWord(payload + 3);
            t.hour = GetWord(payload + 5);
            t.day = GetWord(payload + 7);
            t.month = GetWord(payload + 9);
            t.year = GetWord(payload + 11) + 1900;
            const std::string what = "set clock " + FormatClockText(t);
            if (!ValidCivil(t)) return WriteDone(letter, false, what + " (no such date or time)");
            SetClock(model.clock, CivilToSeconds(t), nowMs);
            return WriteDone(letter, true, what);
        }
        default:
            return Refuse(letter, "unknown letter");
    }
}

}  // namespace

size_t ValueOffset(uint8_t letter) {
    switch (letter) {
        case 'z': case 'g': return 5;
        case 'q': return 7;  // the label (the point's status is at 5)
        case '|': case 'h': return 3;
        case 'p': return 9;
        default: return 1;
    }
}

bool IsWriteLetter(uint8_t letter) {
    return letter == 'B' || letter == 'U' || letter == 'D' || letter == 'I' || letter == 'Y';
}

const char* LetterName(uint8_t letter) {
    switch (letter) {
        case 's': return "system status";
        case 't': return "trouble status";
        case 'z': return "zone status";
        case '|': return "zone label";
        case 'g': return "group status";
        case 'h': return "group label";
        case 'p': return "point status";
        case 'q': return "point label";
        case 'i': return "date and time";
        case 'v': return "version";
        case 'B': return "bypass point";
        case 'U': return "restore point";
        case 'D': return "fire drill";
        case 'I': return "system reset";
        case 'Y': return "set date and time";
        default: return "unknown";
    }
}

Answer AnswerRequest(Model& model, const uint8_t* payload, size_t length, uint64_t nowMs) {
    if (length == 0) return Refuse(0, "a request without a command letter");
    const uint8_t letter = payload[0];
    const size_t expected = RequestLength(letter);
    if (expected == 0) return Refuse(letter, Format("unknown command letter 0x%02X", letter));
    if (length != expected) {
        return Refuse(letter, Format("'%c' request with %u payload bytes, the panel expects %u", letter,
                                     static_cast<unsigned>(length), static_cast<unsigned>(expected)));
    }
    const uint16_t p1 = length >= 3 ? GetWord(payload + 1) : 0;
    const uint16_t p2 = length >= 5 ? GetWord(payload + 3) : 0;
    if (IsWriteLetter(letter)) return WriteAnswer(model, letter, payload, p1, p2, nowMs);
    return ReadAnswer(model, letter, p1, p2, nowMs);
}

}  // namespace sksim
