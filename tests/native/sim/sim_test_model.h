// A small panel model for the simulator's native tests, with a fixed clock.
#pragma once

#include <string>

namespace sksim {

// Loop 1 has points 1..12 and 14..24 (13 is empty; point 7 reads 0x0080);
// loop 2 has points 1..3. Frames carry at most 41 payload bytes: the loop 1
// list goes out as 8 + 10 + 6 entries in three frames.
inline std::string TestModelJson(const char* clock = "24/12/2001 09:15:30", bool runs = false) {
    std::string points;
    for (int n = 1; n <= 24; ++n) {
        if (n == 13) continue;
        const int status = n == 7 ? 0x80 : n * 16 + 1;
        if (!points.empty()) points += ",";
        points += "{\"number\":" + std::to_string(n) + ",\"status\":" + std::to_string(status) +
                  ",\"label\":\"L1 P" + std::to_string(n) + "\"}";
    }
    return std::string(R"({
  "gateway": {"reply_delay_ms": 3, "max_frame_payload": 41, "points_per_answer": 32, "session_timeout_ms": 15000},
  "panel": {
    "version": "5820XL TEST 1.0",
    "system_status": "0x1204",
    "trouble_status": 7,
    "clock": ")") + clock + R"(",
    "clock_runs": )" + (runs ? "true" : "false") + R"(,
    "zones": [{"number": 3, "status": "0x0001", "label": "KITCHEN"},
              {"number": 1, "status": "0x0000", "label": "LOBBY"},
              {"number": 12, "status": "0xBEEF", "label": "ATTIC"}],
    "groups": [{"number": 5, "status": "0x0102", "active": 3, "label": "PARKING"},
               {"number": 2, "status": "0x0001", "active": 1, "label": "FIRST FLOOR"}],
    "loops": [{"number": 1, "points": [)" + points + R"(]},
              {"number": 2, "points": [{"number": 1, "status": 4660, "label": "HEAT 1"},
                                      {"number": 2, "status": 0, "label": "HEAT 2"},
                                      {"number": 3, "status": 2, "label": "HEAT 3"}]}]
  }
})";
}

}  // namespace sksim
