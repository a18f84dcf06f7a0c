// The stream as a technician reads it: trace lines as the panel shows them, the
// verdict and the times; local time to the millisecond.
#pragma once

#include <cstdio>
#include <string>

#include "outputs/forms.h"
#include "events/line_events.h"
#include "events/sent_exchange.h"
#include "events/analyzer.h"

class TextOutput : public LineOutput {
public:
    TextOutput(std::FILE* out, int form, const LineClock& clock) : out_(out), form_(form), clock_(clock) {}
    void Piece(const LinePiece& piece) override;
    void Exchange(const ExchangeEvent& exchange) override;

private:
    std::FILE* out_;
    int form_;
    LineClock clock_;
};

// A transaction this program ran: its time, command and pump, both traces, the
// verdict; lines ending in '\n' and a blank line after.
std::string TransactionText(const TransactionResult& result);
void PrintTransaction(std::FILE* out, const TransactionResult& result);
// `tap`: the piece has a side (host > / < ctrl); without it, the one-line form.
std::string PieceText(const LinePiece& piece, const LineClock& clock, bool tap);
std::string ExchangeText(const TapExchange& exchange, const LineClock& clock);
