// Judging a run file's step from the transactions it made. Pure: nothing here
// touches the line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/run/run_file.h"
#include "events/step_results.h"

// A step passes when every one of its transactions (every repetition, every
// message of a price series) came with the verdict expected, a reply matching the
// pattern whole, and the ACK and the whole within their bounds. Settings and wait
// steps pass. A step with transactions to judge and none given fails.
Judgement JudgeStep(const RunStep& step, const std::vector<Attempt>& attempts);
