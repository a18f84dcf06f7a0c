#include "outputs/json_output.h"

#include <algorithm>

#include "outputs/json_line.h"
#include "events/trace_text.h"
#include "events/verdicts.h"
#include "link/frame.h"
#include "link/frame_splitter.h"

namespace {

const char* KindName(int kind) {
    switch (kind) {
        case SPLIT_ACK: return "ack";
        case SPLIT_FRAME: return "frame";
        case SPLIT_BROKEN: return "incomplete";
        default: return "stray";
    }
}

std::string Text(const LinePiece& piece) {
    SplitPiece split;
    const size_t room = SPLIT_BYTES;
    split.length = static_cast<int>(std::min(piece.bytes.size(), room));
    std::copy(piece.bytes.begin(), piece.bytes.begin() + split.length, split.bytes);
    char text[SPLIT_BYTES];
    int n = SplitFrameText(split, text, sizeof text);
    return std::string(text, static_cast<size_t>(n));
}

JsonValue MsOrNull(double ms) {
    if (ms < 0) return nullptr;
    return static_cast<double>(static_cast<long long>(ms * 1000.0 + 0.5)) / 1000.0;
}

}  // namespace

std::string TransactionJson(const TransactionResult& r) {
    JsonValue j;
    j["time"] = r.time;
    j["command"] = r.command;
    j["pump"] = r.pump;
    j["sent"] = JsonText(r.sent);
    j["frame"] = HexBytes(r.frame);
    j["received"] = HexBytes(r.received);
    j["ack"] = r.ack;
    j["reply_expected"] = r.replyExpected;
    if (r.hasReply) {
        j["reply"] = JsonText(r.reply);
    } else {
        j["reply"] = nullptr;
    }
    j["reply_cut"] = r.replyCut;
    j["verdict"] = VerdictName(r.verdict);
    j["ms"] = static_cast<double>(static_cast<long long>(r.ms * 10 + 0.5)) / 10;
    j["drain_ms"] = static_cast<double>(static_cast<long long>(r.drainMs * 10 + 0.5)) / 10;
    if (r.answerMs >= 0) {
        j["answer_ms"] = static_cast<double>(static_cast<long long>(r.answerMs * 100 + 0.5)) / 100;
    } else {
        j["answer_ms"] = nullptr;
    }
    return JsonLine(j);
}

std::string PieceJson(const LinePiece& piece, const LineClock& clock, bool tap) {
    JsonValue j;
    j["kind"] = KindName(piece.kind);
    if (tap) j["dir"] = piece.dir == TAP_HOST ? "host" : "ctrl";
    std::string first = clock.Iso(piece.firstUs);
    if (!tap) j["time"] = first;
    j["first"] = first;
    j["last"] = clock.Iso(piece.lastUs);
    j["gap_ms"] = MsOrNull(piece.gapMs);
    j["hex"] = HexBytes(piece.bytes);
    if (piece.kind == SPLIT_FRAME) {
        j["text"] = JsonText(Text(piece));
        j["checksum"] = piece.valid ? "ok" : "error";
    }
    return JsonLine(j);
}

std::string ExchangeJson(const TapExchange& exchange, const LineClock& clock) {
    JsonValue j;
    j["kind"] = "exchange";
    j["first"] = clock.Iso(exchange.firstUs);
    j["request"] = exchange.hasRequest ? JsonValue(JsonText(exchange.request)) : nullptr;
    j["command"] = exchange.hasRequest ? JsonValue(exchange.command) : nullptr;
    j["pump"] = exchange.pump > 0 ? JsonValue(exchange.pump) : nullptr;
    j["ack_ms"] = MsOrNull(exchange.ackMs);
    j["reply"] = exchange.hasReply ? JsonValue(JsonText(exchange.reply)) : nullptr;
    j["reply_ms"] = MsOrNull(exchange.replyMs);
    j["answer_hex"] = HexBytes(exchange.answer);
    j["verdict"] = VerdictName(exchange.verdict);
    return JsonLine(j);
}

void JsonOutput::Piece(const LinePiece& piece) {
    if (form_ == FORM_SENT) return;
    std::fprintf(out_, "%s\n", PieceJson(piece, clock_, form_ == FORM_TAP).c_str());
    std::fflush(out_);
}

void JsonOutput::Exchange(const ExchangeEvent& exchange) {
    if (form_ == FORM_SENT && exchange.sent != nullptr) {
        std::fprintf(out_, "%s\n", TransactionJson(*exchange.sent).c_str());
    } else if (form_ == FORM_TAP && exchange.heard != nullptr) {
        std::fprintf(out_, "%s\n", ExchangeJson(*exchange.heard, clock_).c_str());
    } else {
        return;
    }
    std::fflush(out_);
}
