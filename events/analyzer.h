// The exchange analyzer behind `watch --tap`: pieces seen on the two lines of a
// passive tap (host -> controller, controller -> host) in, exchanges out. Each host
// frame is paired with what the controller answers and judged in the console's
// terms. It reads no line and keeps no clock of its own: the caller stamps every
// piece and tells it how far time has gone.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "events/line_events.h"
#include "events/verdicts.h"
#include "commands/names.h"
#include "link/transaction.h"

// How an exchange is judged: the console's verdicts and what only a tap sees
// (VerdictName names them all).
enum TapVerdict {
    TAP_OK = VERDICT_OK,
    TAP_NO_ACK = VERDICT_NO_ACK,
    TAP_CHECKSUM_ERROR = VERDICT_CHECKSUM_ERROR,
    TAP_INCOMPLETE = VERDICT_INCOMPLETE,
    TAP_OVERLAP = VERDICT_OVERLAP,
    TAP_UNANSWERED_REPLY = VERDICT_UNANSWERED_REPLY,
};

struct TapExchange {
    long long firstUs = 0;        // the request's first byte (the reply's for an unanswered reply)
    long long requestLastUs = 0;
    bool hasRequest = false;
    std::string request;          // the host frame's text
    bool requestValid = false;
    std::string command = "unknown";  // the catalogue path that sends this text
    int pump = 0;                 // 0 when the text names no pump
    double ackMs = -1;            // request's last byte to the ACK; -1 without one
    bool hasReply = false;
    std::string reply;            // the reply's text
    bool replyValid = false;
    double replyMs = -1;          // request's last byte to the reply's first byte
    std::vector<unsigned char> answer;  // every controller byte of the exchange, in order
    bool replyExpected = false;   // the console would wait for a reply (or one came)
    long long endUs = 0;          // the exchange's last byte
    int verdict = TAP_OK;
};

// "Pump/Sale/Extended, pump 7", "unknown", "no request"
std::string ExchangeName(const TapExchange& exchange);

class TapAnalyzer {
public:
    // `names` stays owned by the caller and must outlive the analyzer.
    explicit TapAnalyzer(const CommandNames& names);

    // Takes the next piece (pieces come in order of their last byte). Judged
    // exchanges are appended to `out`.
    void Feed(const LinePiece& piece, std::vector<TapExchange>& out);
    // Time has reached `nowUs`: judges the open exchange when its window ran out.
    void Advance(long long nowUs, std::vector<TapExchange>& out);
    // A byte came on line `dir` at `byteUs` that did not end a piece: the console's
    // window restarts with every byte, so a reply still arriving is not judged yet.
    void LineActive(int dir, long long byteUs);
    // The end: judges what is still open as the window would.
    void Finish(std::vector<TapExchange>& out);
    // The time (us) at which Advance would judge the open exchange; -1 when none is open.
    long long Deadline() const;

private:
    enum Stage { IDLE, AWAIT_ACK, AWAIT_REPLY };
    void Close(int verdict, std::vector<TapExchange>& out);

    const CommandNames& names_;
    Stage stage_ = IDLE;
    int replyKnown_ = -1;          // the open request's reply flag: 1, 0, or -1 when not known
    long long lastCtrlUs_ = 0;     // the last controller byte of the open exchange (or the request's end)
    TapExchange open_;
};

// What a session of listening adds up to.
struct TapSummary {
    int exchanges = 0;
    std::map<int, int> perVerdict;  // verdict -> exchanges
    std::map<std::string, int> perCommand;
    int strayHost = 0;
    int strayCtrl = 0;
    std::vector<double> ackMs;  // every ACK latency, in the order they came

    void Add(const TapExchange& exchange);
    void AddPiece(const LinePiece& piece);
};
