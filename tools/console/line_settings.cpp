#include "tools/console/line_settings.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "channel/settings.h"
#include "host/texts.h"
#include "serial/environment.h"
#include "tools/console/output.h"
#include "tools/kestra/kestra_api.h"

namespace {

constexpr char kIniVariable[] = "SK5820_INI";
// How the file was found, for the `settings` command.
std::string g_fileSource = "beside skconsole.exe";
// The file beside the driver when there is none: where it was looked for.
std::string g_noFile;

// The section the driver reads for a port: "\\.\COM12" reads [COM12].
std::string SectionOf(const std::string& port) { return port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port; }

bool IsNullDevice(const std::string& port) { return lstrcmpiA(port.c_str(), "NULLDEV") == 0; }

// The variable's value; false when it is not set (or empty, or too long).
bool Variable(const char* name, std::string* value) {
    char text[MAX_PATH + 8];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) return false;
    *value = text;
    return true;
}

std::string Text(const LineSettings& line, SettingKey key) {
    char text[16];
    SettingText(line, key, text, sizeof text);
    return text;
}

// A setting as read, the trace file's path and cap among them.
std::string Text(const SettingsInEffect& settings, SettingKey key) {
    char text[264];
    SettingText(settings, key, text, sizeof text);
    return text;
}

struct Shown {
    std::string value, from;
};

// A setting in effect as the driver uses it: the host's environment
// switches decide over the file, as they do in the driver.
Shown ShownSetting(const SettingsInEffect& settings, SettingKey key, const std::string& section) {
    const SettingOrigin origin = settings.origin[static_cast<uint32_t>(key)];
    Shown shown{Text(settings, key), origin == SettingOrigin::PortSection      ? "[" + section + "]"
                                          : origin == SettingOrigin::DefaultSection ? "[default]"
                                                                                     : "built-in default"};
    if (key == SettingKey::CheckCrc && EnvironmentSet("SK5820_CHECK_CRC")) {
        shown = {EnvironmentSwitch("SK5820_CHECK_CRC", true) ? "1" : "0", "the environment (SK5820_CHECK_CRC)"};
    }
    if (key == SettingKey::Trace && EnvironmentSet("SK5820_TRACE")) {
        shown = {EnvironmentSwitch("SK5820_TRACE", false) ? "1" : "0", "the environment (SK5820_TRACE)"};
    }
    return shown;
}

void PrintFile(FILE* out) {
    const SettingsFile file = LocateSettingsFile();
    if (file.state == SettingsFileState::TooLong) {
        fprintf(out, "file      named by SK5820_INI\n");
    } else if (file.path[0] == '\0' || file.state == SettingsFileState::Missing) {
        fprintf(out, "file      none %s: built-in defaults\n", g_noFile.empty() ? "found" : ("at " + g_noFile).c_str());
        return;
    }
    if (file.state != SettingsFileState::TooLong) fprintf(out, "file      %s (%s)\n", file.path, g_fileSource.c_str());
    switch (file.state) {
        case SettingsFileState::Readable: fprintf(out, "          read\n"); break;
        case SettingsFileState::Missing: fprintf(out, "          not there: built-in defaults\n"); break;
        case SettingsFileState::Unreadable:
            fprintf(out, "          cannot be read (Windows error %u): built-in defaults\n",
                    static_cast<unsigned>(file.windowsError));
            break;
        case SettingsFileState::NotFound:
            fprintf(out, "          not there: built-in defaults (the driver logs it at every start)\n");
            break;
        case SettingsFileState::TooLong:
            fprintf(out, "          a path of %u characters, longer than %u: built-in defaults\n",
                    static_cast<unsigned>(file.namedLength), static_cast<unsigned>(sizeof file.path - 1));
            break;
    }
}

// What the driver logs about the settings when a channel starts on the
// port, written by the driver's own code on a record of the console's (the
// console's first channel is VpiSK01).
std::vector<std::string> StartLines(const ChannelOptions& options) {
    auto channel = std::make_unique<VpiChannel>();
    FormatNumbered(channel->name, sizeof channel->name, kChannelNamePrefix, 1, "");
    memcpy(channel->portDesc.portName, options.port.c_str(),
           std::min(options.port.size(), sizeof channel->portDesc.portName));
    channel->portDesc.settings = PortSettings{options.baud, options.dataBits, options.stopCode, options.parityCode};
    const int before = KestraCount();
    ApplyLineSettings(channel.get());
    std::vector<std::string> lines;
    for (int i = before; i < KestraCount(); ++i) {
        char line[2048];
        if (KestraLine(i, line, sizeof line) >= 0) lines.push_back(line);
    }
    return lines;
}

}  // namespace

// The console reads the file the driver reads: SK5820_INI's (a name that is
// not full within the driver's folder, as the driver takes it), else the
// file beside the driver. No file there is the out-of-the-box case: the
// variable is then left unset, so nothing is taken for a file that is missing.
void UseDriverSettingsFile(const DriverHost& host) {
    std::string named, dll;
    // Set at all, even too long for a path (the driver logs that one).
    const bool isNamed = GetEnvironmentVariableA(kIniVariable, nullptr, 0) > 1;
    if (isNamed && !Variable(kIniVariable, &named)) {
        g_fileSource = "named by SK5820_INI";
        return;
    }
    if (!host.ModulePath(&dll)) {
        if (isNamed) g_fileSource = "named by SK5820_INI";
        return;
    }
    const size_t folder = dll.find_last_of("\\/:");
    const std::string driverFolder = folder == std::string::npos ? "" : dll.substr(0, folder + 1);
    if (isNamed) {
        g_fileSource = "named by SK5820_INI";
        if (!FullPath(named.c_str())) {
            SetEnvironmentVariableA(kIniVariable, (driverFolder + named).c_str());
            g_fileSource = "named by SK5820_INI, within the driver's folder";
        }
        return;
    }
    const std::string path = driverFolder + "SK5820.ini";
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        g_noFile = path;
        return;
    }
    if (SetEnvironmentVariableA(kIniVariable, path.c_str())) g_fileSource = "beside the driver";
}

std::string ReadsWith(const std::string& port) {
    if (IsNullDevice(port)) return "no line (NULLDEV)";
    const SettingsInEffect settings = ReadLineSettings(SectionOf(port).c_str(), nullptr);
    const LineSettings& line = settings.line;
    return std::string("answers end by ") + (line.answerEndWindow == 1 ? "window" : "frame") +
           ", block answers by " +
           (line.blockEndQuiet == 1 ? Text(line, SettingKey::BlockQuietMs) + " ms quiet" : "window");
}

int ShowSettings(const ChannelOptions& options, FILE* out) {
    const std::string section = SectionOf(options.port);
    fprintf(out, "port      %s (section [%s])\n", options.port.c_str(), section.c_str());
    if (IsNullDevice(options.port)) {
        fprintf(out, "          a channel without a line reads no settings and logs no settings line\n");
        return 0;
    }
    PrintFile(out);
    const SettingsInEffect settings = ReadLineSettings(section.c_str(), nullptr);
    fprintf(out, "\n%-20s %-8s %s\n", "key", "value", "from");
    for (uint32_t k = 0; k < kSettingCount; ++k) {
        const SettingKey key = static_cast<SettingKey>(k);
        const Shown shown = ShownSetting(settings, key, section);
        fprintf(out, "%-20s %-8s %s\n", SettingName(key), shown.value.c_str(), shown.from.c_str());
    }
    const std::vector<std::string> lines = StartLines(options);
    fprintf(out, "\nthe driver logs at a channel's start (and restart, port open and reopen):\n");
    for (const std::string& line : lines) fprintf(out, "  %s\n", line.c_str());
    // The last line is the settings line; any before it is a problem with the file.
    return lines.size() > 1 ? 1 : 0;
}

namespace {

struct Mode {
    SettingKey key;
    const char* value;
};

std::string ModeName(const Mode& mode) { return std::string(SettingName(mode.key)) + " = " + mode.value; }

// A temporary settings file: the port's section with every setting in
// effect, `mode`'s key changed. Its path in `path`; false when it cannot be
// written.
bool WriteModeFile(const std::string& section, const LineSettings& line, const Mode& mode, std::string* path) {
    char folder[MAX_PATH], name[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder || GetTempFileNameA(folder, "sk", 0, name) == 0) return false;
    *path = name;
    FILE* file = fopen(name, "w");
    if (file == nullptr) return false;
    fprintf(file, "; skconsole compare: the settings in effect, with %s\n[%s]\n", ModeName(mode).c_str(),
            section.c_str());
    for (uint32_t k = 0; k < kSettingCount; ++k) {
        const SettingKey key = static_cast<SettingKey>(k);
        fprintf(file, "%s = %s\n", SettingName(key), key == mode.key ? mode.value : Text(line, key).c_str());
    }
    return fclose(file) == 0;
}

struct Reads {
    const std::vector<std::string>& gates;
    bool block;
    int32_t count;
};

// One channel started with the mode's file, every gate read once, ended;
// its counters line into `lines`. False when the file or the channel could
// not be had.
bool ReadInMode(DriverHost& host, const ChannelOptions& options, const Mode& mode, const Reads& reads,
                const std::atomic<bool>& stop, std::vector<GateResult>* results, std::vector<std::string>* lines) {
    const std::string section = SectionOf(options.port);
    const SettingsInEffect settings = ReadLineSettings(section.c_str(), nullptr);
    std::string path;
    const bool written = WriteModeFile(section, settings.line, mode, &path);
    if (!path.empty() && !written) DeleteFileA(path.c_str());
    if (!written) {
        fprintf(stderr, "skconsole: cannot write a settings file for %s in the temp folder\n", ModeName(mode).c_str());
        return false;
    }
    std::string saved;
    const bool wasSet = Variable(kIniVariable, &saved);
    SetEnvironmentVariableA(kIniVariable, path.c_str());
    const int32_t status = host.Start(options);
    if (status == 0) {
        for (const std::string& gate : reads.gates) {
            if (stop) break;
            results->push_back(reads.block ? host.Block(gate, reads.count) : host.Read(gate, DefaultGateType(gate)));
        }
        host.End();
        LineHealth health;
        if (host.Health(&health)) lines->push_back("line (" + ModeName(mode) + "): " + LineHealthText(health));
    } else {
        fprintf(stderr, "skconsole: the channel on %s with %s did not start (status %d)\n", options.port.c_str(),
                ModeName(mode).c_str(), status);
    }
    SetEnvironmentVariableA(kIniVariable, wasSet ? saved.c_str() : nullptr);
    DeleteFileA(path.c_str());
    return status == 0;
}

enum class Agreement { Same, Differ, NotRead };

Agreement Compared(const GateResult* a, const GateResult* b) {
    if (a == nullptr || b == nullptr || a->status != 0 || b->status != 0) return Agreement::NotRead;
    const bool same = a->kind == "number" ? a->number == b->number
                      : a->kind == "block" ? a->words == b->words
                                           : a->text == b->text;
    return same ? Agreement::Same : Agreement::Differ;
}

const GateResult* At(const std::vector<GateResult>& results, size_t i) {
    return i < results.size() ? &results[i] : nullptr;
}

// One side of a row: the value (cut to fit) and the time of the read.
std::string Cell(const GateResult* r) {
    std::string value = "not read";
    if (r != nullptr) value = r->status != 0 ? "not read (status " + std::to_string(r->status) + ")" : ValueText(*r);
    if (value.size() > 24) value = value.substr(0, 21) + "...";
    char text[64];
    if (r == nullptr) {
        snprintf(text, sizeof text, "%-34s", value.c_str());
    } else {
        snprintf(text, sizeof text, "%-24s %6.0f ms", value.c_str(), r->ms);
    }
    return text;
}

// Where two values that differ part: both in full, a block's first word apart.
void PrintDifference(FILE* out, const Mode modes[2], const GateResult& a, const GateResult& b) {
    fprintf(out, "    %-8s %s\n    %-8s %s\n", modes[0].value, ValueText(a).c_str(), modes[1].value,
            ValueText(b).c_str());
    if (a.kind != "block") return;
    for (size_t i = 0; i < a.words.size() && i < b.words.size(); ++i) {
        if (a.words[i] == b.words[i]) continue;
        fprintf(out, "    first difference: word %zu, %u / %u\n", i + 1, a.words[i], b.words[i]);
        return;
    }
}

struct Tally {
    int same = 0, differ = 0, notRead = 0;
};

void PrintComparison(FILE* out, const Mode modes[2], const std::vector<std::string>& gates,
                     const std::vector<GateResult> results[2], Tally* tally) {
    fprintf(out, "%-11s %-34s  %-34s  %s\n", "gate", ModeName(modes[0]).c_str(), ModeName(modes[1]).c_str(), "values");
    double total[2] = {0, 0};
    for (size_t i = 0; i < gates.size(); ++i) {
        const GateResult* a = At(results[0], i);
        const GateResult* b = At(results[1], i);
        const Agreement agreement = Compared(a, b);
        fprintf(out, "%-11s %s  %s  %s\n", gates[i].c_str(), Cell(a).c_str(), Cell(b).c_str(),
                agreement == Agreement::Same ? "same" : agreement == Agreement::Differ ? "DIFFER" : "not compared");
        if (agreement == Agreement::Differ) PrintDifference(out, modes, *a, *b);
        tally->same += agreement == Agreement::Same;
        tally->differ += agreement == Agreement::Differ;
        tally->notRead += agreement == Agreement::NotRead;
        total[0] += a != nullptr ? a->ms : 0;
        total[1] += b != nullptr ? b->ms : 0;
    }
    fprintf(out, "%-11s %-24s %6.0f ms  %-24s %6.0f ms\n\n", "in all", "", total[0], "", total[1]);
}

std::string Gates(int n) { return std::to_string(n) + (n == 1 ? " gate" : " gates"); }

void PrintVerdict(FILE* out, const Tally& tally, const std::string& fastMode) {
    if (tally.differ > 0) {
        fprintf(out, "verdict: %s %s: do not use the fast mode (%s) on this panel; give it the window in SK5820.ini\n",
                Gates(tally.differ).c_str(),
                tally.differ == 1 ? "differs" : "differ", fastMode.c_str());
    } else if (tally.notRead > 0) {
        fprintf(out, "verdict: %s not read in both modes: no verdict; do not use the fast mode (%s) on this panel "
                     "until every gate reads the same in both\n",
                Gates(tally.notRead).c_str(), fastMode.c_str());
    } else {
        fprintf(out, "verdict: all values agree (%s): the same with %s as with the window\n",
                Gates(tally.same).c_str(), fastMode.c_str());
    }
}

}  // namespace

int CompareAnswerEnds(DriverHost& host, const ChannelOptions& options, const CompareArgs& args,
                      const std::atomic<bool>& stop, FILE* out) {
    if (args.gates.empty() && args.blocks.empty()) {
        fprintf(stderr, "skconsole: compare needs a gate or a --block gate\nRun with --help for more information.\n");
        return 2;
    }
    const Mode singleModes[2] = {{SettingKey::AnswerEnd, "window"}, {SettingKey::AnswerEnd, "frame"}};
    const Mode blockModes[2] = {{SettingKey::BlockAnswerEnd, "window"}, {SettingKey::BlockAnswerEnd, "quiet"}};
    fprintf(out, "compare on %s: each mode on a channel of its own, the other settings as in effect\n\n",
            options.port.c_str());
    Tally tally;
    bool started = true;
    std::string fastMode;
    std::vector<std::string> lines;
    const struct {
        const Mode* modes;
        Reads reads;
    } parts[2] = {{singleModes, {args.gates, false, 0}}, {blockModes, {args.blocks, true, args.count}}};
    for (const auto& part : parts) {
        if (part.reads.gates.empty()) continue;
        std::vector<GateResult> results[2];
        for (int m = 0; m < 2; ++m)
            started &= ReadInMode(host, options, part.modes[m], part.reads, stop, &results[m], &lines);
        PrintComparison(out, part.modes, part.reads.gates, results, &tally);
        fastMode += (fastMode.empty() ? "" : " and ") + ModeName(part.modes[1]);
    }
    PrintVerdict(out, tally, fastMode);
    for (const std::string& line : lines) fprintf(out, "%s\n", line.c_str());
    return started && !stop && tally.differ == 0 && tally.notRead == 0 ? 0 : 1;
}
