// The scan's gate list as files: BASE.csv for a spreadsheet or a tag-table
// import, BASE.json with the same rows and what the scan did. Columns in
// docs/commissioning.md.
#include <cstdio>
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

}  // namespace

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
