// The console's side of the host contract: SK5820.dll loaded with
// LoadLibrary, VpiMain taken by name, a channel record of the size the driver
// asks for, and one gate request after the other, timed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/records.h"

struct ChannelOptions {
    std::string port = "COM1";
    uint16_t baud = 19200;
    uint16_t dataBits = 8;
    uint16_t stopCode = 0;    // 0 one, 1 one and a half, 2 two
    uint16_t parityCode = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int32_t readTimeout = 100;  // units of 10 ms
    int32_t channelIndex = 1;
};

enum class Operation { Read, Block, Write };

struct GateResult {
    std::string gate;
    Operation operation = Operation::Read;
    char letter = '?';
    std::string kind;   // number, text, date, block, write
    int32_t status = 2;  // what VpiMain answered (the parse's answer when it refused the address)
    bool parsed = false;
    uint16_t number = 0;
    std::string text;
    std::vector<uint16_t> words;
    double ms = 0;
    bool refusedByPanel = false;  // a write the panel answered with NAK (the driver's log line says so)
};

class DriverHost {
public:
    bool Load(const std::string& dll, std::string* error);
    int32_t Describe(DriverInfo* info);
    // The loaded DLL's file version from its version resource ("1.1.0.0"),
    // and what the channel start logs ("01.00": the host contract's version);
    // false when the file has no version resource.
    bool FileVersion(std::string* fileVersion, std::string* logVersion) const;
    // The loaded DLL's full path; false before Load or when it does not fit.
    bool ModulePath(std::string* path) const;
    int32_t Start(const ChannelOptions& options);
    int32_t End();
    bool started() const { return started_; }
    // A copy of the line's health from the channel record the driver keeps
    // it in (its down state and counters); false before the first start or
    // for a channel without a line (NULLDEV), whose counters never count.
    bool Health(LineHealth* health) const;

    GateResult Read(const std::string& gate, int gateType);
    GateResult Block(const std::string& gate, int32_t count);
    GateResult Write(const std::string& gate, const std::string& value, int gateType);

private:
    int32_t Call(int32_t function, void* params);
    int32_t Parse(int32_t function, const std::string& gate, int gateType, GateRecord* record);

    using VpiMainFn = int32_t(__stdcall*)(VpiRequest*);
    VpiMainFn vpi_ = nullptr;
    HMODULE module_ = nullptr;
    std::vector<unsigned char> channel_;
    int32_t channelIndex_ = 0;
    bool started_ = false;
};

// The command number the address text starts with (01_… is 1); 0 when it
// does not start with two digits.
uint32_t GateCommand(const std::string& gate);
// The gate type a single address of this gate needs (0 number, 7 text); -1
// when the text names no command.
int DefaultGateType(const std::string& gate);
// The command letter of the gate's command, '?' when it names none.
char GateLetter(const std::string& gate);
