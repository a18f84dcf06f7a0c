// A run's text output: a line a step and a closing count a file and overall.
#pragma once

#include <string>
#include <vector>

#include "cli/run/judge.h"

// "PASS  status answers  ok  ACK 0.53 ms, 102.5 ms", or for a failure the same
// followed by what was expected and what came; "SKIP  name  not run" for a step
// Ctrl+C kept from running. One line, no newline; control bytes shown as \xNN.
std::string StepLine(const StepResult& step);

// "Sale cycle, pump 7: 3 passed, 1 failed" (", 1 stopped, 2 not run" when there are any).
std::string SuiteSummaryLine(const SuiteResult& suite);

// "2 files: 7 passed, 1 failed", over every file of the run.
std::string RunSummaryLine(const std::vector<SuiteResult>& suites);
