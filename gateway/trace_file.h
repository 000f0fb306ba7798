// The field trace in a file of its own (trace_file in SK5820.ini), for a
// site that keeps the trace on for days: one file per port, each line with
// its local time, turned over at half its cap so that the file and its
// older half (.1) together never hold more than trace_file_kb. A file that
// cannot be opened, written or turned over is said once in the host log,
// and the trace goes to the host log until the settings are read again.
// The file's own calls are the platform's (serial/trace_io.h).
#pragma once

#include <cstdint>

#include "host/records.h"

constexpr uint32_t kDefaultTraceFileKb = 10240;
constexpr uint32_t kLeastTraceFileKb = 64, kMostTraceFileKb = 1048576;

// The cap in effect: trace_file_kb, its default when out of range.
uint32_t TraceFileKb(const TraceFile& traceFile);

// The port's own file from the trace_file setting: a setting that is no
// full path (no drive, no leading separator) is taken within `folder` (the
// DLL's, with its last separator), and the port's name joins the file's
// name before its extension: "D:\logs\sk-trace.txt" and "COM5" give
// "D:\logs\sk-trace-COM5.txt"; "trace" and "COM6" give "<folder>trace-COM6".
// False when the name and its ".1" do not fit `size` (`out` then holds as
// much as fits).
bool TraceFilePath(const char* setting, const char* portName, const char* folder, char* out, uint32_t size);

// The channel's trace file as the settings just read name it: the file open
// until now is closed, the path of the port's file kept (none for an empty
// setting) with the cap, and a failure before forgotten. Opens nothing.
void SetTraceFile(VpiChannel* channel, const char* setting, uint32_t capKb, const char* portName);

// The channel has a trace file that has not failed since the settings were read.
bool TraceFileInUse(const VpiChannel* channel);

// Opens the channel's file when it is in use and not open yet. False when
// no file is open after it: none set, or it could not be opened (one line
// in the host log; the file is then out of use until the settings are read
// again).
bool OpenTraceFile(VpiChannel* channel);

// Closes the channel's file when one is open (and the record's trace file
// bytes are the driver's: a record never started is left alone).
void CloseTraceFile(VpiChannel* channel);

// Appends one line of the trace with its local time to the channel's file:
//   "2026-05-04 14:03:22.517 VpiSK01: trace -> announce, 10 bytes [PC: SKGateway]: 53 4B ..."
// opened when it is not yet, turned over first when the line would take it
// past half its cap. False when the line must go to the host log instead.
bool WriteTraceLine(VpiChannel* channel, const char* line);
