// zantrox-cli run: run files' steps in order on one open port, each judged, with
// a line a step, JSON Lines, a JUnit file, check's report and a capture as outputs
// of the same stream of line events.
#pragma once

#include <string>
#include <vector>

#include "listen/port_options.h"
#include "cli/run/run_file.h"

struct RunOptions {
    std::vector<std::string> files;
    RunOverrides overrides;   // --pump, --port, --baud
    PortOptions line;         // json and the capture; the port and baud come from the files and overrides
    std::string junitPath;    // "" for none
    std::string reportPath;   // "" for none
};

// Exit status: 0 every step passed, 1 some failed (or were stopped), 2 a bad file
// or command line (nothing sent), 3 the port could not be opened.
int RunRun(const RunOptions& options);
