// What the command line sees on a line, as one stream of events: pieces (a frame,
// an ACK, a run of stray bytes, a cut frame) as they come, and exchanges as they
// are judged. send, check, watch and the tap feed it; text, JSON Lines, the
// summaries, the report and the capture file are outputs that take it, each in a
// file of its own under outputs/.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "events/clock.h"

enum TapDirection {
    TAP_HOST = 0,     // host -> controller
    TAP_CTRL = 1,     // controller -> host
    TAP_UNKNOWN = 2,  // one line heard as it is (watch): either side
};

// One piece as the frame splitter cut it, with the monotonic times (us) of its
// first and last byte.
struct LinePiece {
    int dir = TAP_HOST;
    int line = 0;        // which of the stream's lines
    int kind = 0;        // a SplitKind
    bool valid = false;  // frames: the checksum holds
    std::vector<unsigned char> bytes;
    long long firstUs = 0;
    long long lastUs = 0;
    double gapMs = -1;   // from the previous piece's last byte on the same line; -1 for the first
};

struct TransactionResult;
struct TapExchange;

// One judged exchange: a request this program sent (send, check) or one heard on
// the line (the tap, a capture read back).
struct ExchangeEvent {
    int verdict = 0;
    long long firstUs = 0;  // the request's first byte
    long long endUs = 0;    // the exchange's last byte (the request's when nothing came)
    double ackMs = -1;      // request's end to the ACK; -1 without one
    double replyMs = -1;    // request's end to the reply's first byte; -1 without one
    const TransactionResult* sent = nullptr;
    const TapExchange* heard = nullptr;
    int round = 0;          // check: the round, and whether the request was per pump
    bool perPump = true;
};

// How the run ended, for the outputs' last words.
struct StreamEnd {
    bool stopped = false;    // Ctrl+C or a broken output ended it early
    bool broken = false;     // an output broke (LineStream::Finish sets it)
    long long endUs = 0;     // the stream's clock
};

class LineOutput {
public:
    virtual ~LineOutput() = default;
    virtual void Piece(const LinePiece&) {}
    virtual void Exchange(const ExchangeEvent&) {}
    // Nothing is open: every piece so far is either in a judged exchange or in none.
    virtual void Settled() {}
    // Line `line`'s adapter is there (opened, back) or gone.
    virtual void LineUp(int /*line*/, bool /*up*/) {}
    // What the system says of line `line`'s adapter: its latency timer.
    virtual void AdapterLatency(int /*line*/, double /*seconds*/) {}
    // Returns EXIT_ALL_OK, or EXIT_FAILED having said why on stderr.
    virtual int Finish(const StreamEnd&) { return 0; }
    // Can no longer do its work (a capture whose pipe closed): the run should end.
    virtual bool Broken() const { return false; }
};

// Hands every event to every output, in the order they were added.
class LineStream {
public:
    // `lines`: the ports as the user named them (the host line first for a tap).
    LineStream(std::vector<std::string> lines, LineClock clock) : lines_(std::move(lines)), clock_(clock) {}
    void Add(LineOutput& output) { outputs_.push_back(&output); }

    void Piece(const LinePiece& piece) {
        for (LineOutput* o : outputs_) o->Piece(piece);
    }
    void Exchange(const ExchangeEvent& exchange) {
        for (LineOutput* o : outputs_) o->Exchange(exchange);
    }
    void Settled() {
        for (LineOutput* o : outputs_) o->Settled();
    }
    void LineUp(int line, bool up) {
        for (LineOutput* o : outputs_) o->LineUp(line, up);
    }
    void AdapterLatency(int line, double seconds) {
        for (LineOutput* o : outputs_) o->AdapterLatency(line, seconds);
    }
    // Every output's Finish; EXIT_FAILED when any failed.
    int Finish(StreamEnd end);
    bool Broken() const;

    const std::vector<std::string>& lines() const { return lines_; }
    const LineClock& clock() const { return clock_; }

private:
    std::vector<std::string> lines_;
    LineClock clock_;
    std::vector<LineOutput*> outputs_;
};
