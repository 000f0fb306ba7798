// The watch: the gates of a gate list read as a host polls them, cycle after
// cycle, with a line for each value that changes, each read that fails and
// each change of the line's state, and a summary at the end. Reads only.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/console/host.h"
#include "tools/console/scan.h"

struct WatchOptions {
    int cycles = 0;      // stop after this many cycles; 0: no limit
    double seconds = 0;  // no cycle starts once this many seconds have passed; 0: no limit
};

struct WatchResult {
    std::vector<double> cycleMs;  // each cycle read to its end, in milliseconds
    int reads = 0, good = 0;      // the watch's own count of its reads
    int changes = 0;
    std::string ended;  // "2 cycles done", "30 s passed", "stopped by Ctrl-C"
};

// Reads the gates on a started channel until `options` or `stop` ends it.
// The lines go to `out`; each gate's starting value and each change also to
// `csv` as a row (time,gate,old,new,reading) when it is not null.
WatchResult Watch(DriverHost& host, const std::vector<GateRow>& gates, const WatchOptions& options,
                  const std::atomic<bool>& stop, FILE* out, FILE* csv);

// The CSV file's header line.
void PrintWatchCsvHeader(FILE* csv);

// "summary: cycles 2, cycle time min 40 / median 41 / max 44 ms; reads 8 good,
// 0 failed, 0 good after a retry; changes 0": the reads as the channel's
// counters have them (the watch's own count for a channel without a line).
void PrintWatchSummary(FILE* out, const WatchResult& result, const DriverHost& host);
