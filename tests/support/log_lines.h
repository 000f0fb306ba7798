// Reading the host log from a test (native fake or the stand-in KESTRA.dll),
// and a trace file.
#pragma once

#include <fstream>
#include <sstream>
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

// The lines of a trace file without their time, each time checked for its
// form ("2026-05-04 14:03:22.517 "); none when there is no file.
inline std::vector<std::string> TraceFileLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = all.substr(at, end - at);
        const bool timed = line.size() > 24 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
                           line[13] == ':' && line[16] == ':' && line[19] == '.' && line[23] == ' ';
        lines.push_back(timed ? line.substr(24) : "(no time) " + line);
    }
    return lines;
}
