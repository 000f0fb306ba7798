// What happens at set times after the simulator starts: the dead (or
// flapping) line, and the timed panel events. Pure functions of the time
// since the start, so the engine's clock drives them.
#pragma once

#include <cstdint>
#include <string>

#include "tools/sim/model.h"
#include "tools/sim/sim_api.h"

namespace sksim {

// Whether the line is dead `sinceStartMs` after the start.
bool LineDeadAt(const SimDeadLine& line, uint64_t sinceStartMs);
// When (since the start) the line took the state it has at `sinceStartMs`: the
// scheduled turn, which the runner notices a little later.
uint64_t LineTurnedAt(const SimDeadLine& line, uint64_t sinceStartMs);
// False, and why, for a dead line that cannot be: a flapping one without an
// alive or a dead spell.
bool CheckDeadLine(const SimDeadLine& line, std::string* error);
// "dead after 30.000 s for 10.000 s", "flapping: alive 30.000 s, dead 10.000 s", ...
std::string DescribeDeadLine(const SimDeadLine& line);

// "point 1-002", "zone 3", "group 5", "system".
std::string EventTarget(const SimEvent& event);
// The status word the event sets; nullptr when the model has no such point, zone or group.
uint16_t* EventStatus(Model& model, const SimEvent& event);
// "line 4" (from a file) or "event 2" (1-based `index` in the list).
std::string EventPlace(const SimEvent& event, size_t index);
// "12.000 s".
std::string SecondsText(uint64_t ms);

}  // namespace sksim
