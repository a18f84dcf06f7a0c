// The stream as Prometheus metrics (Linux): each judged exchange, stray bytes, the
// last byte heard and the adapters' state counted into LinkMetrics, which serves
// them at /metrics. Counting allocates nothing once the endpoint runs.
#pragma once

#include <string>
#include <vector>

#include "outputs/link_metrics.h"
#include "events/line_events.h"

class MetricsOutput : public LineOutput {
public:
    // `lines`: each line's label ("host", "ctrl"; the port for one line).
    MetricsOutput(const std::vector<std::string>& lines, const std::string& version);
    // Serves the endpoint on `address` ([ADDRESS:]PORT); false with the reason.
    bool Start(const std::string& address, std::string& error) { return metrics_.Start(address, error); }
    int Port() const { return metrics_.Port(); }

    void Piece(const LinePiece& piece) override;
    void Exchange(const ExchangeEvent& exchange) override;
    void LineUp(int line, bool up) override;
    void AdapterLatency(int line, double seconds) override { metrics_.AdapterLatency(line, seconds); }
    int Finish(const StreamEnd& end) override;

private:
    LinkMetrics metrics_;
    LineClock clock_;  // the listener's own is taken a moment later: the same offset
    std::vector<bool> wasDown_;
};
