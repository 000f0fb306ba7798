// skconsole: the host console. Loads SK5820.dll the way the host does
// (LoadLibrary, VpiMain by name, the stand-in KESTRA.dll as the host log) and
// drives it through real requests: describe, read, block-read, write, poll,
// a whole session from a file, or a commissioning scan that writes the
// host's gate list. The commissioning tool and the demo.
#include <windows.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/console/host.h"
#include "tools/console/output.h"
#include "tools/console/scan.h"
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

int ExitCode(const std::vector<GateResult>& results) {
    for (const GateResult& r : results)
        if (r.status != 0) return 1;
    return 0;
}

struct Step {
    Operation operation;
    std::string gate;
    std::string value;  // write: the value text
    int32_t count = 0;  // block: words
    int gateType = -1;
};

// One line of a session file: "read GATE [TYPE]", "block GATE COUNT",
// "write GATE [VALUE…]"; blank lines and # comments are skipped.
bool ParseStep(const std::string& line, Step* step, std::string* error) {
    std::istringstream in(line);
    std::string verb;
    in >> verb >> step->gate;
    if (verb == "read") {
        step->operation = Operation::Read;
        int type;
        if (in >> type) step->gateType = type;
    } else if (verb == "block") {
        step->operation = Operation::Block;
        if (!(in >> step->count) || step->count <= 0) {
            *error = "block needs a positive word count";
            return false;
        }
    } else if (verb == "write") {
        step->operation = Operation::Write;
        std::getline(in >> std::ws, step->value);
    } else {
        *error = "unknown step '" + verb + "' (read, block, write)";
        return false;
    }
    if (step->gate.empty()) {
        *error = "missing gate address";
        return false;
    }
    return true;
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
    PrintHostLog(s);
    if (g_stop) return 1;
    return ExitCode(results);
}

int Describe(DriverHost& host, const Settings& s) {
    DriverInfo info;
    const int32_t status = host.Describe(&info);
    if (OutputFormat(s) == Format::Json) {
        printf("{\"status\": %d, \"name\": \"%s\", \"channelSize\": %d, \"baud\": %u, \"dataBits\": %u, "
               "\"stopBits\": %u, \"parity\": %u, \"infoCode\": %d, \"infoClass\": %d, \"infoFlag\": %d}\n",
               status, JsonEscape(info.name ? info.name : "").c_str(), info.channelSize, info.defaultPort.baudRate,
               info.defaultPort.dataBits, info.defaultPort.stopBits, info.defaultPort.parity, info.infoCode,
               info.infoClass, info.infoFlag);
    } else if (OutputFormat(s) == Format::Csv) {
        printf("status,name,channelSize,baud,dataBits,stopBits,parity\n%d,%s,%d,%u,%u,%u,%u\n", status, info.name,
               info.channelSize, info.defaultPort.baudRate, info.defaultPort.dataBits, info.defaultPort.stopBits,
               info.defaultPort.parity);
    } else if (OutputFormat(s) == Format::Quiet) {
        printf("%s\n", info.name);
    } else {
        printf("driver        %s\n", info.name);
        printf("channel size  %d bytes\n", info.channelSize);
        printf("default line  %u baud, %u data bits, stop-bit code %u, parity code %u\n", info.defaultPort.baudRate,
               info.defaultPort.dataBits, info.defaultPort.stopBits, info.defaultPort.parity);
        printf("host codes    info %d, class %d, flag %d\n", info.infoCode, info.infoClass, info.infoFlag);
        printf("banner%s\n", Cp437ToUtf8(info.banner).c_str());
    }
    return status == 0 ? 0 : 1;
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
    PrintHostLog(s);
    return written && result.ended.empty() && result.unread.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCtrlHandler(OnCtrl, TRUE);

    Settings s;
    CLI::App app{"skconsole: drives the SK5820 driver like the Telvora host does"};
    app.require_subcommand(1);
    app.fallthrough();
    app.option_defaults()->always_capture_default();
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

    auto* describe = app.add_subcommand("describe", "show the driver's description");
    std::vector<std::string> readGates;
    auto* read = app.add_subcommand("read", "read single gates");
    read->add_option("gates", readGates, "gate addresses, e.g. 01_ 03_012 07_005010")->required();
    std::string blockGate;
    int32_t blockCount = 16;
    auto* block = app.add_subcommand("block", "block-read a gate");
    block->add_option("gate", blockGate, "block gate address: 03_001, 05_001 or 07_nnn001")->required();
    block->add_option("-n,--count", blockCount, "number of 16-bit values")->check(CLI::Range(1, 4000));
    std::string writeGate, writeValue;
    auto* write = app.add_subcommand("write", "write a gate");
    write->add_option("gate", writeGate, "gate address, e.g. 11_001002 or 15_")->required();
    write->add_option("value", writeValue, "value text (15_: the date and time, nn/nn/nnnn nn:nn:nn)");
    std::vector<std::string> pollGates;
    double every = 5;
    int rounds = 0;
    auto* poll = app.add_subcommand("poll", "read gates every N seconds until Ctrl-C, then a summary");
    poll->add_option("gates", pollGates, "gate addresses")->required();
    poll->add_option("-e,--every", every, "seconds between rounds")->check(CLI::Range(0.0, 86400.0));
    poll->add_option("-r,--rounds", rounds, "stop after this many rounds (0: until Ctrl-C)");
    std::string sessionFile;
    auto* run = app.add_subcommand("run", "run a session file: one step per line (read GATE, block GATE N, write GATE VALUE)");
    run->add_option("file", sessionFile, "session file")->required()->check(CLI::ExistingFile);

    ScanOptions scanOptions;
    std::string scanBase = "gates", scanLimits;
    auto* scan = app.add_subcommand(
        "scan", "commissioning scan: find the panel's zones, groups, loops and points with reads only, and write "
                "the host's gate list as OUT.csv and OUT.json (Ctrl-C stops and writes what was found)");
    scan->add_option("-o,--out", scanBase, "the gate list's file name without .csv/.json");
    scan->add_option("--limits", scanLimits, "most zones,groups,loops,points to try; 0 skips a list [16,8,4,32]");
    scan->add_option("--budget", scanOptions.budgetSeconds, "seconds after which no read starts (0: no budget)")
        ->check(CLI::Range(0.0, 86400.0));
    scan->add_option("--gap", scanOptions.gap, "missing numbers in a row that end a zone, group or loop list")
        ->check(CLI::Range(1, 999));

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
    std::string error;
    s.channel.stopCode = s.stopBits == "1" ? 0 : s.stopBits == "1.5" ? 1 : 2;
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    for (uint16_t i = 0; i < 5; ++i)
        if (s.parity == parities[i]) s.channel.parityCode = i;
    if (!scanLimits.empty() && !ParseLimits(scanLimits, &scanOptions.limits, &error)) {
        fprintf(stderr, "skconsole: %s\nRun with --help for more information.\n", error.c_str());
        return 2;
    }
    if (!s.logFile.empty() && KestraSetFile(s.logFile.c_str()) != 0) {
        fprintf(stderr, "skconsole: cannot write the log file %s\n", s.logFile.c_str());
        return 2;
    }

    DriverHost host;
    if (!host.Load(s.dll, &error)) {
        fprintf(stderr, "skconsole: %s\n", error.c_str());
        return 1;
    }
    if (describe->parsed()) return Describe(host, s);
    if (scan->parsed()) return RunScan(host, s, scanOptions, scanBase);
    std::vector<Step> steps;
    if (read->parsed()) {
        for (const std::string& gate : readGates) steps.push_back(Step{Operation::Read, gate, "", 0, s.gateType});
    } else if (block->parsed()) {
        steps.push_back(Step{Operation::Block, blockGate, "", blockCount, -1});
    } else if (write->parsed()) {
        steps.push_back(Step{Operation::Write, writeGate, writeValue, 0, s.gateType});
    } else if (poll->parsed()) {
        return Poll(host, s, pollGates, every, rounds);
    } else if (run->parsed()) {
        std::ifstream in(sessionFile);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const size_t start = line.find_first_not_of(" \t\r");
            if (start == std::string::npos || line[start] == '#') continue;
            Step step;
            if (!ParseStep(line.substr(start), &step, &error)) {
                fprintf(stderr, "skconsole: %s:%d: %s\nRun with --help for more information.\n", sessionFile.c_str(),
                        number, error.c_str());
                return 2;
            }
            steps.push_back(step);
        }
    }
    return RunSteps(host, s, steps);
}
