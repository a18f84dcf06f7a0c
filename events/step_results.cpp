#include "events/step_results.h"

RunCounts CountSuite(const SuiteResult& suite) {
    RunCounts c;
    for (const StepResult& step : suite.steps) {
        if (!step.run) {
            ++c.notRun;
        } else if (step.judgement.pass) {
            ++c.passed;
        } else if (step.judgement.stopped) {
            ++c.stopped;
        } else {
            ++c.failed;
        }
    }
    return c;
}

RunCounts CountRun(const std::vector<SuiteResult>& suites) {
    RunCounts total;
    for (const SuiteResult& suite : suites) {
        RunCounts c = CountSuite(suite);
        total.passed += c.passed;
        total.failed += c.failed;
        total.stopped += c.stopped;
        total.notRun += c.notRun;
    }
    return total;
}
