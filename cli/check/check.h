// `zantrox-cli check`: every read-only request, for each pump asked for, round
// after round, and a self-contained HTML report of how the link did.
#pragma once

#include <string>
#include <vector>

#include "listen/port_options.h"
#include "commands/settings.h"

// The options of a check, already checked against their allowed values.
struct CheckOptions {
    PortOptions line;
    std::vector<int> pumps = {1};  // from ParsePumpList; not empty
    int rounds = 3;                // 1 or more
    int intervalMs = 250;          // 0 or more
    std::string reportPath;        // "" = zantrox-check-<date>-<time>.html here
};

// Pump numbers 1..32 from "1-4,7", in the order given, without repeats. Returns
// false with a reason in `error` for anything else ("0", "33", "4-2", "x", "").
bool ParsePumpList(const std::string& text, std::vector<int>& pumps, std::string& error);

// Runs the check. Returns EXIT_ALL_OK, EXIT_FAILED, EXIT_USAGE or EXIT_NO_PORT.
int RunCheck(const CheckOptions& options);

// The menu paths a check sends, by the names the catalogue knows them: the
// controller-wide requests once a round, then the per-pump ones for each pump.
const std::vector<std::string>& CheckRoundPaths();
const std::vector<std::string>& CheckPumpPaths();

// One message of a round, as it will go out.
struct CheckStep {
    std::string path;  // the menu path
    bool perPump;      // false: once a round, sent with the first pump's settings
    int pump;
    std::string text;
    int reply;
};

// Every message of one round for `pumps` (not empty), with `base` giving the
// other settings. Empty, with a reason in `error`, when a path is not in the
// catalogue or is not a plain request.
std::vector<CheckStep> PlanCheckRound(const std::vector<int>& pumps, const ConsoleSettings& base,
                                      std::string& error);

// "zantrox-check-20261208-093001.html" for the local time now.
std::string DefaultReportName();
