#include "events/sent_exchange.h"

#include <algorithm>

#include "events/clock.h"
#include "events/stamp.h"
#include "commands/settings.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "link/transaction.h"

TransactionResult RunOneTransaction(const std::string& command, const std::string& text, int reply, int pump) {
    TransactionResult result;
    result.command = command;
    result.pump = pump;
    result.time = IsoTimeNow();
    result.clock = LocalClockNow();
    if (SendMessageText(reply, "%s", text.c_str()) != 0) {
        // Cannot happen with the table's texts; said rather than sent cut.
        result.sent = text;
        result.verdict = VERDICT_NO_ACK;
        return result;
    }
    const TransactionRecord& t = LastTransaction;
    result.sent = t.text;
    result.frame.assign(t.frame, t.frame + t.frameLength);
    int captured = t.receivedLength < CAPTURE_BYTES ? t.receivedLength : CAPTURE_BYTES;
    result.received.assign(t.received, t.received + captured);
    result.answer.assign(t.answer, t.answer + t.answerLength);
    result.replyExpected = t.replyWasExpected != 0;
    result.verdict = t.verdict;
    result.ack = t.ackUs >= 0;
    result.ms = static_cast<double>(t.endUs - t.startUs) / 1000.0;
    result.receivedUs.assign(t.receivedUs, t.receivedUs + captured);
    result.drainMs = static_cast<double>(t.sentUs - t.startUs) / 1000.0;
    result.startUs = t.startUs;
    result.writeUs = t.frameLength > 0 ? t.writeUs : -1;
    result.sentUs = t.sentUs;
    result.endUs = t.endUs;
    result.answerMs = t.ackUs >= 0 ? static_cast<double>(t.ackUs - t.sentUs) / 1000.0 : -1;
    if (result.replyExpected && (t.verdict == VERDICT_OK || t.verdict == VERDICT_CHECKSUM_ERROR)) {
        // From the bytes as they came, not the answer: a long reply wraps there.
        result.hasReply = true;
        ReplyOnTheLine(result.received, result.reply, result.replyCut);
    }
    return result;
}

void ReplyOnTheLine(const std::vector<unsigned char>& received, std::string& text, bool& cut) {
    text.clear();
    cut = false;
    size_t i = 0;
    while (i < received.size() && received[i] != ACK) ++i;
    if (i < received.size()) ++i;
    if (i < received.size() && received[i] == STX) ++i;
    for (; i < received.size(); ++i) {
        if (received[i] == ETX) return;
        text += static_cast<char>(received[i]);
    }
    cut = true;
}

void PublishTransaction(LineStream& stream, const TransactionResult& r, int round, bool perPump) {
    ExchangeEvent exchange;
    exchange.verdict = r.verdict;
    exchange.sent = &r;
    exchange.round = round;
    exchange.perPump = perPump;
    exchange.ackMs = r.answerMs;
    exchange.firstUs = exchange.endUs = r.startUs;
    if (!r.frame.empty()) {
        LinePiece frame;
        frame.dir = TAP_HOST;
        frame.kind = SPLIT_FRAME;
        frame.valid = true;
        frame.bytes = r.frame;
        frame.firstUs = r.writeUs;
        frame.lastUs = r.sentUs;
        stream.Piece(frame);
        exchange.firstUs = r.writeUs;
        exchange.endUs = r.sentUs;
    }
    // What came back, cut as a listener on the line would cut it.
    StampedSplitter splitter(TAP_CTRL);
    LinePiece pieces[2];
    bool acked = false;
    auto take = [&](const LinePiece& piece) {
        stream.Piece(piece);
        exchange.endUs = std::max(exchange.endUs, piece.lastUs);
        if (piece.kind == SPLIT_ACK) acked = true;
        if (piece.kind == SPLIT_FRAME && acked && exchange.replyMs < 0) {
            exchange.replyMs = static_cast<double>(piece.firstUs - r.sentUs) / 1000.0;
        }
    };
    for (size_t i = 0; i < r.received.size() && i < r.receivedUs.size(); ++i) {
        int n = splitter.Feed(r.received[i], r.receivedUs[i], pieces);
        for (int k = 0; k < n; ++k) take(pieces[k]);
    }
    if (splitter.Flush(pieces[0]) == 1) take(pieces[0]);
    stream.Exchange(exchange);
    stream.Settled();
}

TransactionResult SendThrough(LineStream& stream, const std::string& command, const std::string& text, int reply,
                              int pump, int round, bool perPump) {
    TransactionResult result = RunOneTransaction(command, text, reply, pump);
    PublishTransaction(stream, result, round, perPump);
    return result;
}
