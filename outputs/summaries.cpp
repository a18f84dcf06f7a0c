#include "outputs/summaries.h"

#include <algorithm>

#include "events/exit_status.h"
#include "events/sent_exchange.h"
#include "events/verdicts.h"

namespace {

// `stopped`: how the run was cut short, "" when it was not.
void PrintSendSummary(std::FILE* out, const std::string& label, const Tally& t, const std::vector<double>& ms,
                      const char* stopped) {
    std::fprintf(out, "--- %s statistics%s ---\n", label.c_str(), stopped);
    std::fprintf(out, "%d sent, %d ACKed, %d replies OK, %d checksum errors, %d incomplete, %d no ACK", t.Sent(), t.acked,
                 t.repliesOk, t.Count(VERDICT_CHECKSUM_ERROR), t.Count(VERDICT_INCOMPLETE), t.Count(VERDICT_NO_ACK));
    // Any other way a transaction failed, by its verdict's name.
    for (const auto& f : t.failures) {
        if (f.first != VERDICT_CHECKSUM_ERROR && f.first != VERDICT_INCOMPLETE && f.first != VERDICT_NO_ACK) {
            std::fprintf(out, ", %d %s", f.second, VerdictName(f.first));
        }
    }
    std::fprintf(out, "\n");
    if (!ms.empty()) {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        std::fprintf(out, "time min/median/max = %.1f/%.1f/%.1f ms\n", sorted.front(), Percentile(sorted, 0.5),
                     sorted.back());
    }
}

}  // namespace

void SendSummaryOutput::Exchange(const ExchangeEvent& exchange) {
    // One ended by Ctrl+C is shown, but says nothing about the line.
    const TransactionResult* r = exchange.sent;
    if (r == nullptr || r->verdict == VERDICT_STOPPED) return;
    tally_.Add(r->verdict, r->ack, r->replyExpected, !r->frame.empty());
    ms_.push_back(r->ms);
}

int SendSummaryOutput::Finish(const StreamEnd& end) {
    PrintSendSummary(out_, label_, tally_, ms_, end.stopped ? (end.broken ? ", stopped: an output failed" : ", stopped by Ctrl+C") : "");
    std::fflush(out_);
    return EXIT_ALL_OK;
}

int TapSummaryOutput::Finish(const StreamEnd&) {
    if (blankLine_) std::fprintf(out_, "\n");
    PrintSummary(out_, summary_);
    std::fflush(out_);
    return EXIT_ALL_OK;
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
