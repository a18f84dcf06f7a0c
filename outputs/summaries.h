// The closing summaries: send's statistics, the tap's tallies.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "events/line_events.h"
#include "events/tally.h"
#include "events/analyzer.h"

// "--- COM1 statistics ---", the counts by verdict and the transaction times.
class SendSummaryOutput : public LineOutput {
public:
    SendSummaryOutput(std::FILE* out, std::string portLabel) : out_(out), label_(std::move(portLabel)) {}
    void Exchange(const ExchangeEvent& exchange) override;
    int Finish(const StreamEnd& end) override;
    bool AllOk() const { return tally_.AllOk(); }

private:
    std::FILE* out_;
    std::string label_;
    Tally tally_;
    std::vector<double> ms_;
};

// Exchanges by verdict and command, stray bytes by line, the answer latency.
class TapSummaryOutput : public LineOutput {
public:
    // `blankLine`: a blank line first, parting the summary from the text above.
    TapSummaryOutput(std::FILE* out, bool blankLine) : out_(out), blankLine_(blankLine) {}
    void Piece(const LinePiece& piece) override { summary_.AddPiece(piece); }
    void Exchange(const ExchangeEvent& exchange) override {
        if (exchange.heard != nullptr) summary_.Add(*exchange.heard);
    }
    int Finish(const StreamEnd& end) override;
    const TapSummary& summary() const { return summary_; }

private:
    std::FILE* out_;
    bool blankLine_;
    TapSummary summary_;
};

void PrintSummary(std::FILE* out, const TapSummary& summary);
