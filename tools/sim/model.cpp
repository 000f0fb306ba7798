#include "tools/sim/model.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <set>

namespace sksim {

using nlohmann::json;

namespace {

// ---- clock arithmetic ----

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;  // days since 01/01/1970
}

const int64_t kDays1900 = DaysFromCivil(1900, 1, 1);

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
    return kDays[month - 1];
}

// ---- reading the JSON ----

class Reader {
public:
    explicit Reader(std::string* error) : error_(error) {}
    bool ok() const { return ok_; }

    bool Fail(const std::string& where, const std::string& what) {
        if (ok_) *error_ = where + ": " + what;
        ok_ = false;
        return false;
    }

    // Only the named keys may appear in an object.
    bool Keys(const json& object, const std::string& where, std::initializer_list<const char*> allowed) {
        if (!object.is_object()) return Fail(where, "must be an object");
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool known = false;
            for (const char* name : allowed) known = known || it.key() == name;
            if (!known) return Fail(where, "unknown key \"" + it.key() + "\"");
        }
        return true;
    }

    // A number from min to max: a JSON integer or a text "0x1A2B" / "123".
    bool Number(const json& object, const char* key, const std::string& where, uint32_t min, uint32_t max,
                uint32_t* out, bool required) {
        if (!object.contains(key)) return required ? Fail(where, std::string("\"") + key + "\" is missing") : true;
        const json& v = object.at(key);
        const std::string at = where + "." + key;
        uint64_t value = 0;
        if (v.is_number_unsigned()) {
            value = v.get<uint64_t>();
        } else if (v.is_number_integer()) {
            return Fail(at, "must not be negative");
        } else if (v.is_string()) {
            const std::string text = v.get<std::string>();
            const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const size_t start = hex ? 2 : 0;
            if (text.size() == start || text.size() - start > 8) return Fail(at, "is not a number: \"" + text + "\"");
            for (size_t i = start; i < text.size(); ++i) {
                const char c = text[i];
                int digit = -1;
                if (c >= '0' && c <= '9') digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
                if (digit < 0) return Fail(at, "is not a number: \"" + text + "\"");
                value = value * (hex ? 16u : 10u) + static_cast<unsigned>(digit);
            }
        } else {
            return Fail(at, "must be a whole number");
        }
        if (value < min || value > max) {
            return Fail(at, "must be from " + std::to_string(min) + " to " + std::to_string(max));
        }
        *out = static_cast<uint32_t>(value);
        return true;
    }

    bool Word(const json& object, const char* key, const std::string& where, uint16_t* out, bool required,
              uint32_t min = 0, uint32_t max = 0xFFFF) {
        uint32_t value = *out;
        if (!Number(object, key, where, min, max, &value, required)) return false;
        *out = static_cast<uint16_t>(value);
        return true;
    }

    // Panel texts are printable ASCII, at most kMaxText characters.
    bool Text(const json& object, const char* key, const std::string& where, std::string* out, bool required) {
        if (!object.contains(key)) return required ? Fail(where, std::string("\"") + key + "\" is missing") : true;
        const json& v = object.at(key);
        const std::string at = where + "." + key;
        if (!v.is_string()) return Fail(at, "must be a text");
        const std::string text = v.get<std::string>();
        if (text.size() > kMaxText) return Fail(at, "is longer than " + std::to_string(kMaxText) + " characters");
        for (char c : text) {
            if (c < 0x20 || c > 0x7E) return Fail(at, "holds a character the panel cannot show (printable ASCII only)");
        }
        *out = text;
        return true;
    }

    bool Bool(const json& object, const char* key, const std::string& where, bool* out) {
        if (!object.contains(key)) return true;
        if (!object.at(key).is_boolean()) return Fail(where + "." + key, "must be true or false");
        *out = object.at(key).get<bool>();
        return true;
    }

private:
    std::string* error_;
    bool ok_ = true;
};

template <typename T>
bool SortUnique(std::vector<T>& items, Reader& r, const std::string& where) {
    std::sort(items.begin(), items.end(), [](const T& a, const T& b) { return a.number < b.number; });
    for (size_t i = 1; i < items.size(); ++i) {
        if (items[i].number == items[i - 1].number) {
            return r.Fail(where, "number " + std::to_string(items[i].number) + " appears twice");
        }
    }
    return true;
}

bool ReadGateway(const json& g, Reader& r, GatewaySettings* out) {
    const std::string at = "gateway";
    if (!r.Keys(g, at, {"reply_delay_ms", "max_frame_payload", "points_per_answer", "session_timeout_ms",
                        "zg_reply_letter"})) {
        return false;
    }
    r.Number(g, "reply_delay_ms", at, 0, 10000, &out->replyDelayMs, false);
    // The first frame of a list holds its 9-byte head and at least one 4-byte entry.
    r.Number(g, "max_frame_payload", at, 13, 255, &out->maxFramePayload, false);
    r.Number(g, "points_per_answer", at, 1, 250, &out->pointsPerAnswer, false);
    r.Number(g, "session_timeout_ms", at, 100, 600000, &out->sessionTimeoutMs, false);
    if (g.contains("zg_reply_letter")) {
        const json& v = g.at("zg_reply_letter");
        if (v == "own") out->zgReplyLetter = 0;
        else if (v == "p") out->zgReplyLetter = 'p';
        else return r.Fail(at + ".zg_reply_letter", "must be \"own\" or \"p\"");
    }
    return r.ok();
}

bool ReadZones(const json& p, Reader& r, const std::string& at, Model* m);
bool ReadGroups(const json& p, Reader& r, const std::string& at, Model* m);
bool ReadLoops(const json& p, Reader& r, const std::string& at, Model* m);

bool ReadPanel(const json& p, Reader& r, int64_t hostLocalSeconds, uint64_t nowMs, Model* m) {
    const std::string at = "panel";
    if (!r.Keys(p, at, {"version", "system_status", "trouble_status", "clock", "clock_runs", "zones", "groups",
                        "loops"})) {
        return false;
    }
    r.Text(p, "version", at, &m->version, false);
    r.Word(p, "system_status", at, &m->systemStatus, false);
    r.Word(p, "trouble_status", at, &m->troubleStatus, false);
    r.Bool(p, "clock_runs", at, &m->clock.runs);
    int64_t clock = hostLocalSeconds;
    if (p.contains("clock")) {
        const json& v = p.at("clock");
        CivilTime t;
        if (v == "now") {
            clock = hostLocalSeconds;
        } else if (v.is_string() && ParseClockText(v.get<std::string>(), &t)) {
            clock = CivilToSeconds(t);
        } else {
            return r.Fail(at + ".clock", "must be \"now\" or a date and time such as \"24/12/2001 09:15:30\"");
        }
    }
    SetClock(m->clock, clock, nowMs);
    if (!r.ok()) return false;

    return ReadZones(p, r, at, m) && ReadGroups(p, r, at, m) && ReadLoops(p, r, at, m);
}

bool ReadZones(const json& p, Reader& r, const std::string& at, Model* m) {
    if (!p.contains("zones")) return true;
    if (!p.at("zones").is_array()) return r.Fail(at + ".zones", "must be a list");
    for (size_t i = 0; i < p.at("zones").size(); ++i) {
        const json& z = p.at("zones")[i];
        const std::string w = at + ".zones[" + std::to_string(i) + "]";
        ZoneState zone;
        if (!r.Keys(z, w, {"number", "status", "label"}) || !r.Word(z, "number", w, &zone.number, true, 1, 999) ||
            !r.Word(z, "status", w, &zone.status, false) || !r.Text(z, "label", w, &zone.label, false)) {
            return false;
        }
        m->zones.push_back(zone);
    }
    return SortUnique(m->zones, r, at + ".zones");
}

bool ReadGroups(const json& p, Reader& r, const std::string& at, Model* m) {
    if (!p.contains("groups")) return true;
    if (!p.at("groups").is_array()) return r.Fail(at + ".groups", "must be a list");
    for (size_t i = 0; i < p.at("groups").size(); ++i) {
        const json& g = p.at("groups")[i];
        const std::string w = at + ".groups[" + std::to_string(i) + "]";
        GroupState group;
        if (!r.Keys(g, w, {"number", "status", "active", "label"}) ||
            !r.Word(g, "number", w, &group.number, true, 1, 999) || !r.Word(g, "status", w, &group.status, false) ||
            !r.Word(g, "active", w, &group.active, false) || !r.Text(g, "label", w, &group.label, false)) {
            return false;
        }
        m->groups.push_back(group);
    }
    return SortUnique(m->groups, r, at + ".groups");
}

bool ReadLoop(const json& l, Reader& r, const std::string& w, LoopState* loop) {
    if (!r.Keys(l, w, {"number", "points"}) || !r.Word(l, "number", w, &loop->number, true, 1, 999)) return false;
    if (!l.contains("points")) return true;
    if (!l.at("points").is_array()) return r.Fail(w + ".points", "must be a list");
    for (size_t k = 0; k < l.at("points").size(); ++k) {
        const json& pt = l.at("points")[k];
        const std::string wp = w + ".points[" + std::to_string(k) + "]";
        PointState point;
        if (!r.Keys(pt, wp, {"number", "status", "label"}) || !r.Word(pt, "number", wp, &point.number, true, 1, 999) ||
            !r.Word(pt, "status", wp, &point.status, false) || !r.Text(pt, "label", wp, &point.label, false)) {
            return false;
        }
        loop->points.push_back(point);
    }
    return SortUnique(loop->points, r, w + ".points");
}

bool ReadLoops(const json& p, Reader& r, const std::string& at, Model* m) {
    if (!p.contains("loops")) return r.ok();
    if (!p.at("loops").is_array()) return r.Fail(at + ".loops", "must be a list");
    for (size_t i = 0; i < p.at("loops").size(); ++i) {
        LoopState loop;
        if (!ReadLoop(p.at("loops")[i], r, at + ".loops[" + std::to_string(i) + "]", &loop)) return false;
        m->loops.push_back(std::move(loop));
    }
    if (!SortUnique(m->loops, r, at + ".loops")) return false;
    return r.ok();
}

std::string WordText(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

}  // namespace

bool ValidCivil(const CivilTime& t) {
    return t.year >= 1900 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

int64_t CivilToSeconds(const CivilTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day) - kDays1900;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

CivilTime SecondsToCivil(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // civil_from_days
    const int64_t z = days + kDays1900 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    CivilTime t;
    t.year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    t.month = static_cast<int>(m);
    t.day = static_cast<int>(d);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

bool ParseClockText(const std::string& text, CivilTime* t) {
    // dd/mm/yyyy hh:mm:ss, exactly.
    static constexpr char kShape[] = "nn/nn/nnnn nn:nn:nn";
    if (text.size() != sizeof kShape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'n' ? !digit : text[i] != kShape[i]) return false;
    }
    auto field = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = 0; i < n; ++i) v = v * 10 + (text[at + i] - '0');
        return v;
    };
    CivilTime parsed;
    parsed.day = field(0, 2);
    parsed.month = field(3, 2);
    parsed.year = field(6, 4);
    parsed.hour = field(11, 2);
    parsed.minute = field(14, 2);
    parsed.second = field(17, 2);
    if (!ValidCivil(parsed)) return false;
    *t = parsed;
    return true;
}

std::string FormatClockText(const CivilTime& t) {
    char text[40];
    snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute, t.second);
    return text;
}

int64_t ClockNow(const PanelClock& clock, uint64_t nowMs) {
    if (!clock.runs || nowMs < clock.setAtMs) return clock.setSeconds;
    return clock.setSeconds + static_cast<int64_t>((nowMs - clock.setAtMs) / 1000);
}

void SetClock(PanelClock& clock, int64_t seconds, uint64_t nowMs) {
    clock.setSeconds = seconds;
    clock.setAtMs = nowMs;
}

bool LoadModel(const std::string& text, int64_t hostLocalSeconds, uint64_t nowMs, Model* model, std::string* error) {
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        *error = "the model is not valid JSON";
        return false;
    }
    Reader r(error);
    Model m;
    if (!r.Keys(root, "model", {"gateway", "panel"})) return false;
    if (root.contains("gateway") && !ReadGateway(root.at("gateway"), r, &m.gateway)) return false;
    if (!root.contains("panel")) return r.Fail("model", "\"panel\" is missing");
    if (!ReadPanel(root.at("panel"), r, hostLocalSeconds, nowMs, &m)) return false;
    *model = std::move(m);
    return true;
}

std::string ModelToJson(const Model& m, uint64_t nowMs) {
    json root;
    root["gateway"] = {{"reply_delay_ms", m.gateway.replyDelayMs},
                       {"max_frame_payload", m.gateway.maxFramePayload},
                       {"points_per_answer", m.gateway.pointsPerAnswer},
                       {"session_timeout_ms", m.gateway.sessionTimeoutMs},
                       {"zg_reply_letter", m.gateway.zgReplyLetter == 0 ? "own" : "p"}};
    json panel;
    panel["version"] = m.version;
    panel["system_status"] = WordText(m.systemStatus);
    panel["trouble_status"] = WordText(m.troubleStatus);
    panel["clock"] = FormatClockText(SecondsToCivil(ClockNow(m.clock, nowMs)));
    panel["clock_runs"] = m.clock.runs;
    panel["zones"] = json::array();
    for (const ZoneState& z : m.zones) {
        panel["zones"].push_back({{"number", z.number}, {"status", WordText(z.status)}, {"label", z.label}});
    }
    panel["groups"] = json::array();
    for (const GroupState& g : m.groups) {
        panel["groups"].push_back(
            {{"number", g.number}, {"status", WordText(g.status)}, {"active", g.active}, {"label", g.label}});
    }
    panel["loops"] = json::array();
    for (const LoopState& l : m.loops) {
        json points = json::array();
        for (const PointState& p : l.points) {
            points.push_back({{"number", p.number}, {"status", WordText(p.status)}, {"label", p.label}});
        }
        panel["loops"].push_back({{"number", l.number}, {"points", points}});
    }
    root["panel"] = panel;
    return root.dump(2);
}

ZoneState* FindZone(Model& model, uint16_t number) {
    for (ZoneState& z : model.zones) {
        if (z.number == number) return &z;
    }
    return nullptr;
}

GroupState* FindGroup(Model& model, uint16_t number) {
    for (GroupState& g : model.groups) {
        if (g.number == number) return &g;
    }
    return nullptr;
}

LoopState* FindLoop(Model& model, uint16_t number) {
    for (LoopState& l : model.loops) {
        if (l.number == number) return &l;
    }
    return nullptr;
}

PointState* FindPoint(LoopState& loop, uint16_t number) {
    for (PointState& p : loop.points) {
        if (p.number == number) return &p;
    }
    return nullptr;
}

}  // namespace sksim
