// Shared set-up of the serial tests: a fresh fake port and an empty host log.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/ports.h"
#include "fake_win32_control.h"
#include "serial/comm.h"
#include "serial/lines.h"
#include "tests/support/log_lines.h"

namespace fw = fake_win32;

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw::Reset();
        KestraClear();
    }

    static PortSettings Settings(uint16_t baud, uint16_t dataBits, uint16_t stopBits, uint16_t parity) {
        PortSettings s;
        s.baudRate = baud;
        s.dataBits = dataBits;
        s.stopBits = stopBits;
        s.parity = parity;
        return s;
    }

    // A port opened the way the channel start opens one; the calls are cleared.
    static Handle OpenedPort() {
        const PortSettings s = Settings(19200, 8, 0, 0);
        Handle port = nullptr;
        EXPECT_EQ(CommOpen("COM2", &s, 0x0101, &port), CommResult::Ok);
        fw::ClearCalls();
        return port;
    }

    static Handle Fake(uintptr_t value) { return reinterpret_cast<Handle>(value); }
};
