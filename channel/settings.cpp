#include "channel/settings.h"

#include <cstdio>
#include <cstring>

#include "gateway/line_settings.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "serial/environment.h"

namespace {

constexpr uint16_t kDefaultQuietMs = 300;

struct KeyRule {
    const char* name;
    const char* allowed;  // what the log line says a good value is
    uint32_t low, high;   // numbers: the range; words: unused
    const char* words[2];  // words: the value for 0 and for 1
};

// In SettingKey order.
constexpr KeyRule kRules[kSettingCount] = {
    {"answer_end", "not frame or window", 0, 0, {"frame", "window"}},
    {"block_answer_end", "not window or quiet", 0, 0, {"window", "quiet"}},
    {"block_quiet_ms", "not a number from 20 to 4000", 20, 4000, {nullptr, nullptr}},
    {"check_crc", "not 0 or 1", 0, 1, {nullptr, nullptr}},
    {"trace", "not 0 or 1", 0, 1, {nullptr, nullptr}},
    {"send_gap_ms", "not a number from 0 to 1000", 0, 1000, {nullptr, nullptr}},
    {"check_frame_numbers", "not 0 or 1", 0, 1, {nullptr, nullptr}},
    {"read_retries", "not a number from 0 to 5", 0, 5, {nullptr, nullptr}},
    {"line_down_after", "not a number from 0 to 100", 0, 100, {nullptr, nullptr}},
    {"line_retry_s", "not a number from 1 to 300", 1, 300, {nullptr, nullptr}},
    {"stats_minutes", "not a number from 0 to 1440", 0, 1440, {nullptr, nullptr}},
    {"trace_file", "not a path of at most 200 characters", 0, 0, {nullptr, nullptr}},
    {"trace_file_kb", "not a number from 64 to 1048576", kLeastTraceFileKb, kMostTraceFileKb, {nullptr, nullptr}},
    {"confirm_changes", "not 0 or 1", 0, 1, {nullptr, nullptr}},
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (Lower(*a) != Lower(*b)) return false;
    }
    return *a == *b;
}

// The stored value of a key, as a number (words: 0 or 1).
uint32_t Stored(const LineSettings& line, SettingKey key) {
    switch (key) {
        case SettingKey::AnswerEnd: return line.answerEndWindow == 1 ? 1 : 0;
        case SettingKey::BlockAnswerEnd: return line.blockEndQuiet == 1 ? 1 : 0;
        case SettingKey::BlockQuietMs: return line.blockQuietMs != 0 ? line.blockQuietMs : kDefaultQuietMs;
        case SettingKey::CheckCrc: return line.crcUnchecked == 1 ? 0 : 1;
        case SettingKey::Trace: return line.traceOn == 1 ? 1 : 0;
        case SettingKey::CheckFrameNumbers: return line.frameNumbersUnchecked == 1 ? 0 : 1;
        case SettingKey::ReadRetries: return ReadRetries(line);
        case SettingKey::LineDownAfter: return LineDownAfter(line);
        case SettingKey::LineRetryS: return LineRetryS(line);
        case SettingKey::StatsMinutes: return StatsMinutes(line);
        case SettingKey::ConfirmChanges: return ChangesConfirmed(line) ? 1 : 0;
        default: return line.sendGapMs;
    }
}

void Store(LineSettings& line, SettingKey key, uint32_t value) {
    switch (key) {
        case SettingKey::AnswerEnd: line.answerEndWindow = static_cast<uint8_t>(value); break;
        case SettingKey::BlockAnswerEnd: line.blockEndQuiet = static_cast<uint8_t>(value); break;
        case SettingKey::BlockQuietMs: line.blockQuietMs = static_cast<uint16_t>(value); break;
        case SettingKey::CheckCrc: line.crcUnchecked = static_cast<uint8_t>(value == 0 ? 1 : 0); break;
        case SettingKey::Trace: line.traceOn = static_cast<uint8_t>(value); break;
        case SettingKey::CheckFrameNumbers: line.frameNumbersUnchecked = static_cast<uint8_t>(value == 0 ? 1 : 0); break;
        case SettingKey::ReadRetries: line.readRetriesPlus1 = static_cast<uint8_t>(value + 1); break;
        case SettingKey::LineDownAfter: line.lineDownAfterPlus1 = static_cast<uint8_t>(value + 1); break;
        case SettingKey::LineRetryS: line.lineRetryS = static_cast<uint16_t>(value); break;
        case SettingKey::StatsMinutes: line.statsMinutesPlus1 = static_cast<uint16_t>(value + 1); break;
        case SettingKey::ConfirmChanges: line.changesUnconfirmed = static_cast<uint8_t>(value == 0 ? 1 : 0); break;
        default: line.sendGapMs = static_cast<uint16_t>(value); break;
    }
}

// A value as the file may write it: a word of the key's two, or a decimal
// number within its range. False for anything else.
bool ParseValue(const KeyRule& rule, const char* text, uint32_t* value) {
    if (rule.words[0] != nullptr) {
        for (uint32_t i = 0; i < 2; ++i) {
            if (SameText(text, rule.words[i])) {
                *value = i;
                return true;
            }
        }
        return false;
    }
    uint32_t number = 0;
    if (*text == '\0') return false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || number > 100000000) return false;
        number = number * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (number < rule.low || number > rule.high) return false;
    *value = number;
    return true;
}

// A path as the file may write it, in double quotes or not; empty for none.
bool TakePath(char* out, size_t size, const char* text) {
    size_t length = strlen(text);
    if (length >= 2 && text[0] == '"' && text[length - 1] == '"') {
        ++text;
        length -= 2;
    }
    if (length >= size) return false;
    memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

// The value taken into the settings; false when the key does not take it.
bool Take(SettingsInEffect& settings, SettingKey key, const char* value) {
    if (key == SettingKey::TraceFile) return TakePath(settings.traceFile, sizeof settings.traceFile, value);
    uint32_t parsed = 0;
    if (!ParseValue(kRules[static_cast<uint32_t>(key)], value, &parsed)) return false;
    if (key == SettingKey::TraceFileKb) {
        settings.traceFileKb = parsed;
    } else {
        Store(settings.line, key, parsed);
    }
    return true;
}

// Spaces off both ends, in place.
char* Trim(char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\r')) text[--n] = '\0';
    return text;
}

struct Reading {
    SettingsInEffect& settings;
    const SettingsFile& file;
    const char* section;
    SettingOrigin origin;
    const char* logName;
    bool seen[kSettingCount] = {};  // a key already given in this section
};

// One "key=value" line of a section.
void ApplyLine(Reading& r, char* entry) {
    char* text = Trim(entry);
    if (*text == '\0' || *text == ';' || *text == '#') return;
    char* equals = strchr(text, '=');
    if (equals != nullptr) *equals = '\0';
    const char* key = Trim(text);
    const char* value = equals != nullptr ? Trim(equals + 1) : "";
    for (uint32_t k = 0; k < kSettingCount; ++k) {
        if (!SameText(key, kRules[k].name)) continue;
        // The first line of a key counts, as Windows' own profile functions
        // read it: a later one is logged and left.
        if (r.seen[k]) {
            if (r.logName != nullptr) {
                err(kLogLevel, "%s: %s [%.40s] %.40s = %.40s: given again, the first value is used", r.logName,
                    r.file.Name(), r.section, key, value);
            }
            return;
        }
        r.seen[k] = true;
        if (Take(r.settings, static_cast<SettingKey>(k), value)) {
            r.settings.origin[k] = r.origin;
        } else if (r.logName != nullptr) {
            char inEffect[44];
            SettingText(r.settings, static_cast<SettingKey>(k), inEffect, sizeof inEffect);
            if (inEffect[0] == '\0') CopyText(inEffect, sizeof inEffect, "no file");
            err(kLogLevel, "%s: %s [%.40s] %.40s = %.40s: %s, %s used", r.logName, r.file.Name(), r.section, key,
                value, kRules[k].allowed, inEffect);
        }
        return;
    }
    if (r.logName != nullptr) {
        err(kLogLevel, "%s: %s [%.40s] %.40s: unknown key, ignored", r.logName, r.file.Name(), r.section, key);
    }
}

void ApplySection(Reading& r) {
    char text[kSettingsSectionRoom];
    if (!ReadSettingsSection(r.file, r.section, text, sizeof text)) {
        if (r.logName != nullptr) {
            err(kLogLevel, "%s: %s [%.40s]: longer than %u bytes, ignored", r.logName, r.file.Name(), r.section,
                static_cast<unsigned>(kSettingsSectionRoom));
        }
        return;
    }
    for (char* entry = text; *entry != '\0';) {
        char* next = entry + strlen(entry) + 1;  // taken first: the line is cut up in place
        ApplyLine(r, entry);
        entry = next;
    }
}

const char* ParityLetter(uint16_t parity) {
    switch (parity & 0xFF) {
        case 0: return "N";
        case 1: return "O";
        case 2: return "E";
        case 3: return "M";
        case 4: return "S";
        default: return "?";
    }
}

const char* StopBits(uint16_t stopBits) {
    switch (stopBits & 0xFF) {
        case 0: return "1";
        case 1: return "1.5";
        case 2: return "2";
        default: return "?";
    }
}

// The bad-line settings that differ from their defaults, as the start line
// shows them: ", read retries 0, line down never, line retry 30 s, counters every 15 min".
void AppendBadLineSettings(const LineSettings& line, char* out, size_t size) {
    size_t used = 0;
    auto add = [&](const char* label, uint32_t value, const char* unit) {
        if (used >= size) return;
        const int n = snprintf(out + used, size - used, ", %s %u%s", label, static_cast<unsigned>(value), unit);
        if (n > 0) used += static_cast<size_t>(n);
    };
    auto say = [&](const char* text) {
        if (used >= size) return;
        CopyText(out + used, size - used, text);
        used += strlen(out + used);
    };
    if (ReadRetries(line) != kDefaultReadRetries) add("read retries", ReadRetries(line), "");
    if (LineDownAfter(line) == 0) {
        say(", line down never");
    } else if (LineDownAfter(line) != kDefaultLineDownAfter) {
        add("line down after", LineDownAfter(line), "");
    }
    if (LineRetryS(line) != kDefaultLineRetryS) add("line retry", LineRetryS(line), " s");
    if (StatsMinutes(line) == 0) {
        say(", no counters line");
    } else if (StatsMinutes(line) != kDefaultStatsMinutes) {
        add("counters every", StatsMinutes(line), " min");
    }
}

}  // namespace

const char* SettingName(SettingKey key) { return kRules[static_cast<uint32_t>(key)].name; }

void SettingText(const SettingsInEffect& settings, SettingKey key, char* out, uint32_t size) {
    if (key == SettingKey::TraceFile) {
        snprintf(out, size, "%s", settings.traceFile);
    } else if (key == SettingKey::TraceFileKb) {
        snprintf(out, size, "%u", static_cast<unsigned>(settings.traceFileKb));
    } else {
        SettingText(settings.line, key, out, size);
    }
}

void SettingText(const LineSettings& line, SettingKey key, char* out, uint32_t size) {
    if (key == SettingKey::TraceFile || key == SettingKey::TraceFileKb) {
        SettingText(SettingsInEffect{}, key, out, size);
        return;
    }
    const KeyRule& rule = kRules[static_cast<uint32_t>(key)];
    const uint32_t value = Stored(line, key);
    if (rule.words[0] != nullptr) {
        snprintf(out, size, "%s", rule.words[value]);
    } else {
        snprintf(out, size, "%u", static_cast<unsigned>(value));
    }
}

bool FullPath(const char* path) {
    const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
    return drive || path[0] == '\\' || path[0] == '/';
}

SettingsInEffect ReadLineSettings(const char* portName, const char* logName) {
    SettingsInEffect settings;
    const SettingsFile file = LocateSettingsFile();
    switch (file.state) {
        case SettingsFileState::Readable: break;
        case SettingsFileState::Missing: return settings;
        case SettingsFileState::Unreadable:
            if (logName != nullptr) {
                err(kLogLevel, "%s: %s cannot be read (error %u), defaults used", logName, file.Name(),
                    static_cast<unsigned>(file.windowsError));
            }
            return settings;
        case SettingsFileState::NotFound:
            if (logName != nullptr) {
                err(kLogLevel, "%s: SK5820.ini: cannot read %.260s (the file does not exist); the defaults are in force",
                    logName, file.path);
            }
            return settings;
        case SettingsFileState::TooLong:
            if (logName != nullptr) {
                err(kLogLevel, "%s: SK5820.ini: SK5820_INI names a path of %u characters, longer than %u; the defaults "
                    "are in force", logName, static_cast<unsigned>(file.namedLength),
                    static_cast<unsigned>(sizeof file.path - 1));
            }
            return settings;
    }
    Reading defaults{settings, file, "default", SettingOrigin::DefaultSection, logName};
    ApplySection(defaults);
    Reading port{settings, file, portName, SettingOrigin::PortSection, logName};
    ApplySection(port);
    return settings;
}

void ApplyLineSettings(VpiChannel* channel) {
    char portName[sizeof channel->portDesc.portName + 1];
    CopyField(portName, channel->portDesc.portName, sizeof channel->portDesc.portName);
    const ChannelName name = NameOf(channel);
    // A port opened through the device namespace ("\\.\COM12") has the
    // section of its plain name ([COM12]).
    const char* section = PlainPortName(portName);
    const SettingsInEffect settings = ReadLineSettings(section, name.text);
    channel->line = settings.line;
    // The trace file before the line that says where the trace goes: one that
    // cannot be opened says so first, and the trace stays in the host log.
    SetTraceFile(channel, settings.traceFile, settings.traceFileKb, section);
    const bool traceOn = TraceOn(channel);
    if (traceOn && channel->port != nullptr) OpenTraceFile(channel);

    const PortSettings& port = channel->portDesc.settings;
    char block[32];
    if (settings.line.blockEndQuiet == 1) {
        snprintf(block, sizeof block, "%u ms quiet", static_cast<unsigned>(Stored(settings.line, SettingKey::BlockQuietMs)));
    } else {
        snprintf(block, sizeof block, "window");
    }
    char extras[448] = "";
    if (settings.line.sendGapMs != 0) {
        snprintf(extras, sizeof extras, ", send gap %u ms", static_cast<unsigned>(settings.line.sendGapMs));
    }
    // The trace, and where it was decided: SK5820_TRACE in the host's
    // environment over the file.
    const char* traceBy = EnvironmentSet("SK5820_TRACE") ? " (SK5820_TRACE)" : "";
    if (traceOn && TraceFileInUse(channel)) {
        snprintf(extras + strlen(extras), sizeof extras - strlen(extras), ", trace to file %.200s%s",
                 channel->traceFile.path, traceBy);
    } else if (traceOn || traceBy[0] != '\0') {
        snprintf(extras + strlen(extras), sizeof extras - strlen(extras), ", trace %s%s", traceOn ? "on" : "off",
                 traceBy);
    }
    if (settings.line.frameNumbersUnchecked == 1) {
        CopyText(extras + strlen(extras), sizeof extras - strlen(extras), ", frame numbers not checked");
    }
    AppendBadLineSettings(settings.line, extras + strlen(extras), sizeof extras - strlen(extras));
    channel->lineState = LineState{};
    // The host's environment switch decides over the file (AnswerCheckOn).
    const bool switched = EnvironmentSet("SK5820_CHECK_CRC");
    const bool checked = AnswerCheckOn(channel);
    err(kLogLevel, "%s: %s %u %u%s%s, answers end by %s, block answers by %s, CRC %s%s, changes %s%s", name.text,
        portName, static_cast<unsigned>(port.baudRate), static_cast<unsigned>(port.dataBits & 0xFF),
        ParityLetter(port.parity), StopBits(port.stopBits), settings.line.answerEndWindow == 1 ? "window" : "frame",
        block, checked ? "checked" : "not checked", switched ? " (SK5820_CHECK_CRC)" : "",
        ChangesConfirmed(settings.line) ? "confirmed" : "not confirmed", extras);
}
