// The stream as JSON Lines for machines: UTC with microseconds for what was heard,
// send's shape for what was sent.
#pragma once

#include <cstdio>
#include <string>

#include "outputs/forms.h"
#include "events/line_events.h"
#include "events/sent_exchange.h"
#include "events/analyzer.h"

class JsonOutput : public LineOutput {
public:
    JsonOutput(std::FILE* out, int form, const LineClock& clock) : out_(out), form_(form), clock_(clock) {}
    void Piece(const LinePiece& piece) override;
    void Exchange(const ExchangeEvent& exchange) override;

private:
    std::FILE* out_;
    int form_;
    LineClock clock_;
};

// The transaction as one JSON object on one line (no newline).
std::string TransactionJson(const TransactionResult& result);
std::string PieceJson(const LinePiece& piece, const LineClock& clock, bool tap);
std::string ExchangeJson(const TapExchange& exchange, const LineClock& clock);
