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

void PrintResults(FILE* out, Format format, const std::vector<GateResult>& results);
std::string JsonEscape(const std::string& text);
// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text);
