#include "tools/console/watch.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "gateway/line_counters.h"
#include "serial/comm.h"
#include "tools/console/output.h"

namespace {

// While the line is down every read of a cycle fails at once: the next
// cycle then waits this long, as a host's poll timer would.
constexpr DWORD kDownPauseMs = 1000;
constexpr DWORD kPauseSliceMs = 50;

std::string Hex4(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// "12:00:05.100" on the screen; "2026-12-09 12:00:05.100" in the CSV file.
std::string TimeOfDay(bool withDate) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[40];
    if (withDate) {
        snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                 t.wMinute, t.wSecond, t.wMilliseconds);
    } else {
        snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    }
    return text;
}

// The parameter of three digits at `at` of the address ("03_012": 12 at 3).
int ParamAt(const std::string& gate, size_t at) {
    return gate.size() >= at + 3 ? std::atoi(gate.substr(at, 3).c_str()) : 0;
}

// What a number gate is, for its reading: "zone 3 KITCHEN", "point 1-003 SMOKE L1 D003".
std::string Subject(const std::string& gate, const std::string& label) {
    std::string subject;
    char text[32];
    switch (GateCommand(gate)) {
        case 1: subject = "system"; break;
        case 2: subject = "trouble status"; break;
        case 3: subject = "zone " + std::to_string(ParamAt(gate, 3)); break;
        case 5: subject = "group " + std::to_string(ParamAt(gate, 3)); break;
        case 7:
            snprintf(text, sizeof text, "point %d-%03d", ParamAt(gate, 3), ParamAt(gate, 6));
            subject = text;
            break;
        default: return "";
    }
    return label.empty() ? subject : subject + " " + label;
}

// The single gate of a block word: word i of 03_001 is zone i+1, of
// 07_nnn001 point i+1 of loop nnn.
std::string WordGate(const std::string& blockGate, size_t index) {
    char text[16];
    const int item = static_cast<int>(index) + 1;
    if (GateCommand(blockGate) == 7) {
        snprintf(text, sizeof text, "07_%03d%03d", ParamAt(blockGate, 3), item);
    } else {
        snprintf(text, sizeof text, "%02u_%03d", GateCommand(blockGate), item);
    }
    return text;
}

std::string NumberText(uint16_t value) { return std::to_string(value) + " (" + Hex4(value) + ")"; }

// A gate as the watch keeps it: what the list says and the last value read.
struct Watched {
    GateRow row;
    bool block = false;
    bool seen = false;  // a value was read
    uint16_t number = 0;
    std::string text;
    std::vector<uint16_t> words;
};

class Watcher {
public:
    Watcher(DriverHost& host, const std::vector<GateRow>& gates, const WatchOptions& options,
            const std::atomic<bool>& stop, FILE* out, FILE* csv)
        : host_(host), options_(options), stop_(stop), out_(out), csv_(csv) {
        for (const GateRow& row : gates) {
            Watched w;
            w.row = row;
            w.block = row.kind == "loop-block";
            watched_.push_back(w);
            if (!row.label.empty()) labels_[row.address] = row.label;
        }
    }

    WatchResult Run() {
        const uint64_t start = CommNowMs();
        LineHealth health;
        down_ = host_.Health(&health) && health.down == 1;
        for (int cycle = 0;; ++cycle) {
            if (stop_) {
                result_.ended = "stopped by Ctrl-C";
                break;
            }
            if (options_.cycles > 0 && cycle >= options_.cycles) {
                result_.ended = std::to_string(cycle) + (cycle == 1 ? " cycle done" : " cycles done");
                break;
            }
            if (options_.seconds > 0 && static_cast<double>(CommNowMs() - start) >= options_.seconds * 1000) {
                char text[64];
                snprintf(text, sizeof text, "%g s passed", options_.seconds);
                result_.ended = text;
                break;
            }
            const uint64_t begin = CommNowMs();
            bool whole = true, allAtOnce = true;
            for (Watched& w : watched_) {
                if (stop_) {
                    whole = false;
                    break;
                }
                allAtOnce &= ReadOne(w);
            }
            if (whole) result_.cycleMs.push_back(static_cast<double>(CommNowMs() - begin));
            if (allAtOnce) Pause();
        }
        return result_;
    }

private:
    void Line(const std::string& what, const std::string& gate, const std::string& rest) {
        fprintf(out_, "%s  %-6s  %-10s %s\n", TimeOfDay(false).c_str(), what.c_str(), gate.c_str(), rest.c_str());
        fflush(out_);
    }

    void Row(const std::string& gate, const std::string& old, const std::string& now, const std::string& reading) {
        if (csv_ == nullptr) return;
        fprintf(csv_, "%s,%s,%s,%s,%s\n", TimeOfDay(true).c_str(), CsvField(gate).c_str(), CsvField(old).c_str(),
                CsvField(now).c_str(), CsvField(reading).c_str());
        fflush(csv_);
    }

    // Reads one gate and reports what came of it; true when the read failed
    // at once (the line is down).
    bool ReadOne(Watched& w) {
        LineHealth before{}, after{};
        const bool counted = host_.Health(&before);
        const GateResult r = w.block ? host_.Block(w.row.address, w.row.blockCount)
                                     : host_.Read(w.row.address, w.row.gateType);
        ++result_.reads;
        bool atOnce = false;
        if (counted && host_.Health(&after)) {
            atOnce = Failed(after.total, kFailAtOnce) > Failed(before.total, kFailAtOnce);
        }
        if (r.status == 0) {
            ++result_.good;
            Compare(w, r);
        } else if (atOnce) {
            ++failedAtOnce_;
        } else {
            Line("failed", w.row.address, "status " + std::to_string(r.status) + Cause(before, after, counted));
        }
        if (counted) LineState(after);
        return atOnce;
    }

    // The read failure's cause as the counters sort it: ": no announce".
    static std::string Cause(const LineHealth& before, const LineHealth& after, bool counted) {
        if (!counted) return "";
        for (uint32_t cause = 0; cause < kFailCauseCount; ++cause) {
            if (Failed(after.total, cause) > Failed(before.total, cause))
                return std::string(": ") + FailCauseName(cause);
        }
        return ": nothing sent";
    }

    static uint64_t Failed(const LineCounters& counters, uint32_t cause) { return counters.readsFailed[cause]; }

    void LineState(const LineHealth& health) {
        const bool down = health.down == 1;
        if (down == down_) return;
        down_ = down;
        if (down) {
            Line("line", "down", "the gateway has stopped answering: reads fail at once (not shown one by one), "
                                 "one goes to the line every line_retry_s");
            failedAtOnce_ = 0;
            return;
        }
        const uint64_t since = health.downSinceMs, now = CommNowMs();
        Line("line", "up", "again after " + std::to_string(now > since ? (now - since) / 1000 : 0) + " s; " +
                               std::to_string(failedAtOnce_) + " reads failed at once meanwhile");
    }

    void Pause() {
        for (DWORD waited = 0; waited < kDownPauseMs && !stop_; waited += kPauseSliceMs) Sleep(kPauseSliceMs);
    }

    std::string Label(const std::string& gate) const {
        const auto found = labels_.find(gate);
        return found == labels_.end() ? "" : found->second;
    }

    // The reading of a number gate's change, "zone 3 KITCHEN: normal → ALARM"
    // (arrow "->" in the CSV file); empty when the model does not read it.
    std::string ChangeReading(const std::string& gate, uint16_t old, uint16_t now, const char* arrow) const {
        const std::string a = StatusReading(static_cast<int>(GateCommand(gate)), old);
        const std::string b = StatusReading(static_cast<int>(GateCommand(gate)), now);
        if (a.empty()) return "";
        return Subject(gate, Label(gate)) + ": " + a + arrow + b;
    }

    std::string StartReading(const std::string& gate, uint16_t value) const {
        const std::string reading = StatusReading(static_cast<int>(GateCommand(gate)), value);
        return reading.empty() ? "" : Subject(gate, Label(gate)) + ": " + reading;
    }

    void Compare(Watched& w, const GateResult& r) {
        const std::string& gate = w.row.address;
        if (w.block) {
            CompareBlock(w, r);
        } else if (r.kind == "number") {
            if (!w.seen) {
                Line("start", gate, NumberText(r.number) + "  " + StartReading(gate, r.number));
                Row(gate, "", std::to_string(r.number), StartReading(gate, r.number));
            } else if (r.number != w.number) {
                ++result_.changes;
                Line("change", gate,
                     NumberText(w.number) + " \u2192 " + NumberText(r.number) + "  " +
                         ChangeReading(gate, w.number, r.number, " \u2192 "));
                Row(gate, std::to_string(w.number), std::to_string(r.number),
                    ChangeReading(gate, w.number, r.number, " -> "));
            }
            w.number = r.number;
        } else {
            if (!w.seen) {
                Line("start", gate, "\"" + r.text + "\"");
                Row(gate, "", r.text, "");
            } else if (r.text != w.text) {
                ++result_.changes;
                Line("change", gate, "\"" + w.text + "\" \u2192 \"" + r.text + "\"");
                Row(gate, w.text, r.text, "");
            }
            w.text = r.text;
        }
        w.seen = true;
    }

    // A block's words: all of them at the start, with the items that are
    // not normal; then each word that changes, as its own item's gate.
    void CompareBlock(Watched& w, const GateResult& r) {
        const std::string& gate = w.row.address;
        if (!w.seen) {
            std::string words, notNormal;
            for (size_t i = 0; i < r.words.size(); ++i) {
                words += (i ? " " : "") + std::to_string(r.words[i]);
                const std::string item = WordGate(gate, i);
                const std::string reading = StatusReading(static_cast<int>(GateCommand(item)), r.words[i]);
                if (reading.empty() || reading == "normal") continue;
                notNormal += (notNormal.empty() ? "" : ", ") + Subject(item, "") + " " + reading;
            }
            const std::string summary = std::to_string(r.words.size()) + " words" +
                                        (notNormal.empty() ? ", all normal" : "; not normal: " + notNormal);
            Line("start", gate, "[" + words + "]  " + summary);
            Row(gate, "", words, summary);
        } else {
            for (size_t i = 0; i < r.words.size() && i < w.words.size(); ++i) {
                if (r.words[i] == w.words[i]) continue;
                ++result_.changes;
                const std::string item = WordGate(gate, i);
                const std::string in = " (block " + gate + " word " + std::to_string(i + 1) + ")";
                Line("change", item,
                     NumberText(w.words[i]) + " \u2192 " + NumberText(r.words[i]) + "  " +
                         ChangeReading(item, w.words[i], r.words[i], " \u2192 ") + in);
                Row(item, std::to_string(w.words[i]), std::to_string(r.words[i]),
                    ChangeReading(item, w.words[i], r.words[i], " -> ") + in);
            }
        }
        w.words = r.words;
    }

    DriverHost& host_;
    const WatchOptions& options_;
    const std::atomic<bool>& stop_;
    FILE* out_;
    FILE* csv_;
    std::vector<Watched> watched_;
    std::map<std::string, std::string> labels_;  // single gate -> its label, from the list
    bool down_ = false;
    uint64_t failedAtOnce_ = 0;  // since the line went down
    WatchResult result_;
};

}  // namespace

WatchResult Watch(DriverHost& host, const std::vector<GateRow>& gates, const WatchOptions& options,
                  const std::atomic<bool>& stop, FILE* out, FILE* csv) {
    Watcher watcher(host, gates, options, stop, out, csv);
    return watcher.Run();
}

void PrintWatchCsvHeader(FILE* csv) { fprintf(csv, "time,gate,old,new,reading\n"); }

void PrintWatchSummary(FILE* out, const WatchResult& result, const DriverHost& host) {
    std::vector<double> ms = result.cycleMs;
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double median = n == 0 ? 0 : n % 2 == 1 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    LineHealth health;
    uint64_t good = static_cast<uint64_t>(result.good), failed = static_cast<uint64_t>(result.reads - result.good),
             afterRetry = 0;
    if (host.Health(&health)) {
        const LineCounters total = health.total;
        good = total.readsGood;
        afterRetry = total.readsGoodAfterRetry;
        failed = 0;
        for (uint32_t cause = 0; cause < kFailCauseCount; ++cause) failed += total.readsFailed[cause];
    }
    fprintf(out, "watch ended: %s\n", result.ended.c_str());
    fprintf(out,
            "summary: cycles %zu, cycle time min %.0f / median %.0f / max %.0f ms; reads %llu good, %llu failed, "
            "%llu good after a retry; changes %d\n",
            n, n ? ms.front() : 0.0, median, n ? ms.back() : 0.0, static_cast<unsigned long long>(good),
            static_cast<unsigned long long>(failed), static_cast<unsigned long long>(afterRetry), result.changes);
}
