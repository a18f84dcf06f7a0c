// One transaction this program runs on the open port, as the command line reports
// it, and the pieces and exchange it puts into the stream of line events.
#pragma once

#include <string>
#include <vector>

#include "events/line_events.h"

// One transaction as it happened.
struct TransactionResult {
    std::string time;     // ISO 8601, UTC, milliseconds: 2026-12-08T09:30:01.123Z
    std::string clock;    // the same instant on the local clock: 10:30:01.123
    std::string command;  // the name as given on the command line
    int pump = 0;         // the pump number when it was sent
    std::string sent;     // the message text
    std::vector<unsigned char> frame;
    std::vector<unsigned char> received;  // every byte read after the frame, noise included
    std::vector<long long> receivedUs;    // when each was read (monotonic us)
    std::vector<unsigned char> answer;    // the ACK and the reply, as the RX trace shows them
    bool replyExpected = false;
    bool ack = false;
    bool hasReply = false;  // a whole reply (through ETX and its checksum) came
    std::string reply;      // its text between STX and ETX, from its start as it came
    bool replyCut = false;  // the bytes captured ended before the reply's ETX
    int verdict = 0;        // a TransactionVerdict
    double ms = 0;          // the whole transaction, drain included
    double answerMs = -1;   // from the end of the frame's write to the ACK byte; -1 without one
    double drainMs = 0;     // from the start to the end of the frame's write: the drain, mostly
    long long startUs = 0;  // monotonic: the exchange began, the frame's write was asked
    long long writeUs = -1; // for (-1: none was sent), returned, and the exchange ended
    long long sentUs = 0;
    long long endUs = 0;
};

// Sends `text` as one transaction (reply flag `reply`) on the open port; `pump` is
// the pump number the text was made for, as the result reports it.
TransactionResult RunOneTransaction(const std::string& command, const std::string& text, int reply, int pump);
// The reply's text as it came on the line, out of the bytes read after the frame:
// after the first ACK (and an STX) up to the ETX. `cut` when the bytes end first.
void ReplyOnTheLine(const std::vector<unsigned char>& received, std::string& text, bool& cut);

// The transaction's pieces on line 0 (the frame out, then what came back cut as a
// listener cuts it), then its exchange, then Settled. `round` and `perPump` are
// check's.
void PublishTransaction(LineStream& stream, const TransactionResult& result, int round = 0, bool perPump = true);
// RunOneTransaction, published.
TransactionResult SendThrough(LineStream& stream, const std::string& command, const std::string& text, int reply,
                              int pump, int round = 0, bool perPump = true);
