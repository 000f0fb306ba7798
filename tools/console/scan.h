// The commissioning scan: finds what the panel has (version, clock, zones,
// groups, loops and their points) with read requests only, and keeps one row
// per gate for the host's tag table. How a list ends is in
// docs/commissioning.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/console/host.h"

// The most numbers the scan tries in each list; 0 skips the list.
struct ScanLimits {
    int zones = 16;
    int groups = 8;
    int loops = 4;
    int points = 32;
};

struct ScanOptions {
    ScanLimits limits;
    double budgetSeconds = 900;  // no new read starts once it would end past this; 0: no budget
    int gap = 1;                 // numbers missing in a row that end a zone, group or loop list
    std::string readsWith;       // how the driver's reads end ("answers end by frame, …"): the first progress line
};

// One gate of the list, as the scan read it.
struct GateRow {
    std::string address;
    int gateType = 0;
    std::string kind;  // system-status, trouble-status, version, clock, zone, zone-label, group, group-label,
                       // loop-block, point, point-label
    int loop = 0;      // points and loop blocks; 0: none
    int number = 0;    // zone, group or point number; 0: none
    std::string label;
    bool hasStatus = false;  // number gates that answered
    uint16_t status = 0;
    std::string text;  // text gates: what they read; a loop block: its words
    std::string blockGate;
    int blockIndex = -1;  // the point's word in the block gate's value, from 0
    int blockCount = 0;   // words the host asks of the block gate
    std::string note;     // empty when the gate answered
};

struct ScanResult {
    std::vector<GateRow> rows;
    std::vector<std::string> unread;     // "04_003 (status 1)": reads that failed
    std::vector<std::string> limitsHit;  // lists that reached their limit before their end
    std::string ended;                   // empty: the scan ran to the end of every list
    int reads = 0, blocks = 0;
    int zones = 0, groups = 0, loops = 0, points = 0;
    double seconds = 0;
};

// Runs the scan on a started channel. `stop` is checked between requests;
// progress goes to `progress`.
ScanResult Scan(DriverHost& host, const ScanOptions& options, const std::atomic<bool>& stop, FILE* progress);

// "8,5,2,24" -> limits; false with a reason for anything else.
bool ParseLimits(const std::string& text, ScanLimits* limits, std::string* error);

// Reads a gate list as the scan writes it (BASE.csv), also one cut down to
// the rows a host polls, or written by hand: a header naming at least the
// `address` column, then one row per gate. The other columns are taken when
// the header has them (a missing gate_type is the command's own). False with
// "FILE:LINE: what" for a file that cannot be read, a row that does not fit
// its header, a gate of no read command (01 to 10), a loop-block row without
// a block_count, or a list without a row.
bool ReadGateList(const std::string& file, std::vector<GateRow>* rows, std::string* error);

// Writes BASE.csv and BASE.json; false with the file named on failure.
bool WriteGateList(const ScanResult& result, const ScanOptions& options, const std::string& base,
                   std::string* error);
