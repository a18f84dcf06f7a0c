// A run file: a suite of steps in TOML, checked whole before anything is sent.
//
//   RunSuite suite;
//   std::vector<std::string> problems;   // "FILE:LINE:COLUMN: what is wrong"
//   if (!LoadRunFile(path, overrides, suite, problems)) -> print them, exit 2
//
// The model holds everything the runner needs and nothing of TOML.
#pragma once

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "commands/catalogue.h"

// The command line's --pump, --port and --baud: they win over a file's defaults.
struct RunOverrides {
    std::optional<int> pump;
    std::optional<std::string> port;
    std::optional<int> baud;
};

enum RunStepKind {
    STEP_SEND,  // a catalogue item (a settings item sends nothing and only changes the settings)
    STEP_TEXT,  // a message text as it stands
    STEP_WAIT,  // a pause, no transaction
};

// Bounds of the values a file may give.
enum {
    RUN_PUMP_MOST = 32,
    RUN_ACK_WITHIN_MOST_MS = 60000,
    RUN_WITHIN_MOST_MS = 600000,
    RUN_WAIT_MOST_MS = 3600000,
    RUN_REPEAT_MOST = 100000,
};

struct RunStep {
    int line = 0;  // where the step's [[step]] header is
    int column = 0;
    std::string name;  // as given, else the command as written; a repeated name gets " #2", " #3"
    RunStepKind kind = STEP_SEND;
    std::string command;                 // `send` as written ("" for text and wait)
    const CatalogueItem* item = nullptr;  // STEP_SEND
    std::string text;                    // STEP_TEXT
    bool replyExpected = false;          // STEP_TEXT
    int waitMs = 0;                      // STEP_WAIT
    int pump = 0;                        // this step only; 0: the pump the run is on
    bool yes = false;
    std::string expect = "ok";           // a verdict name
    std::string replyPattern;            // "" for none
    std::optional<std::regex> reply;     // compiled from replyPattern (ECMAScript, must match whole)
    double ackWithinMs = 0;              // 0: no bound
    double withinMs = 0;                 // 0: no bound
    int repeat = 1;

    bool IsSettingStep() const { return kind == STEP_SEND && item != nullptr && IsSetting(*item); }
};

struct RunSuite {
    std::string path;  // the file as given
    std::string name;  // `name`, else the file's name
    int pump = 1;      // the run starts on this pump
    std::string port;  // "" for the default
    int baud = 9600;
    // Where the file set them (line 0: it did not), to point at a clash between files.
    int portLine = 0, portColumn = 0;
    int baudLine = 0, baudColumn = 0;
    std::vector<RunStep> steps;
};

// The verdict names a step may expect, in the order of the transaction verdicts.
const std::vector<std::string>& RunVerdictNames();

// Reads and checks the file at `path`. Every problem found is appended to
// `problems` as "PATH:LINE:COLUMN: what is wrong", in the order of the file.
// Returns true (and a complete `suite`) when there was none.
bool LoadRunFile(const std::string& path, const RunOverrides& overrides, RunSuite& suite,
                 std::vector<std::string>& problems);
// The same on a file's content; `path` names it in the problems.
bool ParseRunText(const std::string& content, const std::string& path, const RunOverrides& overrides,
                  RunSuite& suite, std::vector<std::string>& problems);

// Files run one after another on one open port. The port and baud rate are the
// command line's, else the ones the files name (a file that names none takes
// them), else the defaults ("" and 9600). Where two files name different ones,
// each clash is a problem at the later file's key. True when they agree.
bool SharedLine(const std::vector<RunSuite>& suites, const RunOverrides& overrides, std::string& port, int& baud,
                std::vector<std::string>& problems);
