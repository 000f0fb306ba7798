// The simulator on a real (virtual) serial line: the library answers on the
// far end of a socat pair while this program plays the driver with raw Win32
// serial calls and the driver's exact frames and read sizes.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/support/driver.h"
#include "tools/sim/sim_api.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kRequestS = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x01, 0x73, 0x01, 0x65};
const Bytes kEosSingle = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x22, 0x01, 0x06, 0x44, 0x63};
const Bytes kByeSingle = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x33, 0x00, 0x42, 0x13};
// 'p' loop 1, 0 (the loop list), and the block session's frames after a three-frame answer.
const Bytes kRequestList = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x05, 0x70, 0x01, 0x00, 0x00, 0x00, 0x37, 0x72};
const Bytes kZlz4 = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x24, 0x00, 0x42, 0x04};
const Bytes kEos5 = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x35, 0x01, 0x06, 0x92, 0x01};
const Bytes kBye6 = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x46, 0x00, 0x42, 0x66};

// The driver's side of the pair, opened as the driver opens a port.
class DriverSide {
public:
    DriverSide() {
        const std::string path = "\\\\.\\" + DriverCom(0);
        h_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(h_, &dcb);
        dcb.BaudRate = 19200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        SetCommState(h_, &dcb);
        PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~DriverSide() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }

    void Write(const Bytes& b) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h_, b.data(), static_cast<DWORD>(b.size()), &n, nullptr));
        ASSERT_EQ(n, b.size());
    }
    void Write(const char* text) { Write(Bytes(text, text + strlen(text))); }

    // Reads up to `want` bytes within `timeoutMs` (in 10 ms units, as the driver sets it):
    // returns early only when all `want` bytes came.
    Bytes Read(size_t want, DWORD timeoutMs, double* ms = nullptr) {
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = timeoutMs;
        SetCommTimeouts(h_, &t);
        Bytes b(want);
        DWORD got = 0;
        const auto start = Clock::now();
        ReadFile(h_, b.data(), static_cast<DWORD>(want), &got, nullptr);
        if (ms != nullptr) *ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        b.resize(got);
        return b;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

sksim::Simulator* Start(const sksim::SimFaults& faults = {}, std::string* error = nullptr) {
    sksim::SimOptions o;
    o.port = PeerCom(0);
    o.modelFile = SK_SIM_MODEL;
    o.faults = faults;
    std::string why;
    sksim::Simulator* sim = sksim::SimStart(o, error != nullptr ? error : &why);
    EXPECT_NE(sim, nullptr) << why;
    return sim;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

class SimOnAPair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(DriverCom(0).empty()) << "run through tests/wine/run.sh --pairs 1"; }
};

TEST_F(SimOnAPair, SingleSessionRunsAtTheProtocolsPace) {
    sksim::Simulator* sim = Start();
    ASSERT_NE(sim, nullptr);
    DriverSide line;
    ASSERT_TRUE(line.ok());
    double ms = 0;

    line.Write("SK GATEWAY");
    const Bytes announce = line.Read(11, 2000, &ms);
    ASSERT_EQ(announce.size(), 11u);
    EXPECT_EQ(announce[0], 0x55);
    EXPECT_EQ(announce[1], 0xAA);
    EXPECT_EQ(announce[5], 0x10);
    EXPECT_LT(ms, 1000) << "the 11 bytes end the read early";

    line.Write(kRequestS);
    const Bytes status = line.Read(255, 1000, &ms);
    ASSERT_EQ(status.size(), 12u);
    EXPECT_EQ(status[7], 's');
    EXPECT_GE(ms, 990) << "a 255-byte read waits its full second";

    line.Write(kEosSingle);
    const Bytes eos = line.Read(11, 5000, &ms);
    ASSERT_EQ(eos.size(), 11u);
    EXPECT_EQ(eos[7], 0x01);
    EXPECT_LT(ms, 1000);

    line.Write(kByeSingle);
    const Bytes bye = line.Read(10, 5000, &ms);
    ASSERT_EQ(bye.size(), 10u);
    EXPECT_EQ(bye[6], 1);
    EXPECT_LT(ms, 1000);

    EXPECT_TRUE(sksim::SimWaitSessionsClosed(sim, 1, 2000));
    const sksim::SimCounters c = sksim::SimGetCounters(sim);
    EXPECT_EQ(c.singleSessions, 1u);
    EXPECT_EQ(c.badCrc + c.badSequence + c.badFrames + c.garbageBytes, 0u);
    const std::string trace = Joined(sksim::SimTraceLines(sim));
    EXPECT_NE(trace.find("-> T02 S11 L1   's'"), std::string::npos) << trace;
    EXPECT_NE(trace.find("session closed: single session"), std::string::npos) << trace;
    sksim::SimStop(sim);
}

TEST_F(SimOnAPair, BlockSessionWithContinuationFrames) {
    sksim::Simulator* sim = Start();
    ASSERT_NE(sim, nullptr);
    DriverSide line;
    ASSERT_TRUE(line.ok());
    line.Write("SK GATEWAY");
    ASSERT_EQ(line.Read(11, 2000).size(), 11u);
    line.Write(kRequestList);
    const Bytes list = line.Read(2000, 1500);
    ASSERT_EQ(list.size(), 50u + 50 + 34);
    EXPECT_EQ(list[4], 0x01);
    EXPECT_EQ(list[50 + 4], 0x01);
    EXPECT_EQ(list[100 + 4], 0x02);
    EXPECT_EQ(list[100 + 5], 0x41);
    line.Write(kZlz4);
    EXPECT_EQ(line.Read(11, 5000).size(), 11u);
    line.Write(kEos5);
    const Bytes eos = line.Read(11, 5000);
    ASSERT_EQ(eos.size(), 11u);
    EXPECT_EQ(eos[7], 0x01);
    line.Write(kBye6);
    const Bytes bye = line.Read(10, 5000);
    ASSERT_EQ(bye.size(), 10u);
    EXPECT_EQ(bye[6], 1);
    EXPECT_TRUE(sksim::SimWaitSessionsClosed(sim, 1, 2000));
    const sksim::SimCounters c = sksim::SimGetCounters(sim);
    EXPECT_EQ(c.blockSessions, 1u);
    EXPECT_EQ(c.badSequence, 0u) << Joined(sksim::SimTraceLines(sim));
    sksim::SimStop(sim);
}

// Paced, the 134 bytes of the loop list take the line's own time (10 bit
// times a byte at 19200 baud: 70 ms) and the two frame gaps of 30 ms.
TEST_F(SimOnAPair, PacedAnswersTakeTheLinesTime) {
    sksim::SimOptions o;
    o.port = PeerCom(0);
    o.modelFile = SK_SIM_MODEL;
    o.pace = true;
    o.frameGapMs = 30;
    std::string why;
    sksim::Simulator* sim = sksim::SimStart(o, &why);
    ASSERT_NE(sim, nullptr) << why;
    DriverSide line;
    ASSERT_TRUE(line.ok());
    line.Write("SK GATEWAY");
    ASSERT_EQ(line.Read(11, 2000).size(), 11u);
    line.Write(kRequestList);
    double ms = 0;
    const Bytes list = line.Read(134, 3000, &ms);
    ASSERT_EQ(list.size(), 134u);
    // The last byte goes out 133 byte times after the first.
    EXPECT_GE(ms, 133 * 10 * 1000.0 / 19200 + 2 * 30) << "paced at 19200 baud, two gaps of 30 ms";
    EXPECT_LT(ms, 2000);
    EXPECT_NE(Joined(sksim::SimTraceLines(sim)).find("frame gap: 30 ms between the frames"), std::string::npos);
    sksim::SimStop(sim);
}

TEST_F(SimOnAPair, FaultsSetAtRunTimeAndHangUp) {
    sksim::Simulator* sim = Start();
    ASSERT_NE(sim, nullptr);
    DriverSide line;
    ASSERT_TRUE(line.ok());
    sksim::SimFaults f;
    f.mute = sksim::kSilentAfterAnnounce;
    f.hangUpMs = 600;
    sksim::SimSetFaults(sim, f);
    EXPECT_EQ(sksim::SimGetFaults(sim).mute, sksim::kSilentAfterAnnounce);
    line.Write("SK GATEWAY");
    ASSERT_EQ(line.Read(11, 2000).size(), 11u);
    line.Write(kRequestS);
    EXPECT_TRUE(line.Read(255, 1000).empty()) << "silent after the announce";

    sksim::SimHangUpNow(sim);
    Sleep(200);
    line.Write("SK GATEWAY");
    EXPECT_TRUE(line.Read(11, 300).empty()) << "nobody on the line";
    Sleep(600);
    sksim::SimSetFaults(sim, sksim::SimFaults{});
    line.Write("SK GATEWAY");
    EXPECT_EQ(line.Read(11, 2000).size(), 11u) << "the line is back";
    const sksim::SimCounters c = sksim::SimGetCounters(sim);
    EXPECT_EQ(c.hangUps, 1u);
    const std::string trace = Joined(sksim::SimTraceLines(sim));
    EXPECT_NE(trace.find("line closed (hang-up) for 600 ms"), std::string::npos) << trace;
    EXPECT_NE(trace.find("line open again"), std::string::npos) << trace;
    sksim::SimStop(sim);
}

TEST_F(SimOnAPair, StartFailuresSayWhy) {
    struct Case {
        std::string port, file, json, reason;
    };
    const Case cases[] = {
        {PeerCom(0), "", "{", "not valid JSON"},
        {PeerCom(0), "Z:/nonexistent/panel.json", "", "cannot read the model file"},
        {PeerCom(0), "", "", "no model"},
        {"COM399", SK_SIM_MODEL, "", "cannot open \\\\.\\COM399"},
    };
    for (const Case& c : cases) {
        sksim::SimOptions o;
        o.port = c.port;
        o.modelFile = c.file;
        o.modelJson = c.json;
        std::string error;
        sksim::Simulator* sim = sksim::SimStart(o, &error);
        EXPECT_EQ(sim, nullptr) << c.reason;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        sksim::SimStop(sim);
    }
}

TEST_F(SimOnAPair, DateWriteShowsInTheModel) {
    sksim::SimOptions o;
    o.port = PeerCom(0);
    o.modelJson = R"({"panel": {"clock": "01/01/2020 00:00:00", "clock_runs": false}})";
    std::string error;
    sksim::Simulator* sim = sksim::SimStart(o, &error);
    ASSERT_NE(sim, nullptr) << error;
    DriverSide line;
    ASSERT_TRUE(line.ok());
    line.Write("SK GATEWAY");
    ASSERT_EQ(line.Read(11, 2000).size(), 11u);
    // 07/12/2026 22:28:10 as the driver sends it.
    line.Write(Bytes{0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x0D, 0x59, 0x0A, 0x00, 0x1C, 0x00,
                     0x16, 0x00, 0x07, 0x00, 0x0C, 0x00, 0x7E, 0x00, 0xD4, 0x9E});
    const Bytes ack = line.Read(255, 500);
    ASSERT_EQ(ack.size(), 11u);
    EXPECT_EQ(ack[8], 0x06);
    EXPECT_NE(sksim::SimModelJson(sim).find("\"clock\": \"07/12/2026 22:28:10\""), std::string::npos)
        << sksim::SimModelJson(sim);
    EXPECT_EQ(sksim::SimGetCounters(sim).writes, 1u);
    sksim::SimStop(sim);
}

// sksim.exe itself: started on the far end for a few seconds, it answers and prints its trace.
TEST_F(SimOnAPair, TheProgramAnswersAndPrintsItsTrace) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readOut = nullptr, writeOut = nullptr;
    ASSERT_TRUE(CreatePipe(&readOut, &writeOut, &sa, 0));
    SetHandleInformation(readOut, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeOut;
    si.hStdError = writeOut;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::string command = std::string("\"") + SK_SIM_EXE + "\" --port " + PeerCom(0) + " --seconds 6 --raw";
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        << GetLastError();
    CloseHandle(writeOut);
    std::string output;
    std::thread reader([&] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(readOut, buffer, sizeof buffer, &n, nullptr) && n > 0) output.append(buffer, n);
    });

    DriverSide line;
    ASSERT_TRUE(line.ok());
    Bytes announce;
    for (int i = 0; i < 7 && announce.size() < 11; ++i) {  // the program may still be starting
        line.Write("SK GATEWAY");
        announce = line.Read(11, 2000);
    }
    ASSERT_EQ(announce.size(), 11u);
    line.Write(kRequestS);
    EXPECT_EQ(line.Read(255, 1000).size(), 12u);
    line.Write(kEosSingle);
    EXPECT_EQ(line.Read(11, 5000).size(), 11u);
    line.Write(kByeSingle);
    EXPECT_EQ(line.Read(10, 5000).size(), 10u);

    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    reader.join();
    CloseHandle(readOut);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_NE(output.find("-> announce \"SK GATEWAY\""), std::string::npos) << output;
    EXPECT_NE(output.find("raw 55 AA 55 AA 02 11 01 73 01 65"), std::string::npos) << output;
    EXPECT_NE(output.find("session closed: single session"), std::string::npos) << output;
    EXPECT_NE(output.find("sksim stopped."), std::string::npos) << output;
    EXPECT_NE(output.find("sessions 1 opened, 1 closed (1 single, 0 block)"), std::string::npos) << output;
}

}  // namespace
