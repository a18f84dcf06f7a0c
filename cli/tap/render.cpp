#include "cli/tap/render.h"

#include <algorithm>
#include <chrono>

#include "cli/cli.h"
#include "cli/json_line.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "os/threading.h"

namespace {

const char* KindName(int kind) {
    switch (kind) {
        case SPLIT_ACK: return "ack";
        case SPLIT_FRAME: return "frame";
        case SPLIT_BROKEN: return "incomplete";
        default: return "stray";
    }
}

std::string Text(const TapPiece& piece) {
    SplitPiece split;
    const size_t room = SPLIT_BYTES;
    split.length = static_cast<int>(std::min(piece.bytes.size(), room));
    std::copy(piece.bytes.begin(), piece.bytes.begin() + split.length, split.bytes);
    char text[SPLIT_BYTES];
    int n = SplitFrameText(split, text, sizeof text);
    return std::string(text, static_cast<size_t>(n));
}

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Milliseconds to the microsecond, as a JSON number (null when absent).
JsonValue MsOrNull(double ms) {
    if (ms < 0) return nullptr;
    return static_cast<double>(static_cast<long long>(ms * 1000.0 + 0.5)) / 1000.0;
}

}  // namespace

TapClock::TapClock() {
    using namespace std::chrono;
    long long wall = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    offsetUs_ = wall - OsMonotonicUs();
}

std::string TapClock::Iso(long long monotonicUs) const {
    return ClockAt(monotonicUs + offsetUs_, false, "%Y-%m-%dT%H:%M:%S", 6, "Z");
}

std::string TapClock::Local(long long monotonicUs) const {
    return ClockAt(monotonicUs + offsetUs_, true, "%H:%M:%S", 3, "");
}

std::string PieceText(const TapPiece& piece, const TapClock& clock, bool tap) {
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

std::string PieceJson(const TapPiece& piece, const TapClock& clock, bool tap) {
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

std::string ExchangeName(const TapExchange& exchange) {
    if (!exchange.hasRequest) return "no request";
    if (exchange.pump == 0) return exchange.command;
    return exchange.command + ", pump " + std::to_string(exchange.pump);
}

std::string ExchangeText(const TapExchange& exchange, const TapClock& clock) {
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

std::string ExchangeJson(const TapExchange& exchange, const TapClock& clock) {
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

void PrintSummary(std::FILE* out, const TapSummary& summary) {
    std::fprintf(out, "%d exchange%s:", summary.exchanges, summary.exchanges == 1 ? "" : "s");
    const char* separator = " ";
    for (const auto& entry : summary.perVerdict) {
        std::fprintf(out, "%s%s %d", separator, VerdictName(entry.first), entry.second);
        separator = ", ";
    }
    std::fprintf(out, "%s\nstray bytes: host %d, ctrl %d\n", summary.exchanges == 0 ? " none" : "",
                 summary.strayHost, summary.strayCtrl);
    for (const auto& entry : summary.perCommand) {
        std::fprintf(out, "  %6d  %s\n", entry.second, entry.first.c_str());
    }
    if (summary.ackMs.empty()) return;
    std::vector<double> sorted = summary.ackMs;
    std::sort(sorted.begin(), sorted.end());
    std::fprintf(out, "answer latency (request's end to ACK): min %.1f ms, median %.1f ms, p95 %.1f ms, max %.1f ms\n",
                 sorted.front(), Percentile(sorted, 0.5), Percentile(sorted, 0.95), sorted.back());
}
