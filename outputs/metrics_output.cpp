#include "outputs/metrics_output.h"

#include "events/exit_status.h"
#include "events/sent_exchange.h"
#include "events/analyzer.h"
#include "link/frame_splitter.h"

MetricsOutput::MetricsOutput(const std::vector<std::string>& lines, const std::string& version)
    : metrics_(lines, version), wasDown_(lines.size(), false) {}

bool MetricsOutput::Start(const std::string& address, const WebConfig& config, std::string& error) {
    web_.reset(new WebEndpoint(config, [this] { return metrics_.Exposition(); }));
    if (web_->Start(address, error)) return true;
    web_.reset();
    return false;
}

void MetricsOutput::Piece(const LinePiece& piece) {
    // A tap's pieces are on its line by side; one line's are all on line 0.
    const int line = piece.dir == TAP_CTRL ? 1 : piece.line;
    if (piece.kind == SPLIT_STRAY) metrics_.StrayBytes(line, static_cast<long long>(piece.bytes.size()));
    metrics_.LastByte(line, static_cast<double>(clock_.EpochUs(piece.lastUs)) / 1e6);
}

void MetricsOutput::Exchange(const ExchangeEvent& exchange) {
    const double answerS = exchange.ackMs >= 0 ? exchange.ackMs / 1000.0 : -1;
    double replyS = -1;
    int pump = 0;
    const char* command = "unknown";
    if (exchange.heard != nullptr) {
        const TapExchange& e = *exchange.heard;
        pump = e.pump;
        if (e.hasRequest) command = e.command.c_str();
        // The ACK to the reply's last byte.
        if (e.hasReply && e.ackMs >= 0) {
            replyS = static_cast<double>(e.endUs - e.requestLastUs) / 1e6 - e.ackMs / 1000.0;
        }
    } else if (exchange.sent != nullptr) {
        pump = exchange.sent->pump;
        command = exchange.sent->command.c_str();
        if (exchange.replyMs >= 0 && exchange.ackMs >= 0) {
            replyS = static_cast<double>(exchange.endUs - exchange.sent->sentUs) / 1e6 - exchange.ackMs / 1000.0;
        }
    }
    if (exchange.heard != nullptr && !exchange.heard->hasRequest) {
        // A reply nobody asked for is an exchange of no command.
        metrics_.Exchange(0, exchange.verdict, "", answerS, replyS);
        return;
    }
    metrics_.Exchange(pump, exchange.verdict, command, answerS, replyS);
}

void MetricsOutput::LineUp(int line, bool up) {
    if (line < 0 || static_cast<size_t>(line) >= wasDown_.size()) return;
    if (up && wasDown_[line]) metrics_.Reconnect(line);
    wasDown_[line] = !up;
    metrics_.LineUp(line, up);
}

int MetricsOutput::Finish(const StreamEnd&) {
    metrics_.Stop();
    if (web_ != nullptr) web_->Stop();
    return EXIT_ALL_OK;
}
