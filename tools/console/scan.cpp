#include "tools/console/scan.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <sstream>

namespace {

// The status word the panel answers for a zone, group, loop or point it does
// not have (its label then reads empty).
constexpr uint16_t kNotInstalled = 0xFFFF;
// The driver's block read hands a point word 0x0080 on as 0x8000, so a block
// word 0x8000 cannot tell which of the two the point reads: such a point is
// read singly.
constexpr uint16_t kAmbiguousBlockWord = 0x8000;
// What a request costs on the line (docs/channel-settings-and-timing.md).
constexpr double kSingleSeconds = 1.1;
constexpr double kBlockSeconds = 4.1;
constexpr int kLastReadCommand = 10;  // 11-15 are actions: never sent by the scan
constexpr int kMostBlockWords = 620;  // the most words one block read brings

std::string Gate(int command, int first = -1, int second = -1) {
    char text[16];
    if (first < 0) {
        snprintf(text, sizeof text, "%02d_", command);
    } else if (second < 0) {
        snprintf(text, sizeof text, "%02d_%03d", command, first);
    } else {
        snprintf(text, sizeof text, "%02d_%03d%03d", command, first, second);
    }
    return text;
}

int CommandOf(const std::string& gate) {
    if (gate.size() < 2 || gate[0] < '0' || gate[0] > '9' || gate[1] < '0' || gate[1] > '9') return 0;
    return (gate[0] - '0') * 10 + (gate[1] - '0');
}

std::string Duration(double seconds) {
    const int s = static_cast<int>(seconds + 0.5);
    char text[32];
    if (s >= 60) {
        snprintf(text, sizeof text, "%d min %02d s", s / 60, s % 60);
    } else {
        snprintf(text, sizeof text, "%d s", s);
    }
    return text;
}

enum class Outcome { Answered, Failed, Stopped };
enum class Presence { Present, Absent, Unknown, Stopped };
enum class Phase { Panel, Zones, Groups, Loops };

struct Answer {
    std::string gate;
    Outcome outcome = Outcome::Stopped;
    int32_t status = 0;
    uint16_t number = 0;
    std::string text;
    std::vector<uint16_t> words;
};

std::string NoteOf(const Answer& a) {
    if (a.outcome == Outcome::Answered) return "";
    if (a.outcome == Outcome::Failed) return "not read (status " + std::to_string(a.status) + ")";
    return "not read (scan ended)";
}

// A zone, group or point read by its status gate and its label gate.
struct Item {
    Answer status, label;
    Presence presence = Presence::Stopped;
};

// The panel has it when either answer shows it; it does not when both
// answered as for a number it does not have.
Presence Judge(const Answer& status, const Answer& label) {
    const bool statusShows = status.outcome == Outcome::Answered && status.number != kNotInstalled;
    const bool labelShows = label.outcome == Outcome::Answered && !label.text.empty();
    if (statusShows || labelShows) return Presence::Present;
    if (status.outcome == Outcome::Answered && label.outcome == Outcome::Answered) return Presence::Absent;
    if (status.outcome == Outcome::Stopped || label.outcome == Outcome::Stopped) return Presence::Stopped;
    return Presence::Unknown;
}

class Scanner {
public:
    Scanner(DriverHost& host, const ScanOptions& options, const std::atomic<bool>& stop, FILE* progress)
        : host_(host), options_(options), stop_(stop), progress_(progress) {
        tty_ = progress != nullptr && _isatty(_fileno(progress));
        start_ = GetTickCount();
    }

    ScanResult Run() {
        if (!options_.readsWith.empty()) Say("scan: reading as the host would: " + options_.readsWith);
        Panel();
        ScanList(Phase::Zones, options_.limits.zones, 3, 4, "zone", &result_.zones);
        ScanList(Phase::Groups, options_.limits.groups, 5, 6, "group", &result_.groups);
        ScanLoops();
        result_.seconds = Elapsed();
        if (tty_) fprintf(progress_, "\n");
        return result_;
    }

private:
    double Elapsed() const { return (GetTickCount() - start_) / 1000.0; }

    // An upper bound: every list read to its limit from where the scan is.
    double LeftAtMost() const {
        const ScanLimits& l = options_.limits;
        double reads = 0, blocks = 0;
        if (phase_ == Phase::Panel) reads += 4;
        const int zonesLeft = phase_ < Phase::Zones ? l.zones : phase_ == Phase::Zones ? l.zones - at_ + 1 : 0;
        const int groupsLeft = phase_ < Phase::Groups ? l.groups : phase_ == Phase::Groups ? l.groups - at_ + 1 : 0;
        const int loopsLeft = phase_ < Phase::Loops ? l.loops : l.loops - at_;
        reads += 2.0 * (zonesLeft + groupsLeft) + loopsLeft * (l.points + 2.0);
        blocks += loopsLeft;
        if (phase_ == Phase::Loops) reads += std::max(0, l.points - point_ + 2);
        double left = reads * kSingleSeconds + blocks * kBlockSeconds;
        if (options_.budgetSeconds > 0) left = std::min(left, std::max(0.0, options_.budgetSeconds - Elapsed()));
        return left;
    }

    void Say(const std::string& line) {
        if (progress_ == nullptr) return;
        if (tty_) {
            fprintf(progress_, "\r%-110s\n", line.c_str());
        } else {
            fprintf(progress_, "%s\n", line.c_str());
        }
        fflush(progress_);
    }

    void Progress(const std::string& gate) {
        if (progress_ == nullptr) return;
        char line[200];
        snprintf(line, sizeof line, "scan: %d reads, %d block reads, %s; reading %s; at most %s left", result_.reads,
                 result_.blocks, Duration(Elapsed()).c_str(), gate.c_str(), Duration(LeftAtMost()).c_str());
        if (tty_) {
            fprintf(progress_, "\r%-110s", line);
        } else {
            fprintf(progress_, "%s\n", line);
        }
        fflush(progress_);
    }

    void End(const std::string& why) {
        if (result_.ended.empty()) result_.ended = why;
    }

    // Whether a request of this cost may start.
    bool MayStart(double cost) {
        if (dropped_) return false;
        if (stop_) {
            End("stopped by Ctrl-C");
            return false;
        }
        if (options_.budgetSeconds > 0 && Elapsed() + cost > options_.budgetSeconds) {
            End("the time budget of " + Duration(options_.budgetSeconds) + " was reached");
            return false;
        }
        return true;
    }

    // A read that failed: the gate, or the whole line? The system status
    // answers whenever the line and the gateway work; when it does not
    // either, the scan ends.
    void Failed(const Answer& a) {
        const std::string what = a.gate + " (status " + std::to_string(a.status) + ")";
        result_.unread.push_back(what);
        Say("scan: could not read " + what + "; checking the line with 01_");
        if (stop_) return;
        const GateResult check = host_.Read("01_", DefaultGateType("01_"));
        ++result_.reads;
        if (check.status == 0) return;
        dropped_ = true;
        End("the line stopped answering: " + what + ", then 01_ (status " + std::to_string(check.status) + ")");
        Say("scan: " + result_.ended);
    }

    Answer Single(const std::string& gate) {
        Answer a;
        a.gate = gate;
        const int command = CommandOf(gate);
        if (command < 1 || command > kLastReadCommand) {  // never an action, whatever the caller builds
            a.outcome = Outcome::Failed;
            a.status = 1;
            return a;
        }
        if (!MayStart(kSingleSeconds)) return a;
        Progress(gate);
        const GateResult r = host_.Read(gate, DefaultGateType(gate));
        ++result_.reads;
        a.status = r.status;
        a.number = r.number;
        a.text = r.text;
        a.outcome = r.status == 0 ? Outcome::Answered : Outcome::Failed;
        if (a.outcome == Outcome::Failed) Failed(a);
        return a;
    }

    Answer Block(const std::string& gate, int count) {
        Answer a;
        a.gate = gate;
        if (CommandOf(gate) != 7) {
            a.outcome = Outcome::Failed;
            a.status = 1;
            return a;
        }
        if (!MayStart(kBlockSeconds)) return a;
        Progress(gate + " (block)");
        const GateResult r = host_.Block(gate, count);
        ++result_.blocks;
        a.status = r.status;
        a.words = r.words;
        a.outcome = r.status == 0 ? Outcome::Answered : Outcome::Failed;
        if (a.outcome == Outcome::Failed) Failed(a);
        return a;
    }

    Item ReadItem(const std::string& statusGate, const std::string& labelGate) {
        Item item;
        item.status = Single(statusGate);
        item.label.gate = labelGate;
        if (item.status.outcome != Outcome::Stopped) item.label = Single(labelGate);
        item.presence = Judge(item.status, item.label);
        return item;
    }

    static GateRow NumberRow(const Answer& a, const char* kind, const std::string& label) {
        GateRow row;
        row.address = a.gate;
        row.gateType = 0;
        row.kind = kind;
        row.label = label;
        row.hasStatus = a.outcome == Outcome::Answered;
        row.status = a.number;
        row.note = NoteOf(a);
        return row;
    }

    static GateRow TextRow(const Answer& a, const std::string& kind, const std::string& label) {
        GateRow row;
        row.address = a.gate;
        row.gateType = 7;
        row.kind = kind;
        row.label = label;
        row.text = a.text;
        row.note = NoteOf(a);
        return row;
    }

    void Panel() {
        phase_ = Phase::Panel;
        const Answer version = Single(Gate(10));
        const Answer clock = Single(Gate(9));
        const Answer system = Single(Gate(1));
        const Answer trouble = Single(Gate(2));
        result_.rows.push_back(TextRow(version, "version", ""));
        result_.rows.push_back(TextRow(clock, "clock", ""));
        result_.rows.push_back(NumberRow(system, "system-status", ""));
        result_.rows.push_back(NumberRow(trouble, "trouble-status", ""));
    }

    // Zones (03_/04_) or groups (05_/06_) from 1 on, until `gap` numbers in a
    // row are missing or the limit is reached.
    void ScanList(Phase phase, int limit, int statusCommand, int labelCommand, const char* kind, int* found) {
        phase_ = phase;
        int missing = 0;
        for (at_ = 1; at_ <= limit; ++at_) {
            const Item item = ReadItem(Gate(statusCommand, at_), Gate(labelCommand, at_));
            if (item.presence == Presence::Stopped) return;
            if (item.presence == Presence::Absent) {
                if (++missing >= options_.gap) return;
                continue;
            }
            if (item.presence == Presence::Unknown) continue;
            missing = 0;
            ++*found;
            const std::string label = item.label.outcome == Outcome::Answered ? item.label.text : "";
            GateRow status = NumberRow(item.status, kind, label);
            GateRow text = TextRow(item.label, std::string(kind) + "-label", label);
            status.number = text.number = at_;
            result_.rows.push_back(status);
            result_.rows.push_back(text);
        }
        if (limit > 0) result_.limitsHit.push_back(std::string(kind) + "s: the limit of " + std::to_string(limit) +
                                                   " was reached; the panel may have more");
    }

    void ScanLoops() {
        phase_ = Phase::Loops;
        if (options_.limits.points == 0) return;  // a loop is found by its points
        int missing = 0;
        for (at_ = 1; at_ <= options_.limits.loops; ++at_) {
            const Presence loop = ScanLoop(at_);
            if (loop == Presence::Stopped) return;
            if (loop == Presence::Absent) {
                if (++missing >= options_.gap) return;
                continue;
            }
            if (loop == Presence::Present) missing = 0;
        }
        if (options_.limits.loops > 0)
            result_.limitsHit.push_back("loops: the limit of " + std::to_string(options_.limits.loops) +
                                        " was reached; the panel may have more");
    }

    GateRow PointRow(int loop, int point, const Answer& status, const Answer& label) {
        const std::string text = label.outcome == Outcome::Answered ? label.text : "";
        GateRow row = NumberRow(status, "point", text);
        row.loop = loop;
        row.number = point;
        row.blockGate = Gate(7, loop, 1);
        row.blockIndex = point - 1;
        return row;
    }

    // One loop. Its block read lists the status of points 1 to the highest
    // the answer holds, 0xFFFF for a gap; the words behind the list carry no
    // point (they read 0, or the driver's fill). So a point is taken from the
    // block only when its label shows it; a point with an empty label is read
    // singly, and one the panel does not have ends the loop.
    Presence ScanLoop(int loop) {
        const std::string blockGate = Gate(7, loop, 1);
        point_ = 0;
        const Answer block = Block(blockGate, std::min(options_.limits.points, kMostBlockWords));
        if (block.outcome == Outcome::Stopped) return Presence::Stopped;
        if (block.outcome == Outcome::Failed) return Presence::Unknown;

        std::vector<GateRow> rows;
        bool stopped = false, ended = false;
        for (point_ = 1; point_ <= static_cast<int>(block.words.size()) && !stopped && !ended; ++point_) {
            const uint16_t word = block.words[static_cast<size_t>(point_) - 1];
            if (word == kNotInstalled) continue;  // a gap in the loop's numbers
            const Answer label = Single(Gate(8, loop, point_));
            if (label.outcome == Outcome::Stopped) {
                stopped = true;
                continue;
            }
            Answer status;
            status.gate = Gate(7, loop, point_);
            status.outcome = Outcome::Answered;
            status.number = word;
            const bool labelShows = label.outcome == Outcome::Answered && !label.text.empty();
            if (!labelShows || word == kAmbiguousBlockWord) status = Single(status.gate);
            const Presence presence = Judge(status, label);
            ended = presence == Presence::Absent;
            stopped = status.outcome == Outcome::Stopped;
            if (presence != Presence::Present) continue;
            rows.push_back(PointRow(loop, point_, status, label));
            GateRow text = TextRow(label, "point-label", rows.back().label);
            text.loop = loop;
            text.number = point_;
            rows.push_back(text);
        }
        if (!ended && !stopped && point_ > options_.limits.points && options_.limits.points > 0)
            result_.limitsHit.push_back("loop " + std::to_string(loop) + ": the points limit of " +
                                        std::to_string(options_.limits.points) +
                                        " was reached; the loop may have more");
        if (rows.empty()) return stopped ? Presence::Stopped : ended ? Presence::Absent : Presence::Unknown;

        const int highest = rows.back().number;
        GateRow blockRow;
        blockRow.address = blockGate;
        blockRow.kind = "loop-block";
        blockRow.loop = loop;
        blockRow.blockGate = blockGate;
        blockRow.blockCount = highest;
        std::ostringstream words;
        for (int i = 0; i < highest; ++i) words << (i ? " " : "") << block.words[static_cast<size_t>(i)];
        blockRow.text = words.str();
        result_.rows.push_back(blockRow);
        for (GateRow& row : rows) {
            if (row.kind == "point") {
                row.blockCount = highest;
                ++result_.points;
            }
            result_.rows.push_back(row);
        }
        ++result_.loops;
        return stopped ? Presence::Stopped : Presence::Present;
    }

    DriverHost& host_;
    const ScanOptions& options_;
    const std::atomic<bool>& stop_;
    FILE* progress_;
    bool tty_ = false;
    DWORD start_ = 0;
    bool dropped_ = false;
    Phase phase_ = Phase::Panel;
    int at_ = 0;     // the zone, group or loop being read
    int point_ = 0;  // the point being read
    ScanResult result_;
};

}  // namespace

ScanResult Scan(DriverHost& host, const ScanOptions& options, const std::atomic<bool>& stop, FILE* progress) {
    Scanner scanner(host, options, stop, progress);
    return scanner.Run();
}

bool ParseLimits(const std::string& text, ScanLimits* limits, std::string* error) {
    int* fields[] = {&limits->zones, &limits->groups, &limits->loops, &limits->points};
    const char* names[] = {"zones", "groups", "loops", "points"};
    const int most[] = {999, 999, 999, kMostBlockWords};
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = text.find(',', from);
        if ((i < 3) != (comma != std::string::npos)) {
            *error = "--limits takes four numbers: zones,groups,loops,points (e.g. 8,5,2,24)";
            return false;
        }
        const std::string field = text.substr(from, i < 3 ? comma - from : std::string::npos);
        if (field.empty() || field.size() > 3 || field.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(field) > most[i]) {
            *error = std::string("--limits: ") + names[i] + " must be a number from 0 to " + std::to_string(most[i]) +
                     ", not '" + field + "'";
            return false;
        }
        *fields[i] = std::stoi(field);
        from = comma + 1;
    }
    return true;
}
