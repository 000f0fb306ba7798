// sksim: the SK gateway and its 5820 panel on a COM port, for the driver,
// the host console or the host to talk to. Prints a wire trace; Ctrl-C stops.
//
//   sksim --port COM6 [--model panel.json] [--raw] [--pace] [--frame-gap-ms N]
//         [--noise BER [--noise-seed N]] [--weak-crc RATE [--weak-crc-seed N]]
//         [--dead-after S [--dead-for S] [--flap]]
//         [--events FILE] [fault switches]
#include <windows.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/sim/sim_api.h"

namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI OnCtrl(DWORD) {
    g_stop = true;
    return TRUE;
}

// "request,eos" -> mask; false on an unknown name.
bool ParseKinds(const std::string& text, uint32_t* mask, std::string* bad) {
    *mask = 0;
    std::stringstream in(text);
    std::string name;
    while (std::getline(in, name, ',')) {
        if (name == "announce") *mask |= sksim::kReplyAnnounce;
        else if (name == "request") *mask |= sksim::kReplyRequest;
        else if (name == "zlz") *mask |= sksim::kReplyZlz;
        else if (name == "eos") *mask |= sksim::kReplyEos;
        else if (name == "goodbye") *mask |= sksim::kReplyGoodbye;
        else if (name == "all") *mask |= sksim::kReplyAll;
        else {
            *bad = name;
            return false;
        }
    }
    return true;
}

std::string ExeFolder() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string text(path, n);
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : text.substr(0, slash);
}

void PrintCounters(const sksim::SimCounters& c) {
    printf("sessions %u opened, %u closed (%u single, %u block); announces %u (%u ignored)\n", c.sessions,
           c.sessionsClosed, c.singleSessions, c.blockSessions, c.announces, c.announcesIgnored);
    printf("frames in %u: bad CRC %u, bad sequence %u, other faults %u, re-sent %u; incomplete %u; stray bytes %u\n",
           c.framesReceived, c.badCrc, c.badSequence, c.badFrames, c.repeats, c.incompleteFrames, c.garbageBytes);
    printf("requests %u (writes carried out %u); frames out %u, bytes out %u; hang-ups %u\n", c.requests, c.writes,
           c.framesSent, c.bytesSent, c.hangUps);
    printf("noise: %u frames out with bits flipped, %u bits flipped\n", c.noisyFrames, c.flippedBits);
    printf("weak CRC: %u answers out with an error their CRC cannot see\n", c.weakAnswers);
    printf("dead line: %u announces and frames dropped; events applied %u\n", c.droppedWhileDead, c.eventsApplied);
}

// The dead-line and events switches, as given on the command line.
struct TimedOptions {
    CLI::Option* deadAfterOption = nullptr;
    CLI::Option* deadForOption = nullptr;
    double deadAfter = 0, deadFor = 0;
    bool flap = false;
    std::string eventsFile;
};

void AddTimedOptions(CLI::App& app, TimedOptions& t) {
    t.deadAfterOption =
        app.add_option("--dead-after", t.deadAfter,
                       "the line goes dead after this many seconds: nothing goes out, what comes in is dropped")
            ->check(CLI::Range(0.0, 1000000.0));
    t.deadForOption = app.add_option("--dead-for", t.deadFor,
                                     "the dead line comes back after this many seconds (default: it stays dead)")
                          ->check(CLI::Range(0.0, 1000000.0));
    app.add_flag("--flap", t.flap,
                 "dead and alive in turns, over and over: alive --dead-after s, dead --dead-for s, alive again, "
                 "... (needs both)");
    app.add_option("--events", t.eventsFile,
                   "timed panel events, one a line: <seconds> point|zone|group|system <number> <value>");
}

uint32_t Ms(double seconds) {
    return static_cast<uint32_t>(seconds * 1000.0 + 0.5);
}

// The dead line and the events file into the options; false (and a message) when they are wrong.
bool ApplyTimedOptions(const TimedOptions& t, sksim::SimOptions& options) {
    const bool after = t.deadAfterOption->count() > 0, forSome = t.deadForOption->count() > 0;
    if (t.flap && (!after || !forSome)) {
        fprintf(stderr, "sksim: --flap needs both --dead-after (seconds alive) and --dead-for (seconds dead)\n");
        return false;
    }
    if (forSome && !after) {
        fprintf(stderr, "sksim: --dead-for needs --dead-after (when the line goes dead)\n");
        return false;
    }
    sksim::SimDeadLine& line = options.deadLine;
    line.on = after;
    line.afterMs = after ? Ms(t.deadAfter) : 0;
    line.forMs = forSome ? Ms(t.deadFor) : 0;
    line.flap = t.flap;
    if (line.flap && (line.afterMs == 0 || line.forMs == 0)) {
        fprintf(stderr, "sksim: --flap needs --dead-after and --dead-for of more than 0 s\n");
        return false;
    }
    if (t.eventsFile.empty()) return true;
    std::ifstream in(t.eventsFile, std::ios::binary);
    if (!in) {
        fprintf(stderr, "sksim: --events: cannot read %s\n", t.eventsFile.c_str());
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    if (!sksim::ParseEvents(text.str(), &options.events, &error)) {
        fprintf(stderr, "sksim: --events %s: %s\n", t.eventsFile.c_str(), error.c_str());
        return false;
    }
    return true;
}

// The reply-kind lists of the fault switches, as given on the command line.
struct KindLists {
    std::string silent, mute, garbage, corrupt, pieces, late, trailing, hangUp, changeValue, cutShort;
    std::string trailingByte, otherLetter, dropFrame;  // switches given as text
};

void AddFaultOptions(CLI::App& app, sksim::SimFaults& f, KindLists& k) {
    app.add_option("--ignore-announce", f.ignoreAnnounce, "leave this many announces unanswered (-1: all)");
    app.add_option("--spoiled-answers", f.spoiledAnswers,
                   "the switches on the request's answer spoil this many answers, then it goes out well (-1: all)")
        ->capture_default_str();
    app.add_option("--announce-wrong-seq", f.announceWrongSeq,
                   "answer this many announces with sequence byte 0x11 (-1: all)");
    app.add_option("--silent", k.silent, "go silent: after-announce, after-request or before-goodbye")
        ->check(CLI::IsMember({"after-announce", "after-request", "before-goodbye"}));
    app.add_option("--mute", k.mute, "reply kinds never answered");
    app.add_option("--garbage", k.garbage, "reply kinds answered with noise instead of frames");
    app.add_option("--corrupt-crc", k.corrupt, "reply kinds answered with a wrong CRC");
    app.add_option("--pieces", k.pieces, "reply kinds sent in small pieces with pauses");
    app.add_option("--piece-bytes", f.pieceBytes, "bytes per piece")->capture_default_str();
    app.add_option("--piece-pause-ms", f.piecePauseMs, "pause between pieces")->capture_default_str();
    app.add_option("--late", k.late, "reply kinds answered late");
    app.add_option("--late-ms", f.lateMs, "how late")->capture_default_str();
    app.add_option("--trailing", k.trailing, "reply kinds followed by extra bytes");
    app.add_option("--trailing-bytes", f.trailingBytes, "how many extra bytes")->capture_default_str();
    app.add_option("--trailing-byte", k.trailingByte, "the extra bytes' value in hex (default EE)");
    app.add_flag("--drop-continuation", f.dropContinuation, "send only the first frame of a long answer");
    app.add_option("--drop-frame", k.dropFrame, "leave one continuation frame of a long answer out: first or last")
        ->check(CLI::IsMember({"first", "last"}));
    app.add_flag("--drop-frame-counted", f.dropFrameCounted,
                 "the gateway numbered the dropped frame (the gap shows); otherwise the frames are renumbered");
    app.add_option("--other-letter", k.otherLetter,
                   "answer requests with this letter instead of their own (the CRC made to check)");
    app.add_option("--refuse", f.refuseLetters, "answer requests with these letters with the refusal 15 letter");
    app.add_flag("--empty-answer", f.emptyAnswer, "answer requests with one frame without payload");
    app.add_flag("--refuse-writes", f.refuseWrites, "answer every write letter 15 and leave the panel as it was");
    app.add_option("--hang-up", k.hangUp, "reply kinds replaced by closing the line");
    app.add_option("--hang-up-ms", f.hangUpMs, "how long the line stays closed (0: for good)")->capture_default_str();
    app.add_option("--change-value", k.changeValue,
                   "reply kinds answered with one value byte changed and the CRC of the true bytes");
    app.add_option("--change-value-frame", f.changeValueFrame,
                   "which frame of the answer (0: the first, 1: the first continuation)")
        ->capture_default_str();
    app.add_option("--cut-short", k.cutShort, "reply kinds whose last frame is cut short");
    app.add_option("--cut-bytes", f.cutBytes, "by how many bytes")->capture_default_str();
    app.add_option("--noise", f.noiseBer, "bit error rate of what the simulator sends, e.g. 1e-3 (0: none)")
        ->capture_default_str();
    app.add_option("--noise-seed", f.noiseSeed, "the noise's seed: the same seed flips the same bits")
        ->capture_default_str();
    app.add_option("--weak-crc", f.weakCrcRate,
                   "answer this share of single reads with a two-bit error the line's CRC cannot see (0 to 1)")
        ->capture_default_str();
    app.add_option("--weak-crc-seed", f.weakCrcSeed,
                   "the weak CRC's seed: the same seed weakens the same answers with the same errors")
        ->capture_default_str();
}

// The shares among the switches; false (and a message) when one is not between 0 and 1.
bool CheckShares(const sksim::SimFaults& f) {
    if (f.weakCrcRate >= 0 && f.weakCrcRate <= 1) return true;
    fprintf(stderr, "sksim: --weak-crc: %g is not a share of the single reads (0 to 1)\n", f.weakCrcRate);
    return false;
}

// Turns the kind lists into the switches' masks; false (and a message) on an unknown kind.
bool ApplyKindLists(const KindLists& k, sksim::SimFaults& f) {
    const struct {
        const std::string* text;
        uint32_t* mask;
        const char* option;
    } lists[] = {{&k.mute, &f.mute, "--mute"},          {&k.garbage, &f.garbage, "--garbage"},
                 {&k.corrupt, &f.corruptCrc, "--corrupt-crc"}, {&k.pieces, &f.pieces, "--pieces"},
                 {&k.late, &f.late, "--late"},          {&k.trailing, &f.trailing, "--trailing"},
                 {&k.hangUp, &f.hangUp, "--hang-up"},   {&k.changeValue, &f.changeValue, "--change-value"},
                 {&k.cutShort, &f.cutShort, "--cut-short"}};
    for (const auto& list : lists) {
        std::string bad;
        if (!list.text->empty() && !ParseKinds(*list.text, list.mask, &bad)) {
            fprintf(stderr, "sksim: %s: unknown reply kind \"%s\"\n", list.option, bad.c_str());
            return false;
        }
    }
    if (!k.trailingByte.empty()) {
        char* end = nullptr;
        const unsigned long value = strtoul(k.trailingByte.c_str(), &end, 16);
        if (*end != '\0' || value > 0xFF) {
            fprintf(stderr, "sksim: --trailing-byte: \"%s\" is not a byte in hex (00 to FF)\n", k.trailingByte.c_str());
            return false;
        }
        f.trailingByte = static_cast<uint8_t>(value);
    }
    if (!k.otherLetter.empty()) {
        if (k.otherLetter.size() != 1) {
            fprintf(stderr, "sksim: --other-letter: one character expected, not \"%s\"\n", k.otherLetter.c_str());
            return false;
        }
        f.otherLetter = static_cast<uint8_t>(k.otherLetter[0]);
    }
    if (k.dropFrame == "first") f.dropFrame = sksim::kDropFirst;
    if (k.dropFrame == "last") f.dropFrame = sksim::kDropLast;
    if (k.silent == "after-announce") f.mute |= sksim::kSilentAfterAnnounce;
    if (k.silent == "after-request") f.mute |= sksim::kSilentAfterRequest;
    if (k.silent == "before-goodbye") f.mute |= sksim::kSilentBeforeGoodbye;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"sksim: plays the SK gateway and its 5820 panel on a serial line, with a wire trace.\n"
                 "Reply kinds for the fault switches: announce, request, zlz, eos, goodbye, all (comma-separated)."};
    sksim::SimOptions options;
    KindLists kinds;
    double seconds = 0;
    bool quiet = false, printModel = false;
    app.add_option("--port,-p", options.port, "COM port, e.g. COM6 or \\\\.\\COM12")->required();
    app.add_option("--model,-m", options.modelFile, "model file (default: models\\panel.json next to sksim.exe)");
    app.add_option("--baud", options.baud, "baud rate (8 data bits, no parity, 1 stop bit)")->capture_default_str();
    app.add_flag("--raw", options.rawBytes, "trace the raw bytes of every frame too");
    app.add_flag("--quiet,-q", quiet, "no trace, only the counters at the end");
    app.add_option("--seconds", seconds, "stop after this long (default: run until Ctrl-C)");
    app.add_flag("--print-model", printModel, "print the model as loaded at the end");
    app.add_option("--poll-ms", options.pollMs,
                   "look at the line every N ms instead of answering as bytes arrive (0: as bytes arrive)")
        ->capture_default_str();
    app.add_flag("--pace", options.pace, "write one byte every 10/baud s, as the line itself would");
    app.add_option("--frame-gap-ms", options.frameGapMs, "pause between the frames of a multi-frame answer")
        ->capture_default_str();
    AddFaultOptions(app, options.faults, kinds);
    TimedOptions timed;
    AddTimedOptions(app, timed);
    CLI11_PARSE(app, argc, argv);
    if (!ApplyKindLists(kinds, options.faults)) return 2;
    if (!CheckShares(options.faults)) return 2;
    if (!ApplyTimedOptions(timed, options)) return 2;
    if (options.modelFile.empty()) options.modelFile = ExeFolder() + "\\models\\panel.json";
    if (!quiet) {
        options.onTrace = [](const std::string& line) {
            printf("%s\n", line.c_str());
            fflush(stdout);
        };
    }

    SetConsoleCtrlHandler(OnCtrl, TRUE);
    std::string error;
    sksim::Simulator* sim = sksim::SimStart(options, &error);
    if (sim == nullptr) {
        fprintf(stderr, "sksim: %s\n", error.c_str());
        return 1;
    }
    const ULONGLONG start = GetTickCount64();
    while (!g_stop && (seconds <= 0 || static_cast<double>(GetTickCount64() - start) < seconds * 1000.0)) {
        Sleep(50);
    }
    const sksim::SimCounters counters = sksim::SimGetCounters(sim);
    const std::string model = printModel ? sksim::SimModelJson(sim) : std::string();
    sksim::SimStop(sim);
    printf("sksim stopped.\n");
    PrintCounters(counters);
    if (printModel) printf("%s\n", model.c_str());
    return 0;
}
