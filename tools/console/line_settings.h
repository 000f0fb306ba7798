// The driver's line settings (SK5820.ini) seen from the console: the file
// the loaded DLL reads, the settings in effect for a port and where each came
// from, and the comparison of a fast answer end with the window the 01.00
// driver always waited.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/console/host.h"

// The driver reads SK5820.ini beside itself, but the console's own copy of
// that code would look beside skconsole.exe: so, unless the user's
// environment names a file already, SK5820_INI is set to SK5820.ini in the
// loaded DLL's folder. Call once, after Load.
void UseDriverSettingsFile(const DriverHost& host);

// "answers end by frame, block answers by window": how reads on this port
// end with the settings in effect.
std::string ReadsWith(const std::string& port);

// The `settings` command: the file, every setting in effect for the port
// and where it came from, and the lines the driver logs at the channel's
// start. 1 when the driver would log a problem with the file, else 0.
int ShowSettings(const ChannelOptions& channel, FILE* out);

struct CompareArgs {
    std::vector<std::string> gates;   // single reads
    std::vector<std::string> blocks;  // block reads
    int32_t count = 16;               // words of each block read
};

// The `compare` command: each single gate read with answer_end = window and
// = frame, each block gate with block_answer_end = window and = quiet, each
// mode on a channel of its own; the values side by side and a verdict.
// 0 when all agree, 1 for a difference, a failed read or a channel that did
// not start, 2 when no gate was given.
int CompareAnswerEnds(DriverHost& host, const ChannelOptions& channel, const CompareArgs& args,
                      const std::atomic<bool>& stop, FILE* out);
