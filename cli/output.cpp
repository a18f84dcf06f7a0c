// How a transaction is shown: JSON Lines for machines, the panel's trace lines for
// people.
#include <cmath>
#include <cstring>

#include "cli/cli.h"
#include "cli/json_line.h"
#include "link/frame.h"
#include "link/transaction.h"

namespace {

void PrintTrace(std::FILE* out, const char* heading, const std::vector<unsigned char>& bytes) {
    TraceLines lines;
    FormatTrace(bytes.data(), static_cast<int>(bytes.size()), lines);
    std::fprintf(out, "%s%s\n", heading, lines.line[0]);
    size_t indent = std::strlen(heading);
    for (int i = 1; i < TRACE_LINE_COUNT && lines.line[i][0] != '\0'; ++i) {
        std::fprintf(out, "%*s%s\n", static_cast<int>(indent), "", lines.line[i]);
    }
}

}  // namespace

std::string TraceText(const unsigned char* bytes, size_t count) {
    std::string text;
    char piece[8];
    for (size_t i = 0; i < count; ++i) {
        TracePiece(bytes[i], piece);
        text += piece;
    }
    return text;
}

std::string TraceText(const std::string& text) {
    return TraceText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string JsonText(const unsigned char* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = bytes[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string JsonText(const std::string& text) {
    return JsonText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    if (p <= 0) return sorted.front();
    if (p >= 1) return sorted.back();
    double h = (sorted.size() - 1) * p;
    size_t below = static_cast<size_t>(std::floor(h));
    if (below + 1 >= sorted.size()) return sorted.back();
    return sorted[below] + (h - below) * (sorted[below + 1] - sorted[below]);
}

const char* VerdictName(int verdict) {
    switch (verdict) {
        case VERDICT_OK: return "ok";
        case VERDICT_NO_ACK: return "no-ack";
        case VERDICT_CHECKSUM_ERROR: return "checksum-error";
        case VERDICT_LINE_NEVER_QUIET: return "line-never-quiet";
        case VERDICT_REPLY_WITHOUT_END: return "reply-without-end";
        case VERDICT_STOPPED: return "stopped";
        case VERDICT_OVERLAP: return "overlap";
        case VERDICT_UNANSWERED_REPLY: return "unanswered reply";
        default: return "incomplete";
    }
}

const char* VerdictWords(const TransactionResult& result) {
    switch (result.verdict) {
        case VERDICT_OK: return result.replyExpected ? "reply OK" : "ACK";
        case VERDICT_NO_ACK: return "no ACK";
        case VERDICT_CHECKSUM_ERROR: return "checksum ERROR";
        case VERDICT_LINE_NEVER_QUIET: return "line never quiet";
        case VERDICT_REPLY_WITHOUT_END: return "reply without end";
        case VERDICT_STOPPED: return "stopped";
        default: return "reply incomplete";
    }
}

std::string HexBytes(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

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

void PrintTransaction(std::FILE* out, const TransactionResult& r) {
    std::fprintf(out, "%s  %s  pump %d\n", r.clock.c_str(), r.command.c_str(), r.pump);
    PrintTrace(out, TraceTxHeading, r.frame);
    PrintTrace(out, TraceRxHeading, r.answer);
    if (r.answerMs >= 0) {
        std::fprintf(out, "%s  %.1f ms (ACK %.2f ms after the frame)\n\n", VerdictWords(r), r.ms, r.answerMs);
    } else {
        std::fprintf(out, "%s  %.1f ms\n\n", VerdictWords(r), r.ms);
    }
}
