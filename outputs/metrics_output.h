// The stream as Prometheus metrics (Linux): each judged exchange, stray bytes, the
// last byte heard and the adapters' state counted into LinkMetrics, which serves
// them at /metrics. Counting allocates nothing once the endpoint runs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "outputs/http_endpoint.h"
#include "outputs/link_metrics.h"
#include "events/line_events.h"

class MetricsOutput : public LineOutput {
public:
    // `lines`: each line's label ("host", "ctrl"; the port for one line).
    MetricsOutput(const std::vector<std::string>& lines, const std::string& version);
    // Serves the endpoint on `address` ([ADDRESS:]PORT); false with the reason.
    bool Start(const std::string& address, std::string& error) { return metrics_.Start(address, error); }
    // The same with --web-config's TLS, users and headers.
    bool Start(const std::string& address, const WebConfig& config, std::string& error);
    int Port() const { return web_ != nullptr ? web_->Port() : metrics_.Port(); }

    void Piece(const LinePiece& piece) override;
    void Exchange(const ExchangeEvent& exchange) override;
    void LineUp(int line, bool up) override;
    void AdapterLatency(int line, double seconds) override { metrics_.AdapterLatency(line, seconds); }
    int Finish(const StreamEnd& end) override;

private:
    LinkMetrics metrics_;
    std::unique_ptr<WebEndpoint> web_;  // with --web-config, in place of metrics_' own endpoint
    LineClock clock_;  // the listener's own is taken a moment later: the same offset
    std::vector<bool> wasDown_;
};
