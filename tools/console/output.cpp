#include "tools/console/output.h"

#include <algorithm>

#include "gateway/line_counters.h"
#include "serial/comm.h"

namespace {

std::string Hex4(uint16_t v) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

std::string Ms(double ms) {
    char text[32];
    snprintf(text, sizeof text, "%.0f", ms);
    return text;
}

std::string Letter(char c) { return std::string(1, c == '|' ? '|' : c); }

}  // namespace

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

const char* OperationName(Operation operation) {
    switch (operation) {
        case Operation::Read: return "read";
        case Operation::Block: return "block";
        case Operation::Write: return "write";
    }
    return "?";
}

std::string ResultText(const GateResult& r) {
    return r.refusedByPanel ? "refused by the panel (1)" : StatusText(r.status);
}

std::string StatusText(int32_t status) {
    switch (status) {
        case 0: return "ok";
        case 1: return "refused (1)";
        case 2: return "failed (2)";
        default: return "status " + std::to_string(status);
    }
}

// A read's value is shown only when the read succeeded: a failed read leaves
// the buffer as the request prepared it, which is no panel value.
static bool Shown(const GateResult& r) {
    return r.parsed && (r.operation == Operation::Write || r.status == 0);
}

std::string ValueText(const GateResult& r) {
    if (!Shown(r)) return "";
    if (r.operation == Operation::Write) return r.text.empty() ? "" : "\"" + r.text + "\"";
    if (r.kind == "number") return std::to_string(r.number) + " (" + Hex4(r.number) + ")";
    if (r.kind == "block") {
        // The table shows the first values; CSV and JSON carry them all.
        constexpr size_t kShown = 12;
        std::string list = "[";
        for (size_t i = 0; i < r.words.size() && i < kShown; ++i) {
            if (i != 0) list += ", ";
            list += std::to_string(r.words[i]);
        }
        if (r.words.size() > kShown) list += ", ... " + std::to_string(r.words.size() - kShown) + " more";
        return list + "]";
    }
    return "\"" + r.text + "\"";
}

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char esc[8];
                    snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string StatusReading(int command, uint16_t word) {
    struct Bit {
        uint16_t mask;
        const char* name;
    };
    static const std::vector<Bit> kSystem = {{0x0010, "DRILL"}};
    static const std::vector<Bit> kZoneOrGroup = {{0x0001, "ALARM"}, {0x0002, "TROUBLE"}};
    static const std::vector<Bit> kPoint = {{0x0001, "ALARM"}, {0x0002, "TROUBLE"}, {0x0100, "BYPASSED"}};
    if (command == 2) return word == 0 ? "no trouble" : "TROUBLE (" + Hex4(word) + ")";
    const std::vector<Bit>* bits = command == 1                   ? &kSystem
                                   : command == 3 || command == 5 ? &kZoneOrGroup
                                   : command == 7                 ? &kPoint
                                                                  : nullptr;
    if (bits == nullptr) return "";
    if (command != 1 && word == 0xFFFF) return "not installed";
    if (word == 0) return "normal";
    std::string reading;
    uint16_t rest = word;
    for (const Bit& bit : *bits) {
        if ((word & bit.mask) == 0) continue;
        reading += (reading.empty() ? "" : " ") + std::string(bit.name);
        rest = static_cast<uint16_t>(rest & ~bit.mask);
    }
    if (rest != 0) reading += (reading.empty() ? "bits " : " bits ") + Hex4(rest);
    return reading;
}

std::string LineHealthText(const LineHealth& health) {
    const LineCounters total = health.total;
    char counters[512];
    FormatLineCounters(total, counters, sizeof counters);
    std::string text = counters;
    if (health.down == 1) {
        const uint64_t since = uint64_t{health.downSinceMs}, now = CommNowMs();
        char down[128];
        snprintf(down, sizeof down, "; the line is down (for %llu s, %llu reads failed at once)",
                 static_cast<unsigned long long>(now > since ? (now - since) / 1000 : 0),
                 static_cast<unsigned long long>(uint64_t{health.failedAtOnce}));
        text += down;
    }
    return text;
}

void PrintResults(FILE* out, Format format, const std::vector<GateResult>& results) {
    if (format == Format::Quiet) {
        for (const GateResult& r : results) {
            if (r.operation == Operation::Write) continue;
            if (!Shown(r)) {
                fprintf(out, "\n");
                continue;
            }
            if (r.kind == "number") {
                fprintf(out, "%u\n", r.number);
            } else if (r.kind == "block") {
                for (size_t i = 0; i < r.words.size(); ++i) fprintf(out, "%s%u", i ? " " : "", r.words[i]);
                fprintf(out, "\n");
            } else {
                fprintf(out, "%s\n", r.text.c_str());
            }
        }
        return;
    }
    if (format == Format::Csv) {
        fprintf(out, "gate,command,operation,kind,value,hex,status,code,ms\n");
        for (const GateResult& r : results) {
            std::string value, hex;
            if (!Shown(r)) {
            } else if (r.kind == "number" && r.operation == Operation::Read) {
                value = std::to_string(r.number);
                hex = Hex4(r.number);
            } else if (r.kind == "block") {
                for (size_t i = 0; i < r.words.size(); ++i) value += (i ? " " : "") + std::to_string(r.words[i]);
            } else {
                value = r.text;
            }
            fprintf(out, "%s,%s,%s,%s,%s,%s,%s,%d,%s\n", CsvField(r.gate).c_str(), CsvField(Letter(r.letter)).c_str(),
                    OperationName(r.operation), r.kind.c_str(), CsvField(value).c_str(), hex.c_str(),
                    ResultText(r).c_str(), r.status, Ms(r.ms).c_str());
        }
        return;
    }
    if (format == Format::Json) {
        fprintf(out, "[\n");
        for (size_t i = 0; i < results.size(); ++i) {
            const GateResult& r = results[i];
            fprintf(out, "  {\"gate\": \"%s\", \"command\": \"%s\", \"operation\": \"%s\", \"kind\": \"%s\", ",
                    JsonEscape(r.gate).c_str(), JsonEscape(Letter(r.letter)).c_str(), OperationName(r.operation),
                    r.kind.c_str());
            if (!Shown(r) || (r.operation == Operation::Write && r.text.empty())) {
                fprintf(out, "\"value\": null, ");
            } else if (r.operation == Operation::Read && r.kind == "number") {
                fprintf(out, "\"value\": %u, ", r.number);
            } else if (r.kind == "block") {
                fprintf(out, "\"value\": [");
                for (size_t k = 0; k < r.words.size(); ++k) fprintf(out, "%s%u", k ? ", " : "", r.words[k]);
                fprintf(out, "], ");
            } else {
                fprintf(out, "\"value\": \"%s\", ", JsonEscape(r.text).c_str());
            }
            fprintf(out, "\"status\": %d, \"ok\": %s, \"ms\": %.1f}%s\n", r.status, r.status == 0 ? "true" : "false",
                    r.ms, i + 1 < results.size() ? "," : "");
        }
        fprintf(out, "]\n");
        return;
    }
    // The aligned table.
    const std::vector<std::string> head = {"gate", "cmd", "op", "value", "status", "ms"};
    std::vector<std::vector<std::string>> rows;
    for (const GateResult& r : results) {
        rows.push_back({r.gate, Letter(r.letter), OperationName(r.operation), ValueText(r), ResultText(r),
                        Ms(r.ms)});
    }
    std::vector<size_t> width(head.size());
    for (size_t c = 0; c < head.size(); ++c) {
        width[c] = head[c].size();
        for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < cells.size(); ++c) {
            std::string cell = cells[c];
            const bool right = c == cells.size() - 1;
            const std::string pad(width[c] - cell.size(), ' ');
            text += right ? pad + cell : cell + pad;
            if (c + 1 < cells.size()) text += "  ";
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        fprintf(out, "%s\n", text.c_str());
    };
    line(head);
    std::vector<std::string> rule;
    for (size_t w : width) rule.push_back(std::string(w, '-'));
    line(rule);
    for (const auto& row : rows) line(row);
}
