// A console session: the steps the console sends one after the other, from
// the command line or a session file, and the writes among them that act on
// the panel (commands 11-15), which the console shows and sends only when
// told yes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/console/host.h"

struct Step {
    Operation operation = Operation::Read;
    std::string gate;
    std::string value;  // write: the value text
    int32_t count = 0;  // block: words
    int gateType = -1;
};

struct Session {
    std::vector<Step> steps;
    bool yes = false;  // the file's "yes" line: its actions may be sent
};

// One line of a session file: "read GATE [TYPE]", "block GATE COUNT",
// "write GATE [VALUE…]", or "yes".
bool ParseStep(const std::string& line, Step* step, std::string* error);

// A whole session file; blank lines and # comments are skipped. On failure
// the error names the line ("FILE:LINE: what").
bool LoadSession(const std::string& file, Session* session, std::string* error);

// What a write of this step does to the panel, e.g. "bypass loop 1 point 2:
// takes the point out of detection"; empty for a step that is no write, or a
// write of a read command (01-10), which the driver refuses without sending.
std::string ActionText(const Step& step);

// Lists every action among the steps on out. Returns false, after saying
// how to allow them, when there is one and yes was not given.
bool ConfirmActions(FILE* out, const std::vector<Step>& steps, bool yes, const std::string& port);
