#include "cli/run/judge.h"

#include "events/trace_text.h"
#include "commands/format.h"

namespace {

// What one transaction did wrong, in words; "" when nothing.
std::string Fault(const RunStep& step, const Attempt& a) {
    if (a.verdict != step.expect) return "expected " + step.expect + ", came " + a.verdict;
    std::string why;
    auto add = [&why](const std::string& text) { why += (why.empty() ? "" : "; ") + text; };
    if (step.reply) {
        if (!a.reply) {
            add("expected a reply matching " + TraceText(step.replyPattern) + ", none came");
        } else {
            bool matched = false;
            try {
                matched = std::regex_match(*a.reply, *step.reply);
            } catch (const std::regex_error& e) {
                // A pattern can run out of room on a long reply; that is no match.
                add(std::string("the reply could not be matched: ") + e.what());
            }
            if (!matched && why.empty()) {
                add("expected a reply matching " + TraceText(step.replyPattern) + ", came " + TraceText(*a.reply));
            }
        }
    }
    if (step.ackWithinMs > 0) {
        if (!a.ackMs) {
            add(Format("expected the ACK within %g ms, none came", step.ackWithinMs));
        } else if (*a.ackMs > step.ackWithinMs) {
            add(Format("expected the ACK within %g ms, it came after %.2f ms", step.ackWithinMs, *a.ackMs));
        }
    }
    if (step.withinMs > 0 && a.ms > step.withinMs) {
        add(Format("expected the whole transaction within %g ms, it took %.1f ms", step.withinMs, a.ms));
    }
    return why;
}

}  // namespace

Judgement JudgeStep(const RunStep& step, const std::vector<Attempt>& attempts) {
    Judgement j;
    if (step.kind == STEP_WAIT || step.IsSettingStep()) return j;
    if (attempts.empty()) {
        j.pass = false;
        j.why = "nothing was sent";
        return j;
    }
    j.verdict = attempts.back().verdict;
    int failures = 0;
    for (size_t i = 0; i < attempts.size(); ++i) {
        std::string fault = Fault(step, attempts[i]);
        if (fault.empty()) continue;
        if (++failures > 1) continue;
        j.pass = false;
        j.verdict = attempts[i].verdict;
        j.stopped = attempts[i].verdict == "stopped";
        j.why = attempts.size() > 1 ? Format("transaction %d of %d: ", static_cast<int>(i + 1), static_cast<int>(attempts.size())) + fault : fault;
    }
    if (failures > 1) j.why += Format(" (%d of %d failed)", failures, static_cast<int>(attempts.size()));
    return j;
}
