// Reading the host log from a test (native fake or the stand-in KESTRA.dll).
#pragma once

#include <string>
#include <vector>

#include "tools/kestra/kestra_api.h"

inline std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    const int n = KestraCount();
    for (int i = 0; i < n; ++i) {
        char text[2048];
        if (KestraLine(i, text, sizeof text) >= 0) lines.emplace_back(text);
    }
    return lines;
}
