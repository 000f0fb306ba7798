// How the console shows results: an aligned table, CSV, JSON, or values only.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/console/host.h"

enum class Format { Table, Csv, Json, Quiet };

// The value as a person reads it: numbers in decimal and hex, texts quoted,
// block lists in brackets; empty for a write or a refused gate.
std::string ValueText(const GateResult& result);
std::string StatusText(int32_t status);
// The status as the console shows it: a write the panel refused says so.
std::string ResultText(const GateResult& r);
const char* OperationName(Operation operation);

// A status word as this project's panel model reads it (docs/gate-addresses.md,
// "Status words, bit by bit"): "normal", "ALARM", "TROUBLE BYPASSED",
// "not installed", "DRILL", "bits 0x0004" for a bit the model does not know.
// Empty for a command whose words it does not read (01, 02, 03, 05 and 07
// only). Not a panel manual's reading: confirm on site.
std::string StatusReading(int command, uint16_t word);

// The channel's counters since its start, "3 reads 3 good; 0 writes 0 good;
// line down 0 s; 420 bytes in, 90 out", and, while the line is down, for how
// long and how many reads failed at once.
std::string LineHealthText(const LineHealth& health);

void PrintResults(FILE* out, Format format, const std::vector<GateResult>& results);
std::string JsonEscape(const std::string& text);
// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text);
