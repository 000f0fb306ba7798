// skconsole: the host console. Loads SK5820.dll the way the host does
// (LoadLibrary, VpiMain by name, the stand-in KESTRA.dll as the host log) and
// drives it through real requests: describe, read, block-read, write, poll,
// a whole session from a file, a commissioning scan that writes the host's
// gate list, or a watch of that list's gates. The commissioning tool and the
// demo.
#include <windows.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

#include "tools/console/host.h"
#include "tools/console/line_settings.h"
#include "tools/console/output.h"
#include "tools/console/scan.h"
#include "tools/console/session.h"
#include "tools/console/watch.h"
#include "tools/kestra/kestra_api.h"

namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI OnCtrl(DWORD) {
    g_stop = true;
    return TRUE;
}

// The banner comes in code page 437; the console prints UTF-8.
std::string Cp437ToUtf8(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        switch (*p) {
            case 0xDA: out += "\u250C"; break;
            case 0xBF: out += "\u2510"; break;
            case 0xB3: out += "\u2502"; break;
            case 0xC0: out += "\u2514"; break;
            case 0xD9: out += "\u2518"; break;
            case 0xC4: out += "\u2500"; break;
            default: out += static_cast<char>(*p);
        }
    }
    return out;
}

struct Settings {
    std::string dll = "SK5820.dll";
    ChannelOptions channel;
    std::string stopBits = "1";
    std::string parity = "none";
    bool csv = false, json = false, quiet = false;
    std::string logFile;
    int gateType = -1;
    bool yes = false;  // --yes: writes of commands 11-15 may be sent
};

Format OutputFormat(const Settings& s) {
    if (s.quiet) return Format::Quiet;
    if (s.json) return Format::Json;
    if (s.csv) return Format::Csv;
    return Format::Table;
}

void PrintHostLog(const Settings& s) {
    if (!s.logFile.empty() || s.quiet) return;
    const int n = KestraCount();
    FILE* out = OutputFormat(s) == Format::Table ? stdout : stderr;
    fprintf(out, "\nhost log (%d lines):\n", n);
    for (int i = 0; i < n; ++i) {
        char line[2048];
        if (KestraLine(i, line, sizeof line) >= 0) fprintf(out, "  %8.1f ms  %s\n", KestraLineTime(i), line);
    }
}

// The channel's counters after a command that talked to the panel: with the
// results on stdout, on stderr beside CSV or JSON, not at all with --quiet or
// on a channel without a line.
void PrintLineHealth(const DriverHost& host, const Settings& s) {
    LineHealth health;
    if (s.quiet || !host.Health(&health)) return;
    fprintf(OutputFormat(s) == Format::Table ? stdout : stderr, "line: %s\n", LineHealthText(health).c_str());
}

int ExitCode(const std::vector<GateResult>& results) {
    for (const GateResult& r : results)
        if (r.status != 0) return 1;
    return 0;
}

GateResult RunStep(DriverHost& host, const Step& step) {
    switch (step.operation) {
        case Operation::Block: return host.Block(step.gate, step.count);
        case Operation::Write:
            return host.Write(step.gate, step.value, step.gateType >= 0 ? step.gateType : DefaultGateType(step.gate));
        case Operation::Read:
        default: return host.Read(step.gate, step.gateType >= 0 ? step.gateType : DefaultGateType(step.gate));
    }
}

int StartChannel(DriverHost& host, const Settings& s) {
    const int32_t status = host.Start(s.channel);
    if (status != 0) {
        fprintf(stderr, "skconsole: the channel on %s did not start (status %d)\n", s.channel.port.c_str(), status);
        PrintHostLog(s);
        return 1;
    }
    return 0;
}

int RunSteps(DriverHost& host, const Settings& s, const std::vector<Step>& steps) {
    if (StartChannel(host, s) != 0) return 1;
    std::vector<GateResult> results;
    for (const Step& step : steps) {
        if (g_stop) break;
        results.push_back(RunStep(host, step));
    }
    host.End();
    PrintResults(stdout, OutputFormat(s), results);
    PrintLineHealth(host, s);
    PrintHostLog(s);
    if (g_stop) return 1;
    return ExitCode(results);
}

struct Description {
    int32_t status = 2;
    DriverInfo info{};
    std::string fileVersion = "?", logVersion = "?";  // "?" when the DLL has no version resource
};

void PrintDescriptionTable(const Description& d) {
    const DriverInfo& info = d.info;
    printf("driver        %s\n", info.name);
    printf("version       %s (file version; the channel start logs \"Version: %s\", the host contract's)\n",
           d.fileVersion.c_str(),
           d.logVersion.c_str());
    printf("channel size  %d bytes\n", info.channelSize);
    printf("default line  %u baud, %u data bits, stop-bit code %u, parity code %u\n", info.defaultPort.baudRate,
           info.defaultPort.dataBits, info.defaultPort.stopBits, info.defaultPort.parity);
    printf("host codes    info %d, class %d, flag %d\n", info.infoCode, info.infoClass, info.infoFlag);
    printf("banner%s\n", Cp437ToUtf8(info.banner).c_str());
}

int Describe(DriverHost& host, const Settings& s) {
    Description d;
    d.status = host.Describe(&d.info);
    host.FileVersion(&d.fileVersion, &d.logVersion);
    const DriverInfo& info = d.info;
    const char* name = info.name ? info.name : "";
    switch (OutputFormat(s)) {
        case Format::Json:
            printf("{\"status\": %d, \"name\": \"%s\", \"fileVersion\": \"%s\", \"logVersion\": \"%s\", "
                   "\"channelSize\": %d, \"baud\": %u, \"dataBits\": %u, \"stopBits\": %u, \"parity\": %u, "
                   "\"infoCode\": %d, \"infoClass\": %d, \"infoFlag\": %d}\n",
                   d.status, JsonEscape(name).c_str(), d.fileVersion.c_str(), d.logVersion.c_str(), info.channelSize,
                   info.defaultPort.baudRate, info.defaultPort.dataBits, info.defaultPort.stopBits,
                   info.defaultPort.parity, info.infoCode, info.infoClass, info.infoFlag);
            break;
        case Format::Csv:
            printf("status,name,fileVersion,logVersion,channelSize,baud,dataBits,stopBits,parity\n"
                   "%d,%s,%s,%s,%d,%u,%u,%u,%u\n",
                   d.status, CsvField(name).c_str(), d.fileVersion.c_str(), d.logVersion.c_str(), info.channelSize,
                   info.defaultPort.baudRate, info.defaultPort.dataBits, info.defaultPort.stopBits,
                   info.defaultPort.parity);
            break;
        case Format::Quiet: printf("%s %s\n", name, d.fileVersion.c_str()); break;
        case Format::Table: PrintDescriptionTable(d); break;
    }
    return d.status == 0 ? 0 : 1;
}

int Poll(DriverHost& host, const Settings& s, const std::vector<std::string>& gates, double every, int rounds) {
    if (StartChannel(host, s) != 0) return 1;
    int requests = 0, failures = 0;
    double total = 0, slowest = 0, fastest = 1e30;
    const Format format = OutputFormat(s);
    for (int round = 0; !g_stop && (rounds <= 0 || round < rounds); ++round) {
        const DWORD begin = GetTickCount();
        std::vector<GateResult> results;
        for (const std::string& gate : gates) {
            if (g_stop) break;
            GateResult r = host.Read(gate, s.gateType >= 0 ? s.gateType : DefaultGateType(gate));
            ++requests;
            failures += r.status != 0;
            total += r.ms;
            slowest = std::max(slowest, r.ms);
            fastest = std::min(fastest, r.ms);
            results.push_back(r);
        }
        if (format == Format::Table) printf("round %d\n", round + 1);
        PrintResults(stdout, format, results);
        fflush(stdout);
        while (!g_stop && GetTickCount() - begin < static_cast<DWORD>(every * 1000)) Sleep(50);
    }
    host.End();
    fprintf(format == Format::Table ? stdout : stderr,
            "\nsummary: %d requests, %d failed, %.0f ms per request (fastest %.0f, slowest %.0f)\n", requests,
            failures, requests ? total / requests : 0.0, requests ? fastest : 0.0, slowest);
    PrintLineHealth(host, s);
    PrintHostLog(s);
    return failures == 0 ? 0 : 1;
}

void PrintScanSummary(const ScanResult& r, const std::string& base, bool written, const std::string& error) {
    if (r.ended.empty()) {
        printf("scan complete: %.0f s, %d reads and %d block reads\n", r.seconds, r.reads, r.blocks);
    } else {
        printf("scan ended early: %s (after %.0f s, %d reads and %d block reads)\n", r.ended.c_str(), r.seconds,
               r.reads, r.blocks);
    }
    printf("found       zones %d, groups %d, loops %d, points %d\n", r.zones, r.groups, r.loops, r.points);
    for (const std::string& limit : r.limitsHit) printf("limit       %s\n", limit.c_str());
    for (const std::string& gate : r.unread) printf("not read    %s\n", gate.c_str());
    if (written) {
        printf("written     %s.csv and %s.json: %zu gates\n", base.c_str(), base.c_str(), r.rows.size());
    } else {
        printf("not written: %s\n", error.c_str());
    }
}

// Reads only: the scan never sends an action (commands 11-15).
int RunScan(DriverHost& host, const Settings& s, const ScanOptions& options, const std::string& base) {
    if (StartChannel(host, s) != 0) return 1;
    const ScanResult result = Scan(host, options, g_stop, stderr);
    host.End();
    std::string error;
    const bool written = WriteGateList(result, options, base, &error);
    PrintScanSummary(result, base, written, error);
    PrintLineHealth(host, s);
    PrintHostLog(s);
    return written && result.ended.empty() && result.unread.empty() ? 0 : 1;
}

// Steps that may hold actions (commands 11-15): shown first, and sent only
// with yes.
int RunActions(DriverHost& host, const Settings& s, const std::vector<Step>& steps, bool yes) {
    if (!ConfirmActions(stderr, steps, yes, s.channel.port)) return 2;
    return RunSteps(host, s, steps);
}

int RunSessionFile(DriverHost& host, const Settings& s, const std::string& file) {
    Session session;
    std::string error;
    if (!LoadSession(file, &session, &error)) {
        fprintf(stderr, "skconsole: %s\nRun with --help for more information.\n", error.c_str());
        return 2;
    }
    return RunActions(host, s, session.steps, s.yes || session.yes);
}

struct WatchArgs {
    std::string list;
    WatchOptions options;
    std::string csvFile;
};

std::string WatchEnd(const WatchOptions& o) {
    char text[96];
    if (o.cycles > 0 && o.seconds > 0) {
        snprintf(text, sizeof text, "stops after %d cycles or %g s, or at Ctrl-C", o.cycles, o.seconds);
    } else if (o.cycles > 0) {
        snprintf(text, sizeof text, "stops after %d cycle%s, or at Ctrl-C", o.cycles, o.cycles == 1 ? "" : "s");
    } else if (o.seconds > 0) {
        snprintf(text, sizeof text, "stops after %g s, or at Ctrl-C", o.seconds);
    } else {
        snprintf(text, sizeof text, "runs until Ctrl-C");
    }
    return text;
}

// Reads only: the gate list holds gates of read commands (01-10), checked as
// it is read.
int RunWatch(DriverHost& host, const Settings& s, const WatchArgs& args) {
    if (s.csv || s.json || s.quiet) {
        fprintf(stderr, "skconsole: watch prints lines of its own: no --csv, --json or --quiet before the command; "
                        "its changes as CSV: watch GATES.csv --csv FILE\nRun with --help for more information.\n");
        return 2;
    }
    std::vector<GateRow> gates;
    std::string error;
    if (!ReadGateList(args.list, &gates, &error)) {
        fprintf(stderr, "skconsole: %s\nRun with --help for more information.\n", error.c_str());
        return 2;
    }
    FILE* csv = nullptr;
    if (!args.csvFile.empty()) {
        csv = fopen(args.csvFile.c_str(), "wb");
        if (csv == nullptr) {
            fprintf(stderr, "skconsole: cannot write the CSV file %s\n", args.csvFile.c_str());
            return 2;
        }
        PrintWatchCsvHeader(csv);
    }
    if (StartChannel(host, s) != 0) {
        if (csv != nullptr) fclose(csv);
        return 1;
    }
    size_t blocks = 0;
    for (const GateRow& row : gates) blocks += row.kind == "loop-block";
    printf("watch: %zu gates from %s on %s (%zu single, %zu block), one read each per cycle; %s\n", gates.size(),
           args.list.c_str(), s.channel.port.c_str(), gates.size() - blocks, blocks, WatchEnd(args.options).c_str());
    fflush(stdout);
    const WatchResult result = Watch(host, gates, args.options, g_stop, stdout, csv);
    host.End();
    bool csvWritten = true;
    if (csv != nullptr) {
        csvWritten = ferror(csv) == 0;
        csvWritten = fclose(csv) == 0 && csvWritten;
    }
    PrintWatchSummary(stdout, result, host);
    PrintLineHealth(host, s);
    if (!csvWritten) fprintf(stderr, "skconsole: the CSV file %s could not be written whole\n", args.csvFile.c_str());
    PrintHostLog(s);
    return result.good == result.reads && csvWritten ? 0 : 1;
}

// The command line: the options every command shares (the channel, the
// output), then exactly one command. Each command adds its own options and
// what it runs once the driver is loaded; a new command is one more Add…
// function and one more line in AddCommands.
using Run = std::function<int(DriverHost&)>;
struct Command {
    CLI::App* app;
    Run run;
};

void AddSharedOptions(CLI::App& app, Settings& s) {
    app.add_option("--dll", s.dll, "driver to load");
    app.add_option("-p,--port", s.channel.port, "port of the channel: COM1…COM255 or NULLDEV");
    app.add_option("-b,--baud", s.channel.baud, "baud rate")->check(CLI::Range(1, 65535));
    app.add_option("--data-bits", s.channel.dataBits, "data bits")->check(CLI::Range(5, 8));
    app.add_option("--stop-bits", s.stopBits, "stop bits: 1, 1.5 or 2")->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--parity", s.parity, "parity: none, odd, even, mark, space")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    app.add_option("-t,--timeout", s.channel.readTimeout, "port read time-out in units of 10 ms")
        ->check(CLI::Range(1, 100000));
    app.add_option("-c,--channel-index", s.channel.channelIndex, "the host's channel number");
    app.add_option("--type", s.gateType, "gate type for single gates (default: from the command table)");
    app.add_flag("--csv", s.csv, "CSV output");
    app.add_flag("--json", s.json, "JSON output");
    app.add_flag("-q,--quiet", s.quiet, "values only");
    app.add_option("--log", s.logFile, "write the host log to this file instead of showing it");
    app.add_flag("-y,--yes", s.yes,
                 "send writes of commands 11-15 (bypass, end of bypass, drill, reset, set the clock): they act on "
                 "the live panel; without it they are shown and refused");
}

struct PollArgs {
    std::vector<std::string> gates;
    double every = 5;
    int rounds = 0;
};

void AddReadCommands(CLI::App& app, Settings& s, std::vector<Command>& commands) {
    commands.push_back({app.add_subcommand("describe", "show the driver's description and version"),
                        [&s](DriverHost& host) { return Describe(host, s); }});
    auto gates = std::make_shared<std::vector<std::string>>();
    auto* read = app.add_subcommand("read", "read single gates");
    read->add_option("gates", *gates, "gate addresses, e.g. 01_ 03_012 07_005010")->required();
    commands.push_back({read, [&s, gates](DriverHost& host) {
                            std::vector<Step> steps;
                            for (const std::string& gate : *gates)
                                steps.push_back(Step{Operation::Read, gate, "", 0, s.gateType});
                            return RunSteps(host, s, steps);
                        }});
    auto block = std::make_shared<Step>(Step{Operation::Block, "", "", 16, -1});
    auto* blockApp = app.add_subcommand("block", "block-read a gate");
    blockApp->add_option("gate", block->gate, "block gate address: 03_001, 05_001 or 07_nnn001")->required();
    blockApp->add_option("-n,--count", block->count, "number of 16-bit values")->check(CLI::Range(1, 4000));
    commands.push_back({blockApp, [&s, block](DriverHost& host) { return RunSteps(host, s, {*block}); }});
    auto poll = std::make_shared<PollArgs>();
    auto* pollApp = app.add_subcommand("poll", "read gates every N seconds until Ctrl-C, then a summary");
    pollApp->add_option("gates", poll->gates, "gate addresses")->required();
    pollApp->add_option("-e,--every", poll->every, "seconds between rounds")->check(CLI::Range(0.0, 86400.0));
    pollApp->add_option("-r,--rounds", poll->rounds, "stop after this many rounds (0: until Ctrl-C)");
    commands.push_back(
        {pollApp, [&s, poll](DriverHost& host) { return Poll(host, s, poll->gates, poll->every, poll->rounds); }});
}

void AddWriteCommands(CLI::App& app, Settings& s, std::vector<Command>& commands) {
    auto write = std::make_shared<Step>(Step{Operation::Write, "", "", 0, -1});
    auto* writeApp = app.add_subcommand("write", "write a gate; an action (11-15) needs --yes");
    writeApp->add_option("gate", write->gate, "gate address, e.g. 11_001002 or 15_")->required();
    writeApp->add_option("value", write->value, "value text (15_: the date and time, nn/nn/nnnn nn:nn:nn)");
    commands.push_back({writeApp, [&s, write](DriverHost& host) {
                            Step step = *write;
                            step.gateType = s.gateType;
                            return RunActions(host, s, {step}, s.yes);
                        }});
    auto file = std::make_shared<std::string>();
    auto* run = app.add_subcommand("run", "run a session file: one step per line (read GATE, block GATE N, "
                                          "write GATE VALUE; a line \"yes\" allows its actions)");
    run->add_option("file", *file, "session file")->required()->check(CLI::ExistingFile);
    commands.push_back({run, [&s, file](DriverHost& host) { return RunSessionFile(host, s, *file); }});
}

// The scan's options are checked after the parse (--limits is one text).
void AddScanCommand(CLI::App& app, Settings& s, std::vector<Command>& commands, std::string& limits) {
    auto options = std::make_shared<ScanOptions>();
    auto base = std::make_shared<std::string>("gates");
    auto* scan = app.add_subcommand(
        "scan", "commissioning scan: find the panel's zones, groups, loops and points with reads only, and write "
                "the host's gate list as OUT.csv and OUT.json (Ctrl-C stops and writes what was found)");
    scan->add_option("-o,--out", *base, "the gate list's file name without .csv/.json");
    scan->add_option("--limits", limits, "most zones,groups,loops,points to try; 0 skips a list [16,8,4,32]")
        ->each([options](const std::string& text) {
            std::string error;
            if (!ParseLimits(text, &options->limits, &error)) throw CLI::ValidationError("--limits", error);
        });
    scan->add_option("--budget", options->budgetSeconds, "seconds after which no read starts (0: no budget)")
        ->check(CLI::Range(0.0, 86400.0));
    scan->add_option("--gap", options->gap, "missing numbers in a row that end a zone, group or loop list")
        ->check(CLI::Range(1, 999));
    commands.push_back({scan, [&s, options, base](DriverHost& host) {
                            options->readsWith = ReadsWith(s.channel.port);
                            return RunScan(host, s, *options, *base);
                        }});
}

// The watch's --csv FILE is its own option (after the command); the shared
// --csv flag (before it) is refused by the watch.
void AddWatchCommand(CLI::App& app, Settings& s, std::vector<Command>& commands) {
    auto args = std::make_shared<WatchArgs>();
    auto* watch = app.add_subcommand(
        "watch", "read the gates of a gate list (scan's GATES.csv) cycle after cycle as a host polls them, and show "
                 "each change of value, failed read and line down or up; Ctrl-C ends it with a summary");
    watch->add_option("gates", args->list, "the gate list, e.g. gates.csv")->required();
    watch->add_option("--cycles", args->options.cycles, "stop after this many cycles (0: no limit)")
        ->check(CLI::Range(0, 1000000000));
    watch->add_option("--seconds", args->options.seconds, "start no cycle after this many seconds (0: no limit)")
        ->check(CLI::Range(0.0, 31622400.0));
    watch->add_option("--csv", args->csvFile, "also write each starting value and change to this CSV file");
    commands.push_back({watch, [&s, args](DriverHost& host) { return RunWatch(host, s, *args); }});
}

// The driver's line settings (SK5820.ini) for the port, and the fast answer
// end against the window on the gates given.
void AddSettingsCommands(CLI::App& app, Settings& s, std::vector<Command>& commands) {
    commands.push_back({app.add_subcommand("settings", "show the line settings in effect for the port (SK5820.ini), "
                                                       "where each came from, and the driver's start line"),
                        [&s](DriverHost&) { return ShowSettings(s.channel, stdout); }});
    auto args = std::make_shared<CompareArgs>();
    auto* compare = app.add_subcommand(
        "compare", "read each gate with answer_end = window and = frame (block gates: block_answer_end = window "
                   "and = quiet) and show whether the values agree");
    compare->add_option("gates", args->gates, "single gate addresses, e.g. 01_ 04_001");
    compare->add_option("--block", args->blocks, "a block gate to compare (repeatable): 03_001, 05_001, 07_nnn001");
    compare->add_option("-n,--count", args->count, "number of 16-bit values of each block read")
        ->check(CLI::Range(1, 4000));
    commands.push_back({compare, [&s, args](DriverHost& host) {
                            const int code = CompareAnswerEnds(host, s.channel, *args, g_stop, stdout);
                            if (code != 2) PrintHostLog(s);
                            return code;
                        }});
}

// Parses the command line into s; returns -1 to go on, else the exit code.
int ParseCommandLine(CLI::App& app, Settings& s, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fprintf(stderr, "skconsole: %s\nRun with --help for more information.\n", e.what());
        return 2;
    }
    s.channel.stopCode = s.stopBits == "1" ? 0 : s.stopBits == "1.5" ? 1 : 2;
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    for (uint16_t i = 0; i < 5; ++i)
        if (s.parity == parities[i]) s.channel.parityCode = i;
    if (!s.logFile.empty() && KestraSetFile(s.logFile.c_str()) != 0) {
        fprintf(stderr, "skconsole: cannot write the log file %s\n", s.logFile.c_str());
        return 2;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCtrlHandler(OnCtrl, TRUE);

    Settings s;
    std::string limits;
    std::vector<Command> commands;
    CLI::App app{"skconsole: drives the SK5820 driver like the Telvora host does"};
    app.require_subcommand(1);
    app.fallthrough();
    app.option_defaults()->always_capture_default();
    AddSharedOptions(app, s);
    AddReadCommands(app, s, commands);
    AddWriteCommands(app, s, commands);
    AddScanCommand(app, s, commands, limits);
    AddSettingsCommands(app, s, commands);
    AddWatchCommand(app, s, commands);
    const int parsed = ParseCommandLine(app, s, argc, argv);
    if (parsed >= 0) return parsed;

    DriverHost host;
    std::string error;
    if (!host.Load(s.dll, &error)) {
        fprintf(stderr, "skconsole: %s\n", error.c_str());
        return 1;
    }
    UseDriverSettingsFile(host);
    for (const Command& command : commands)
        if (command.app->parsed()) return command.run(host);
    return 2;
}
