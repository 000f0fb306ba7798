// Helpers of the serial tests under Wine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/wine/support/driver.h"

// The far end of a pair, opened with the plain platform calls.
inline HANDLE OpenPeer(int pair) {
    const std::string path = "\\\\.\\" + PeerCom(pair);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 1000;
        SetCommTimeouts(h, &t);
    }
    return h;
}

inline bool PeerWrite(HANDLE peer, const void* bytes, DWORD count) {
    DWORD n = 0;
    return WriteFile(peer, bytes, count, &n, nullptr) && n == count;
}

// Reads from the far end until `count` bytes came or a read returns nothing.
inline std::string PeerRead(HANDLE peer, size_t count) {
    std::string got;
    char buffer[256];
    while (got.size() < count) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, count - got.size()));
        if (!ReadFile(peer, buffer, want, &n, nullptr) || n == 0) break;
        got.append(buffer, n);
    }
    return got;
}

// A COM number of this test's range that no pair uses.
inline std::string UnusedCom() {
    const char* base = getenv("SK_COM_BASE");
    return "COM" + std::to_string((base != nullptr ? atoi(base) : 0) + 4);
}

inline int ComNumber(const std::string& com) { return atoi(com.c_str() + 3); }

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

class Stopwatch {
public:
    double Ms() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// On a pty the modem-control lines cannot be driven, so the close logs the
// DTR and RTS messages there; a real port logs nothing. Either is fine, but
// no other line, no repeat, and DTR before RTS.
inline void ExpectOnlyLineControlMessages(const std::vector<std::string>& lines) {
    int dtr = -1, rts = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "EscapeCommFunction fail (DTR)" && dtr < 0) {
            dtr = static_cast<int>(i);
        } else if (lines[i] == "EscapeCommFunction fail (RTS)" && rts < 0) {
            rts = static_cast<int>(i);
        } else if (lines[i].find(" 8N1, answers end by ") == std::string::npos) {  // a port opened: its settings
            ADD_FAILURE() << "unexpected log line: " << lines[i];
        }
    }
    if (dtr >= 0 && rts >= 0) {
        EXPECT_LT(dtr, rts);
    }
}
