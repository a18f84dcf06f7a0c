#include "events/analyzer.h"

#include <climits>

#include "link/frame_splitter.h"
#include "link/transaction.h"

namespace {

// One receive window, as the console counts it.
const long long WINDOW_US = static_cast<long long>(RECEIVE_WINDOW_TICKS) * TICK_MS * 1000;

std::string FrameText(const LinePiece& piece) {
    SplitPiece split;
    split.kind = piece.kind;
    split.valid = piece.valid ? 1 : 0;
    const size_t room = SPLIT_BYTES;
    split.length = static_cast<int>(piece.bytes.size() < room ? piece.bytes.size() : room);
    for (int i = 0; i < split.length; ++i) split.bytes[i] = piece.bytes[static_cast<size_t>(i)];
    char text[SPLIT_BYTES];
    int n = SplitFrameText(split, text, sizeof text);
    return std::string(text, static_cast<size_t>(n));
}

double Ms(long long us) { return static_cast<double>(us) / 1000.0; }

}  // namespace

TapAnalyzer::TapAnalyzer(const CommandNames& names) : names_(names) {}

long long TapAnalyzer::Deadline() const { return stage_ == IDLE ? -1 : lastCtrlUs_ + WINDOW_US; }

void TapAnalyzer::Close(int verdict, std::vector<TapExchange>& out) {
    open_.verdict = verdict;
    open_.endUs = lastCtrlUs_;
    open_.replyExpected = replyKnown_ == 1 || open_.hasReply;
    out.push_back(open_);
    open_ = TapExchange();
    stage_ = IDLE;
    replyKnown_ = -1;
}

void TapAnalyzer::Advance(long long nowUs, std::vector<TapExchange>& out) {
    if (stage_ == IDLE || nowUs < Deadline()) return;
    if (!open_.requestValid) {
        Close(TAP_CHECKSUM_ERROR, out);
    } else if (stage_ == AWAIT_ACK) {
        Close(TAP_NO_ACK, out);
    } else {
        // The ACK came and then a silent window: the console, waiting for a reply,
        // calls that incomplete; a request known to want none (or not known) is done.
        Close(replyKnown_ == 1 ? TAP_INCOMPLETE : TAP_OK, out);
    }
}

void TapAnalyzer::LineActive(int dir, long long byteUs) {
    if (dir == TAP_CTRL && stage_ != IDLE && byteUs > lastCtrlUs_) lastCtrlUs_ = byteUs;
}

void TapAnalyzer::Finish(std::vector<TapExchange>& out) { Advance(LLONG_MAX, out); }

void TapAnalyzer::Feed(const LinePiece& piece, std::vector<TapExchange>& out) {
    Advance(piece.firstUs, out);
    if (piece.dir == TAP_HOST) {
        if (piece.kind != SPLIT_FRAME) return;  // host noise is a piece, not a request
        if (stage_ != IDLE) Close(TAP_OVERLAP, out);
        open_.firstUs = piece.firstUs;
        open_.requestLastUs = piece.lastUs;
        open_.hasRequest = true;
        open_.request = FrameText(piece);
        open_.requestValid = piece.valid;
        const CommandName* name = names_.Find(open_.request);
        if (name != nullptr) {
            open_.command = name->path;
            open_.pump = name->pump;
            replyKnown_ = name->reply;
        }
        lastCtrlUs_ = piece.lastUs;
        stage_ = AWAIT_ACK;
        return;
    }

    if (stage_ == IDLE) {
        if (piece.kind != SPLIT_FRAME) return;
        TapExchange lone;
        lone.firstUs = piece.firstUs;
        lone.hasReply = true;
        lone.reply = FrameText(piece);
        lone.replyValid = piece.valid;
        lone.answer = piece.bytes;
        lone.endUs = piece.lastUs;
        lone.command = "";
        lone.verdict = TAP_UNANSWERED_REPLY;
        out.push_back(lone);
        return;
    }
    open_.answer.insert(open_.answer.end(), piece.bytes.begin(), piece.bytes.end());
    lastCtrlUs_ = piece.lastUs;
    if (stage_ == AWAIT_ACK) {
        // The console passes over anything before the ACK.
        if (piece.kind != SPLIT_ACK) return;
        open_.ackMs = Ms(piece.firstUs - open_.requestLastUs);
        if (replyKnown_ == 0) {
            Close(open_.requestValid ? TAP_OK : TAP_CHECKSUM_ERROR, out);
        } else {
            stage_ = AWAIT_REPLY;
        }
        return;
    }
    if (piece.kind == SPLIT_FRAME) {
        open_.hasReply = true;
        open_.reply = FrameText(piece);
        open_.replyValid = piece.valid;
        open_.replyMs = Ms(piece.firstUs - open_.requestLastUs);
        Close(piece.valid && open_.requestValid ? TAP_OK : TAP_CHECKSUM_ERROR, out);
    } else if (piece.kind == SPLIT_BROKEN) {
        open_.replyMs = Ms(piece.firstUs - open_.requestLastUs);
        Close(open_.requestValid ? TAP_INCOMPLETE : TAP_CHECKSUM_ERROR, out);
    }
}

void TapSummary::Add(const TapExchange& exchange) {
    ++exchanges;
    ++perVerdict[exchange.verdict];
    if (exchange.hasRequest) ++perCommand[exchange.command];
    if (exchange.ackMs >= 0) ackMs.push_back(exchange.ackMs);
}

void TapSummary::AddPiece(const LinePiece& piece) {
    if (piece.kind != SPLIT_STRAY) return;
    if (piece.dir == TAP_HOST) ++strayHost;
    else ++strayCtrl;
}

std::string ExchangeName(const TapExchange& exchange) {
    if (!exchange.hasRequest) return "no request";
    if (exchange.pump == 0) return exchange.command;
    return exchange.command + ", pump " + std::to_string(exchange.pump);
}
