// The simulated 5820 panel and its gateway settings, as loaded from the JSON
// model file (format in docs/simulator.md), and the panel's clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sksim {

struct ZoneState {
    uint16_t number = 0;
    uint16_t status = 0;
    std::string label;
};

struct GroupState {
    uint16_t number = 0;
    uint16_t status = 0;
    uint16_t active = 0;  // members in alarm or trouble
    std::string label;
};

struct PointState {
    uint16_t number = 0;
    uint16_t status = 0;
    std::string label;
};

struct LoopState {
    uint16_t number = 0;
    std::vector<PointState> points;  // in number order
};

struct GatewaySettings {
    uint32_t replyDelayMs = 2;        // turn-around before every answer
    uint32_t maxFramePayload = 41;    // longer answers go out as a first frame and continuation frames
    uint32_t pointsPerAnswer = 32;    // most points in the answer to a loop list request
    uint32_t sessionTimeoutMs = 15000;  // a session with nothing from the driver for this long is over
    uint8_t zgReplyLetter = 0;        // 0: zone and group answers carry their own letter; else this one
};

// Civil date and time of the panel clock.
struct CivilTime {
    int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

struct PanelClock {
    int64_t setSeconds = 0;  // clock reading (seconds since 01/01/1900 00:00:00) ...
    uint64_t setAtMs = 0;    // ... at this engine time
    bool runs = true;
};

// Point status bit the bypass and restore writes set and clear; system
// status bit of a running fire drill.
constexpr uint16_t kPointBypassed = 0x0100;
constexpr uint16_t kSystemDrill = 0x0010;
// Status word of a zone, group or point the panel does not have.
constexpr uint16_t kNotInstalled = 0xFFFF;
constexpr size_t kMaxText = 200;

struct Model {
    GatewaySettings gateway;
    std::string version = "5820XL SIMULATED";
    uint16_t systemStatus = 0;
    uint16_t troubleStatus = 0;
    PanelClock clock;
    std::vector<ZoneState> zones;    // in number order
    std::vector<GroupState> groups;  // in number order
    std::vector<LoopState> loops;    // in number order
};

// Loads a model from JSON text. `hostLocalSeconds` (seconds since 01/01/1900,
// local time) is what "clock": "now" means; `nowMs` is the engine time.
bool LoadModel(const std::string& json, int64_t hostLocalSeconds, uint64_t nowMs, Model* model, std::string* error);
// The model as JSON in the file format, with the clock as it reads at nowMs.
std::string ModelToJson(const Model& model, uint64_t nowMs);

ZoneState* FindZone(Model& model, uint16_t number);
GroupState* FindGroup(Model& model, uint16_t number);
LoopState* FindLoop(Model& model, uint16_t number);
PointState* FindPoint(LoopState& loop, uint16_t number);

// Clock arithmetic (proleptic Gregorian, no time zones: the panel keeps local time).
bool ValidCivil(const CivilTime& t);
int64_t CivilToSeconds(const CivilTime& t);
CivilTime SecondsToCivil(int64_t seconds);
// "24/12/2001 09:15:30" (day/month/year) in and out.
bool ParseClockText(const std::string& text, CivilTime* t);
std::string FormatClockText(const CivilTime& t);

int64_t ClockNow(const PanelClock& clock, uint64_t nowMs);
void SetClock(PanelClock& clock, int64_t seconds, uint64_t nowMs);

}  // namespace sksim
