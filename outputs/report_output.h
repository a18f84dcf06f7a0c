// check's HTML report, fed from the stream: every exchange sent or heard becomes a
// report record; at the end the verdict line and the page, written safely beside
// the old one.
#pragma once

#include <cstdio>
#include <string>

#include "report/report.h"
#include "events/line_events.h"

class ReportOutput : public LineOutput {
public:
    // `summary`: where the verdict line and "report: PATH" go.
    ReportOutput(std::string path, std::FILE* summary, const LineClock& clock)
        : path_(std::move(path)), summary_(summary), clock_(clock) {}
    void Exchange(const ExchangeEvent& exchange) override;
    int Finish(const StreamEnd& end) override;

    // Filled in by the subcommand: the run, its mode, its ports (ended and
    // seconds are left to the subcommand too).
    ReportInfo& info() { return info_; }
    const ReportModel& model() const { return model_; }

private:
    std::string path_;
    std::FILE* summary_;
    LineClock clock_;
    ReportInfo info_;
    ReportModel model_;
};
