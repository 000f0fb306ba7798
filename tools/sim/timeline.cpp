#include "tools/sim/timeline.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

namespace sksim {

namespace {

constexpr uint32_t kMaxEventSeconds = 1000000;  // about 11.5 days
constexpr uint32_t kMaxNumber = 999;           // loops, points, zones and groups, as in the model file

// Whole decimal number of at most `digits` digits.
bool Decimal(const std::string& text, size_t digits, uint32_t* out) {
    if (text.empty() || text.size() > digits) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    *out = value;
    return true;
}

// "12", "12.5", "0.250": at most three decimals, as milliseconds.
bool Seconds(const std::string& text, uint32_t* ms) {
    const size_t dot = text.find('.');
    uint32_t whole = 0, part = 0;
    if (!Decimal(text.substr(0, dot), 7, &whole) || whole > kMaxEventSeconds) return false;
    if (dot != std::string::npos) {
        std::string decimals = text.substr(dot + 1);
        if (!Decimal(decimals, 3, &part)) return false;
        for (size_t n = decimals.size(); n < 3; ++n) part *= 10;
    }
    if (whole == kMaxEventSeconds && part != 0) return false;
    *ms = whole * 1000 + part;
    return true;
}

// 1 to 999, leading zeros allowed ("002").
bool ItemNumber(const std::string& text, uint16_t* out) {
    uint32_t value = 0;
    if (!Decimal(text, 5, &value) || value < 1 || value > kMaxNumber) return false;
    *out = static_cast<uint16_t>(value);
    return true;
}

// A 16-bit word: decimal, or hexadecimal after 0x.
bool Word(const std::string& text, uint16_t* out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex) {
        uint32_t value = 0;
        if (!Decimal(text, 5, &value) || value > 0xFFFF) return false;
        *out = static_cast<uint16_t>(value);
        return true;
    }
    if (text.size() > 6) return false;
    uint32_t value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else return false;
        value = value * 16 + digit;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

bool Kind(const std::string& text, uint32_t* kind) {
    if (text == "point") *kind = kEventPoint;
    else if (text == "zone") *kind = kEventZone;
    else if (text == "group") *kind = kEventGroup;
    else if (text == "system") *kind = kEventSystem;
    else return false;
    return true;
}

// The number field: "loop-point" for a point, 1 to 999 for a zone or group, 0 for the system.
bool Target(const std::string& text, SimEvent* event, std::string* why) {
    if (event->kind == kEventSystem) {
        if (text == "0") return true;
        *why = "the system's number is 0, not \"" + text + "\"";
        return false;
    }
    if (event->kind == kEventPoint) {
        const size_t dash = text.find('-');
        if (dash != std::string::npos && ItemNumber(text.substr(0, dash), &event->loop) &&
            ItemNumber(text.substr(dash + 1), &event->number)) {
            return true;
        }
        *why = "a point is written loop-point, each 1 to 999 (\"1-002\"), not \"" + text + "\"";
        return false;
    }
    if (ItemNumber(text, &event->number)) return true;
    *why = std::string(event->kind == kEventZone ? "a zone" : "a group") + " number is 1 to 999, not \"" + text +
           "\"";
    return false;
}

// One event line's fields; false and why when they are not an event.
bool ParseLine(const std::vector<std::string>& fields, SimEvent* event, std::string* why) {
    if (fields.size() != 4) {
        *why = "expected 4 fields, <seconds> <what> <number> <value>; found " + std::to_string(fields.size());
        return false;
    }
    if (!Seconds(fields[0], &event->atMs)) {
        *why = "\"" + fields[0] + "\" is not a time in seconds from 0 to 1000000 (at most 3 decimals)";
        return false;
    }
    if (!Kind(fields[1], &event->kind)) {
        *why = "\"" + fields[1] + "\" is not point, zone, group or system";
        return false;
    }
    if (!Target(fields[2], event, why)) return false;
    if (!Word(fields[3], &event->value)) {
        *why = "\"" + fields[3] + "\" is not a 16-bit value (0 to 65535, or 0x0000 to 0xFFFF)";
        return false;
    }
    return true;
}

}  // namespace

bool ParseEvents(const std::string& text, std::vector<SimEvent>* events, std::string* error) {
    std::vector<SimEvent> parsed;
    std::istringstream in(text);
    std::string line;
    uint32_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::vector<std::string> fields;
        std::string word;
        while (words >> word) fields.push_back(word);
        if (fields.empty() || fields[0][0] == '#') continue;
        SimEvent event;
        event.line = number;
        std::string why;
        if (!ParseLine(fields, &event, &why)) {
            if (error != nullptr) *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        parsed.push_back(event);
    }
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const SimEvent& a, const SimEvent& b) { return a.atMs < b.atMs; });
    *events = std::move(parsed);
    return true;
}

bool LineDeadAt(const SimDeadLine& line, uint64_t sinceStartMs) {
    if (!line.on || sinceStartMs < line.afterMs) return false;
    if (line.flap) {
        const uint64_t period = static_cast<uint64_t>(line.afterMs) + line.forMs;
        return period > 0 && sinceStartMs % period >= line.afterMs;
    }
    return line.forMs == 0 || sinceStartMs - line.afterMs < line.forMs;
}

uint64_t LineTurnedAt(const SimDeadLine& line, uint64_t sinceStartMs) {
    if (!line.on || sinceStartMs < line.afterMs) return 0;
    if (line.flap) {
        const uint64_t period = static_cast<uint64_t>(line.afterMs) + line.forMs;
        if (period == 0) return line.afterMs;
        const uint64_t turn = sinceStartMs - sinceStartMs % period;
        return sinceStartMs % period >= line.afterMs ? turn + line.afterMs : turn;
    }
    return LineDeadAt(line, sinceStartMs) ? line.afterMs : static_cast<uint64_t>(line.afterMs) + line.forMs;
}

bool CheckDeadLine(const SimDeadLine& line, std::string* error) {
    if (!line.on || !line.flap || (line.afterMs > 0 && line.forMs > 0)) return true;
    *error = "a flapping line needs an alive and a dead spell of more than 0 s (dead-after and dead-for)";
    return false;
}

std::string SecondsText(uint64_t ms) {
    char text[32];
    snprintf(text, sizeof text, "%llu.%03u s", static_cast<unsigned long long>(ms / 1000),
             static_cast<unsigned>(ms % 1000));
    return text;
}

std::string DescribeDeadLine(const SimDeadLine& line) {
    if (!line.on) return "alive";
    if (line.flap) return "flapping: alive " + SecondsText(line.afterMs) + ", dead " + SecondsText(line.forMs);
    return "dead after " + SecondsText(line.afterMs) +
           (line.forMs > 0 ? " for " + SecondsText(line.forMs) : std::string(" for good"));
}

std::string EventTarget(const SimEvent& event) {
    char text[32];
    switch (event.kind) {
        case kEventPoint: snprintf(text, sizeof text, "point %u-%03u", event.loop, event.number); break;
        case kEventZone: snprintf(text, sizeof text, "zone %u", event.number); break;
        case kEventGroup: snprintf(text, sizeof text, "group %u", event.number); break;
        case kEventSystem: return "system";
        default: return "?";
    }
    return text;
}

uint16_t* EventStatus(Model& model, const SimEvent& event) {
    switch (event.kind) {
        case kEventPoint: {
            LoopState* loop = FindLoop(model, event.loop);
            PointState* point = loop != nullptr ? FindPoint(*loop, event.number) : nullptr;
            return point != nullptr ? &point->status : nullptr;
        }
        case kEventZone: {
            ZoneState* zone = FindZone(model, event.number);
            return zone != nullptr ? &zone->status : nullptr;
        }
        case kEventGroup: {
            GroupState* group = FindGroup(model, event.number);
            return group != nullptr ? &group->status : nullptr;
        }
        case kEventSystem: return &model.systemStatus;
        default: return nullptr;
    }
}

std::string EventPlace(const SimEvent& event, size_t index) {
    return event.line != 0 ? "line " + std::to_string(event.line) : "event " + std::to_string(index);
}

}  // namespace sksim
