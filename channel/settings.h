// The settings of a channel's line that the host's records cannot carry,
// from the settings file SK5820.ini beside the DLL (or the file the host's
// environment names in SK5820_INI). Standard INI form: the section [default]
// applies to every port, a section named by the port ([COM5], any letter
// case) overrides it key by key for that port.
//
//   answer_end = frame | window        the single answer read ends with its frame
//   block_answer_end = window | quiet  a block answer waits its window, or ends after a quiet gap
//   block_quiet_ms = 20..4000          that gap (300)
//   check_crc = 1 | 0                  value answers must arrive whole with good CRCs
//   trace = 0 | 1                      the field trace for this port
//   send_gap_ms = 0..1000              a pause before each frame sent
//   check_frame_numbers = 1 | 0        a block answer's frames must be numbered without a gap
//   read_retries = 0..5                a read's session runs again on a spoiled answer (2)
//   line_down_after = 0..100           requests in a row without an announce answer before the line is down (3; 0 never)
//   line_retry_s = 1..300              while the line is down, a read goes to it at most this often (10)
//   stats_minutes = 0..1440            the counters line every so many minutes (60; 0 never)
//   trace_file = <path>                the trace in the port's own file instead of the host log (none)
//   trace_file_kb = 64..1048576        that file and its .1 together at most (10240)
//   confirm_changes = 1 | 0            a changed 16-bit value is reported only when two answers agree
//
// A bad value or an unknown key never stops a channel: it is logged and
// the default (or the [default] section's value) stays in effect.
#pragma once

#include <cstdint>

#include "gateway/trace_file.h"
#include "host/records.h"

enum class SettingKey : uint8_t {
    AnswerEnd,
    BlockAnswerEnd,
    BlockQuietMs,
    CheckCrc,
    Trace,
    SendGapMs,
    CheckFrameNumbers,
    ReadRetries,
    LineDownAfter,
    LineRetryS,
    StatsMinutes,
    TraceFile,
    TraceFileKb,
    ConfirmChanges,
    Count
};
constexpr uint32_t kSettingCount = static_cast<uint32_t>(SettingKey::Count);

// Where a setting in effect came from.
enum class SettingOrigin : uint8_t { BuiltIn, DefaultSection, PortSection };

// The longest trace_file the file may give.
constexpr uint32_t kTraceFileSettingLength = 200;

struct SettingsInEffect {
    LineSettings line{};
    SettingOrigin origin[kSettingCount]{};
    char traceFile[kTraceFileSettingLength + 1]{};  // trace_file as written: empty for none
    uint32_t traceFileKb = kDefaultTraceFileKb;
};

// The file as found: its path, the name the log lines give it, and whether
// it could be read.
// Missing: no file beside the DLL (the defaults, as out of the box);
// NotFound: SK5820_INI names a file that is not there; TooLong: the path
// SK5820_INI names (made full) does not fit `path`. Each of the last three
// is logged: the integrator asked for a file the driver cannot read.
enum class SettingsFileState : uint8_t { Missing, Readable, Unreadable, NotFound, TooLong };
struct SettingsFile {
    char path[264] = {};
    uint32_t nameAt = 0;  // where the file's own name starts within path
    const char* Name() const { return path + nameAt; }
    SettingsFileState state = SettingsFileState::Missing;
    uint32_t windowsError = 0;
    uint32_t namedLength = 0;  // TooLong: the length of the path as made full
};

// A name SK5820_INI gives is full when it starts with a drive ("C:"), a
// backslash or a slash; any other is taken within the DLL's folder (the
// console's own folder for the console, which loads the DLL from there).
bool FullPath(const char* path);

// The room one section may take as read: a longer one is refused whole.
constexpr uint32_t kSettingsSectionRoom = 4096;

// The platform's part (Win32 in the DLL, a stand-in natively): the file
// beside the module or named by SK5820_INI, and one section of it as
// "key=value\0key=value\0\0" (any letter case for the section's name).
// ReadSettingsSection is false when the section is longer than `size`.
SettingsFile LocateSettingsFile();
bool ReadSettingsSection(const SettingsFile& file, const char* section, char* out, uint32_t size);

// The key's name in the file and the text of a value in effect, as the
// file would write it (trace_file: empty for none). The form with the line's
// settings alone gives the trace file's keys their defaults.
const char* SettingName(SettingKey key);
void SettingText(const SettingsInEffect& settings, SettingKey key, char* out, uint32_t size);
void SettingText(const LineSettings& line, SettingKey key, char* out, uint32_t size);

// Reads the file for the port `portName` (the channel's descriptor name):
// [default], then the port's section. Each bad value, unknown key or
// unreadable part is logged once with `logName` (the channel's name); a
// null `logName` logs nothing.
SettingsInEffect ReadLineSettings(const char* portName, const char* logName);

// The channel's settings read for its port, stored in its record, and one
// line in the host log with the port and the settings in effect:
// "VpiSK01: COM5 19200 8N1, answers end by frame, block answers by window, CRC checked".
// The trace file open until now is closed; the port's own file, when the
// settings name one, is opened at once when the trace is on and the record
// has its port (a record without one, as the console's, opens nothing).
void ApplyLineSettings(VpiChannel* channel);
