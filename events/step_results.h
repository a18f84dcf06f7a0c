// How the steps of an acceptance run went: each transaction of a step, the
// judgement on the step, and the counts of a file and of a run. What the run's
// text, its JUnit file and its report are made from.
#pragma once

#include <optional>
#include <string>
#include <vector>

// One transaction of a step, as the judge needs it.
struct Attempt {
    std::string verdict;               // VerdictName's: "ok", "no-ack", ...
    std::optional<std::string> reply;  // the reply's text (any bytes); none when no whole reply came
    std::optional<double> ackMs;       // from the end of the frame's write to the ACK; none without one
    double ms = 0;                     // the whole transaction, drain included
};

struct Judgement {
    bool pass = true;
    bool stopped = false;  // Ctrl+C ended one of its transactions (and that was not what it expected)
    std::string verdict;   // of the first transaction that failed, else of the last; "" for none
    std::string why;       // "" when it passed; else what was expected and what came, in words
};

// A step as it went.
struct StepResult {
    std::string name;
    bool run = false;               // false: not reached (Ctrl+C came first)
    Judgement judgement;
    std::vector<Attempt> attempts;  // none for a settings or wait step
    double seconds = 0;             // the step's own time, pauses included
    std::vector<std::string> trace;  // its trace lines as printed (any bytes), for the JUnit file
};

// A file as it went.
struct SuiteResult {
    std::string name;
    std::string path;
    std::string started;  // ISO 8601, UTC, as IsoTimeNow gives it
    double seconds = 0;
    std::vector<StepResult> steps;
};

struct RunCounts {
    int passed = 0;
    int failed = 0;   // stopped ones not included
    int stopped = 0;  // ended by Ctrl+C
    int notRun = 0;
    int Steps() const { return passed + failed + stopped + notRun; }
    bool AllPassed() const { return failed == 0 && stopped == 0 && notRun == 0; }
};
RunCounts CountSuite(const SuiteResult& suite);
RunCounts CountRun(const std::vector<SuiteResult>& suites);
