#include "outputs/text_output.h"

#include <cstring>

#include "events/trace_text.h"
#include "events/verdicts.h"
#include "link/frame.h"
#include "link/frame_splitter.h"

namespace {

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void AddTrace(std::string& out, const char* heading, const std::vector<unsigned char>& bytes) {
    TraceLines lines;
    FormatTrace(bytes.data(), static_cast<int>(bytes.size()), lines);
    out += std::string(heading) + lines.line[0] + "\n";
    const std::string indent(std::strlen(heading), ' ');
    for (int i = 1; i < TRACE_LINE_COUNT && lines.line[i][0] != '\0'; ++i) out += indent + lines.line[i] + "\n";
}

}  // namespace

std::string TransactionText(const TransactionResult& r) {
    std::string out = r.clock + "  " + r.command + "  pump " + std::to_string(r.pump) + "\n";
    AddTrace(out, TraceTxHeading, r.frame);
    AddTrace(out, TraceRxHeading, r.answer);
    out += VerdictWords(r.verdict, r.replyExpected);
    out += Fixed(r.ms, 1).insert(0, "  ") + " ms";
    if (r.answerMs >= 0) out += " (ACK " + Fixed(r.answerMs, 2) + " ms after the frame)";
    return out + "\n\n";
}

void PrintTransaction(std::FILE* out, const TransactionResult& r) { std::fputs(TransactionText(r).c_str(), out); }

std::string PieceText(const LinePiece& piece, const LineClock& clock, bool tap) {
    std::string line = clock.Local(piece.firstUs) + "  ";
    if (tap) line += piece.dir == TAP_HOST ? "host >  " : "< ctrl  ";
    std::string gap = piece.gapMs < 0 ? "-" : "+" + Fixed(piece.gapMs, 1) + " ms";
    char column[24];
    std::snprintf(column, sizeof column, "%12s  ", gap.c_str());
    line += column;
    std::string trace = TraceText(piece.bytes.data(), piece.bytes.size());
    switch (piece.kind) {
        case SPLIT_ACK: line += "ACK"; break;
        case SPLIT_FRAME: {
            char verdict[32];
            std::snprintf(verdict, sizeof verdict, "%-18s ", piece.valid ? TraceChecksumOk : TraceChecksumError);
            line += std::string("frame  ") + verdict + trace;
            break;
        }
        case SPLIT_BROKEN: line += "incomplete frame  " + trace; break;
        default: line += "stray  " + trace; break;
    }
    return line;
}

std::string ExchangeText(const TapExchange& exchange, const LineClock& clock) {
    std::string line = clock.Local(exchange.firstUs) + "  exchange  " + VerdictName(exchange.verdict) + "  ";
    if (exchange.hasRequest) {
        line += TraceText(exchange.request) + (exchange.requestValid ? std::string() : std::string(" ") + TraceChecksumError) + "  " +
                ExchangeName(exchange);
    }
    if (exchange.ackMs >= 0) line += "  ACK " + Fixed(exchange.ackMs, 1) + " ms";
    if (exchange.hasReply) {
        line += std::string(exchange.hasRequest ? "  reply " : "reply ") +
                (exchange.replyMs >= 0 ? Fixed(exchange.replyMs, 1) + " ms " : "") +
                (exchange.replyValid ? TraceChecksumOk : TraceChecksumError) + " " + TraceText(exchange.reply);
    } else if (exchange.verdict == TAP_INCOMPLETE && exchange.replyMs >= 0) {
        line += "  reply cut off after " + Fixed(exchange.replyMs, 1) + " ms";
    }
    return line;
}

void TextOutput::Piece(const LinePiece& piece) {
    if (form_ == FORM_SENT) return;
    std::fprintf(out_, "%s\n", PieceText(piece, clock_, form_ == FORM_TAP).c_str());
    std::fflush(out_);
}

void TextOutput::Exchange(const ExchangeEvent& exchange) {
    if (form_ == FORM_SENT && exchange.sent != nullptr) {
        PrintTransaction(out_, *exchange.sent);
    } else if (form_ == FORM_TAP && exchange.heard != nullptr) {
        std::fprintf(out_, "%s\n", ExchangeText(*exchange.heard, clock_).c_str());
    } else {
        return;
    }
    std::fflush(out_);
}
