#include "outputs/report_output.h"

#include "events/exit_status.h"
#include "events/sent_exchange.h"
#include "report/tap_report.h"

void ReportOutput::Exchange(const ExchangeEvent& exchange) {
    if (exchange.sent != nullptr) {
        // One ended by Ctrl+C says nothing about the line: the run ends before it.
        if (exchange.sent->verdict != VERDICT_STOPPED) {
            model_.Add(RecordOfTransaction(*exchange.sent, exchange.round, exchange.perPump));
        }
    } else if (exchange.heard != nullptr) {
        model_.Add(RecordOfExchange(*exchange.heard, clock_));
    }
}

int ReportOutput::Finish(const StreamEnd&) {
    std::fprintf(summary_, "%s\n", ReportVerdictLine(model_, info_).c_str());
    std::string error;
    int status = EXIT_ALL_OK;
    if (WriteReportFile(path_, ReportHtml(model_, info_), error)) {
        std::fprintf(summary_, "report: %s\n", path_.c_str());
    } else {
        std::fprintf(stderr, "zantrox-cli: the report %s: %s\n", path_.c_str(), error.c_str());
        status = EXIT_FAILED;
    }
    std::fflush(summary_);
    return status;
}
