// An acceptance run as a JUnit XML file for CI: written at the end of the stream
// (Ctrl+C included), beside the old file and renamed over it.
#pragma once

#include <string>
#include <vector>

#include "events/step_results.h"
#include "events/line_events.h"

class JunitOutput : public LineOutput {
public:
    // `results` is filled in by the runner as the steps go; it must outlive the output.
    JunitOutput(std::string path, const std::vector<SuiteResult>& results)
        : path_(std::move(path)), results_(results) {}
    int Finish(const StreamEnd& end) override;

private:
    std::string path_;
    const std::vector<SuiteResult>& results_;
};
