// The scan's gate list as files: BASE.csv for a spreadsheet or a tag-table
// import, BASE.json with the same rows and what the scan did; and BASE.csv
// read back, for the watch. Columns in docs/commissioning.md.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/console/output.h"
#include "tools/console/scan.h"

namespace {

std::string Number(int value, bool shown) { return shown ? std::to_string(value) : ""; }

std::string Hex4(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// The cells of one row, in the column order of kColumns.
const char* const kColumns[] = {"address", "gate_type", "kind",  "loop",        "number",      "label",      "status",
                                "status_hex", "text",   "block_gate", "block_index", "block_count", "note"};
constexpr size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];

struct Cells {
    std::string text[kColumnCount];
    bool number[kColumnCount] = {};  // a JSON number rather than a string
    bool null[kColumnCount] = {};    // JSON null; an empty CSV cell
};

Cells RowCells(const GateRow& r) {
    Cells c;
    const bool hasText = r.gateType == 7 || r.kind == "loop-block";
    const std::string values[kColumnCount] = {r.address,
                                              std::to_string(r.gateType),
                                              r.kind,
                                              Number(r.loop, r.loop > 0),
                                              Number(r.number, r.number > 0),
                                              r.label,
                                              Number(r.status, r.hasStatus),
                                              r.hasStatus ? Hex4(r.status) : "",
                                              r.text,
                                              r.blockGate,
                                              Number(r.blockIndex, r.blockIndex >= 0),
                                              Number(r.blockCount, r.blockCount > 0),
                                              r.note};
    for (size_t i = 0; i < kColumnCount; ++i) {
        c.text[i] = values[i];
        c.null[i] = values[i].empty();
    }
    for (size_t i : {1, 3, 4, 6, 10, 11}) c.number[i] = true;
    c.null[5] = false;         // a label may be empty
    c.null[8] = !hasText;      // so may a text gate's text
    return c;
}

bool WriteCsv(const ScanResult& result, FILE* out) {
    for (size_t i = 0; i < kColumnCount; ++i) fprintf(out, "%s%s", i ? "," : "", kColumns[i]);
    fprintf(out, "\n");
    for (const GateRow& row : result.rows) {
        const Cells c = RowCells(row);
        for (size_t i = 0; i < kColumnCount; ++i) fprintf(out, "%s%s", i ? "," : "", CsvField(c.text[i]).c_str());
        fprintf(out, "\n");
    }
    return ferror(out) == 0;
}

void JsonList(FILE* out, const char* name, const std::vector<std::string>& items, bool last) {
    fprintf(out, "    \"%s\": [", name);
    for (size_t i = 0; i < items.size(); ++i) fprintf(out, "%s\"%s\"", i ? ", " : "", JsonEscape(items[i]).c_str());
    fprintf(out, "]%s\n", last ? "" : ",");
}

bool WriteJson(const ScanResult& result, const ScanOptions& options, FILE* out) {
    const ScanLimits& l = options.limits;
    fprintf(out, "{\n  \"scan\": {\n");
    fprintf(out, "    \"complete\": %s,\n", result.ended.empty() ? "true" : "false");
    if (result.ended.empty()) {
        fprintf(out, "    \"ended\": null,\n");
    } else {
        fprintf(out, "    \"ended\": \"%s\",\n", JsonEscape(result.ended).c_str());
    }
    fprintf(out, "    \"seconds\": %.1f, \"reads\": %d, \"block_reads\": %d,\n", result.seconds, result.reads,
            result.blocks);
    fprintf(out, "    \"limits\": {\"zones\": %d, \"groups\": %d, \"loops\": %d, \"points\": %d},\n", l.zones, l.groups,
            l.loops, l.points);
    fprintf(out, "    \"gap\": %d, \"budget_seconds\": %.0f,\n", options.gap, options.budgetSeconds);
    fprintf(out, "    \"found\": {\"zones\": %d, \"groups\": %d, \"loops\": %d, \"points\": %d},\n", result.zones,
            result.groups, result.loops, result.points);
    JsonList(out, "limits_reached", result.limitsHit, false);
    JsonList(out, "unread", result.unread, true);
    fprintf(out, "  },\n  \"gates\": [\n");
    for (size_t r = 0; r < result.rows.size(); ++r) {
        const Cells c = RowCells(result.rows[r]);
        fprintf(out, "    {");
        for (size_t i = 0; i < kColumnCount; ++i) {
            fprintf(out, "%s\"%s\": ", i ? ", " : "", kColumns[i]);
            if (c.null[i]) {
                fprintf(out, "null");
            } else if (c.number[i]) {
                fprintf(out, "%s", c.text[i].c_str());
            } else {
                fprintf(out, "\"%s\"", JsonEscape(c.text[i]).c_str());
            }
        }
        fprintf(out, "}%s\n", r + 1 < result.rows.size() ? "," : "");
    }
    fprintf(out, "  ]\n}\n");
    return ferror(out) == 0;
}

// CSV records as WriteCsv writes them (and a spreadsheet saves them):
// fields in double quotes may hold commas, doubled quotes and line breaks;
// CR LF or LF line ends.
class CsvReader {
public:
    explicit CsvReader(const std::string& text) : text_(text) {}

    // The next record's fields and the line it starts on; false at the end,
    // or with *error set for a quote never closed.
    bool Next(std::vector<std::string>* fields, int* line, std::string* error) {
        fields->clear();
        if (at_ >= text_.size()) return false;
        *line = line_;
        std::string field;
        bool quoted = false;
        for (; at_ < text_.size(); ++at_) {
            const char c = text_[at_];
            if (quoted) {
                if (c == '"' && at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
                    field += '"';
                    ++at_;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    line_ += c == '\n';
                    field += c;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == ',') {
                fields->push_back(field);
                field.clear();
            } else if (c == '\n') {
                ++at_;
                ++line_;
                break;
            } else if (c != '\r') {
                field += c;
            }
        }
        if (quoted) {
            *error = "a quote opened on this line is never closed";
            return false;
        }
        fields->push_back(field);
        return true;
    }

private:
    const std::string& text_;
    size_t at_ = 0;
    int line_ = 1;
};

// A cell as a whole number in [least, most]; an empty cell is `empty`.
bool NumberCell(const std::string& cell, int least, int most, int empty, int* value) {
    if (cell.empty()) {
        *value = empty;
        return true;
    }
    if (cell.size() > 6 || cell.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = std::atoi(cell.c_str());
    return *value >= least && *value <= most;
}

constexpr int kLastReadCommand = 10;  // 11-15 are actions: never read
constexpr int kMostBlockWords = 4000;

// One record as a row; false with the reason.
bool RowOf(const std::vector<std::string>& header, const std::vector<std::string>& fields, GateRow* row,
           std::string* error) {
    if (fields.size() != header.size()) {
        *error = std::to_string(fields.size()) + " fields where the header has " + std::to_string(header.size());
        return false;
    }
    std::string gateType, loop, number, blockIndex, blockCount;
    std::string* const cells[] = {&row->address, &gateType,  &row->kind,  &loop,         &number,
                                  &row->label,   &blockIndex, &blockCount, &row->blockGate};
    const char* const names[] = {"address", "gate_type", "kind", "loop", "number", "label", "block_index",
                                 "block_count", "block_gate"};
    for (size_t i = 0; i < header.size(); ++i)
        for (size_t n = 0; n < sizeof names / sizeof names[0]; ++n)
            if (header[i] == names[n]) *cells[n] = fields[i];
    const int command = static_cast<int>(GateCommand(row->address));
    if (command < 1 || command > kLastReadCommand) {
        *error = "'" + row->address + "' is no gate of a read command (01 to 10): the watch reads only";
        return false;
    }
    const struct {
        const char* name;
        const std::string& cell;
        int least, most, empty;
        int* value;
    } numbers[] = {{"gate_type", gateType, 0, 7, DefaultGateType(row->address), &row->gateType},
                   {"loop", loop, 1, 999, 0, &row->loop},
                   {"number", number, 1, 999, 0, &row->number},
                   {"block_index", blockIndex, 0, kMostBlockWords - 1, -1, &row->blockIndex},
                   {"block_count", blockCount, 1, kMostBlockWords, 0, &row->blockCount}};
    for (const auto& n : numbers) {
        if (!NumberCell(n.cell, n.least, n.most, n.empty, n.value)) {
            *error = std::string(n.name) + " '" + n.cell + "' is not a number from " + std::to_string(n.least) +
                     " to " + std::to_string(n.most);
            return false;
        }
    }
    if (row->kind == "loop-block" && row->blockCount == 0) {
        *error = "the loop-block row " + row->address + " needs its block_count (the words to read)";
        return false;
    }
    return true;
}

}  // namespace

bool ReadGateList(const std::string& file, std::vector<GateRow>* rows, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = file + ": cannot be read";
        return false;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    CsvReader reader(text);
    std::vector<std::string> header, fields;
    int line = 0;
    std::string why;
    const auto failed = [&](int at, const std::string& what) {
        *error = file + ":" + std::to_string(at) + ": " + what;
        return false;
    };
    if (!reader.Next(&header, &line, &why)) return failed(1, why.empty() ? "empty: no header line" : why);
    bool named = false;
    for (const std::string& column : header) named |= column == "address";
    if (!named) return failed(1, "the header names no address column (the scan's list starts \"address,...\")");
    while (reader.Next(&fields, &line, &why)) {
        if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
        GateRow row;
        if (!RowOf(header, fields, &row, &why)) return failed(line, why);
        rows->push_back(row);
    }
    if (!why.empty()) return failed(line, why);
    if (rows->empty()) return failed(line, "no gates: the list has its header only");
    return true;
}

bool WriteGateList(const ScanResult& result, const ScanOptions& options, const std::string& base,
                   std::string* error) {
    const std::string names[] = {base + ".csv", base + ".json"};
    for (int i = 0; i < 2; ++i) {
        FILE* out = fopen(names[i].c_str(), "wb");
        if (out == nullptr) {
            *error = "cannot write " + names[i];
            return false;
        }
        const bool written = i == 0 ? WriteCsv(result, out) : WriteJson(result, options, out);
        if (fclose(out) != 0 || !written) {
            *error = "cannot write " + names[i];
            return false;
        }
    }
    return true;
}
