// Listening on a tap, whatever the pieces come from (two live lines, a capture
// read back): each piece goes into the stream and the analyzer, and each judged
// exchange after it. The stream is told when nothing is open.
#pragma once

#include <vector>

#include "events/line_events.h"
#include "events/analyzer.h"

class TapSession {
public:
    // Both must outlive the session.
    TapSession(LineStream& stream, const CommandNames& names) : stream_(stream), analyzer_(names) {}

    void Piece(const LinePiece& piece) {
        stream_.Piece(piece);
        analyzer_.Feed(piece, judged_);
        Drain();
    }
    void Advance(long long nowUs) {
        analyzer_.Advance(nowUs, judged_);
        Drain();
    }
    void Finish() {
        analyzer_.Finish(judged_);
        Drain();
    }
    void LineActive(int dir, long long us) { analyzer_.LineActive(dir, us); }
    long long Deadline() const { return analyzer_.Deadline(); }

private:
    void Drain() {
        for (const TapExchange& exchange : judged_) {
            ExchangeEvent event;
            event.verdict = exchange.verdict;
            event.firstUs = exchange.firstUs;
            event.endUs = exchange.endUs;
            event.ackMs = exchange.ackMs;
            event.replyMs = exchange.replyMs;
            event.heard = &exchange;
            stream_.Exchange(event);
        }
        judged_.clear();
        if (analyzer_.Deadline() < 0) stream_.Settled();
    }

    LineStream& stream_;
    TapAnalyzer analyzer_;
    std::vector<TapExchange> judged_;
};
