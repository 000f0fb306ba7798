#include "tools/console/session.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// The command number of the address text: 0 when it does not start with two digits.
int CommandOf(const std::string& gate) {
    if (gate.size() < 2 || gate[0] < '0' || gate[0] > '9' || gate[1] < '0' || gate[1] > '9') return 0;
    return (gate[0] - '0') * 10 + (gate[1] - '0');
}

// The parameter at position 3 or 6 as a number, for the message only.
int ParamOf(const std::string& gate, size_t at) {
    return gate.size() >= at + 3 ? std::atoi(gate.substr(at, 3).c_str()) : 0;
}

}  // namespace

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
        *error = "unknown step '" + verb + "' (read, block, write, yes)";
        return false;
    }
    if (step->gate.empty()) {
        *error = "missing gate address";
        return false;
    }
    return true;
}

bool LoadSession(const std::string& file, Session* session, std::string* error) {
    std::ifstream in(file);
    if (!in) {
        *error = file + ": cannot be read";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        const std::string text = line.substr(start, line.find_last_not_of(" \t\r") + 1 - start);
        if (text == "yes") {
            session->yes = true;
            continue;
        }
        Step step;
        if (!ParseStep(text, &step, error)) {
            *error = file + ":" + std::to_string(number) + ": " + *error;
            return false;
        }
        session->steps.push_back(step);
    }
    return true;
}

std::string ActionText(const Step& step) {
    if (step.operation != Operation::Write) return "";
    const int command = CommandOf(step.gate);
    if (command >= 1 && command <= 10) return "";
    const std::string point =
        "loop " + std::to_string(ParamOf(step.gate, 3)) + " point " + std::to_string(ParamOf(step.gate, 6));
    switch (command) {
        case 11: return "bypass " + point + ": takes the point out of detection";
        case 12: return "end the bypass of " + point + ": the point detects again";
        case 13: return "start a drill: can sound the building's alarms";
        case 14: return "reset the panel: clears its alarms";
        case 15: return "set the panel's clock to \"" + step.value + "\"";
        default: return "a write of a gate that names no read command";
    }
}

bool ConfirmActions(FILE* out, const std::vector<Step>& steps, bool yes, const std::string& port) {
    int actions = 0;
    for (const Step& step : steps) {
        const std::string action = ActionText(step);
        if (action.empty()) continue;
        if (actions++ == 0)
            fprintf(out, "skconsole: %s to the panel on %s:\n", yes ? "writing" : "this would write", port.c_str());
        fprintf(out, "  %-12s %s\n", step.gate.c_str(), action.c_str());
    }
    if (actions == 0 || yes) return true;
    fprintf(out,
            "skconsole: refused, nothing sent: these act on a live panel. Agree them with the site first "
            "(docs/safety.md), then give --yes (a session file: a line \"yes\").\n");
    return false;
}
