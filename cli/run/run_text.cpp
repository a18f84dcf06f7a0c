#include "cli/run/run_text.h"

#include <algorithm>

#include "commands/format.h"

namespace {

// Names and reasons stay on one line whatever bytes they hold.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        out += b < 0x20 || b == 0x7F ? Format("\\x%02X", b) : std::string(1, c);
    }
    return out;
}

std::string Times(const std::vector<Attempt>& attempts) {
    if (attempts.empty()) return "";
    double most = 0;
    bool anyAck = false;
    double mostAck = 0;
    for (const Attempt& a : attempts) {
        most = std::max(most, a.ms);
        if (a.ackMs) {
            mostAck = anyAck ? std::max(mostAck, *a.ackMs) : *a.ackMs;
            anyAck = true;
        }
    }
    if (attempts.size() == 1) {
        return anyAck ? Format("ACK %.2f ms, %.1f ms", mostAck, most) : Format("%.1f ms", most);
    }
    std::string text = Format("%d transactions", static_cast<int>(attempts.size()));
    if (anyAck) text += Format(", ACK at most %.2f ms", mostAck);
    return text + Format(", at most %.1f ms", most);
}

std::string Counts(const RunCounts& c) {
    std::string text = Format("%d passed, %d failed", c.passed, c.failed);
    if (c.stopped > 0) text += Format(", %d stopped", c.stopped);
    if (c.notRun > 0) text += Format(", %d not run", c.notRun);
    return text;
}

}  // namespace

std::string StepLine(const StepResult& step) {
    if (!step.run) return "SKIP  " + OneLine(step.name) + "  not run";
    const Judgement& j = step.judgement;
    std::string line = (j.pass ? "PASS  " : "FAIL  ") + OneLine(step.name);
    if (!j.verdict.empty()) line += "  " + j.verdict;
    std::string times = Times(step.attempts);
    if (!times.empty()) line += "  " + times;
    if (!j.pass) line += "  " + OneLine(j.why);
    return line;
}

std::string SuiteSummaryLine(const SuiteResult& suite) { return OneLine(suite.name) + ": " + Counts(CountSuite(suite)); }

std::string RunSummaryLine(const std::vector<SuiteResult>& suites) {
    return Format("%d file%s: ", static_cast<int>(suites.size()), suites.size() == 1 ? "" : "s") +
           Counts(CountRun(suites));
}
