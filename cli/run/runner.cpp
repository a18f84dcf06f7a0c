#include "cli/run/runner.h"

#include <chrono>
#include <cstdio>
#include <sstream>

#include "report/report.h"
#include "events/clock.h"
#include "outputs/json_line.h"
#include "outputs/chosen_outputs.h"
#include "outputs/junit_output.h"
#include "outputs/report_output.h"
#include "os/replacing_file.h"
#include "cli/run/judge.h"
#include "cli/run/run_text.h"
#include "events/stop.h"
#include "events/sent_exchange.h"
#include "commands/names.h"
#include "events/verdicts.h"
#include "commands/dispatch.h"
#include "commands/settings.h"
#include "zantrox_version.h"

namespace {

// What the transactions of the step under way came to, taken from the stream.
class StepRecorder : public LineOutput {
public:
    void Begin() {
        attempts.clear();
        trace.clear();
    }
    void Exchange(const ExchangeEvent& exchange) override {
        if (exchange.sent == nullptr) return;
        const TransactionResult& r = *exchange.sent;
        Attempt attempt;
        attempt.verdict = VerdictName(r.verdict);
        if (r.hasReply) attempt.reply = r.reply;
        if (r.answerMs >= 0) attempt.ackMs = r.answerMs;
        attempt.ms = r.ms;
        attempts.push_back(attempt);
        std::istringstream lines(TransactionText(r));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty()) trace.push_back(line);
        }
    }
    std::vector<Attempt> attempts;
    std::vector<std::string> trace;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the step's transactions (or its pause, or its setting) into the stream.
void Perform(const RunStep& step, LineStream& stream) {
    if (step.kind == STEP_WAIT) {
        PauseUnlessStopped(step.waitMs);
        return;
    }
    if (step.IsSettingStep()) {
        // Exactly what the menu item does: the steps after it use the value.
        RunAction(*step.item->action);
        return;
    }
    const int runPump = Settings.pumpNumber;
    if (step.pump > 0) Settings.pumpNumber = step.pump;
    for (int r = 0; r < step.repeat && !StopRequested(); ++r) {
        if (step.kind == STEP_TEXT) {
            SendThrough(stream, step.name, step.text, step.replyExpected ? 1 : 0, Settings.pumpNumber);
            continue;
        }
        // The texts are made when the step's turn comes, with the settings then.
        for (const PlannedMessage& message : PlannedMessages(*step.item, Settings)) {
            if (StopRequested()) break;
            SendThrough(stream, step.command, message.text, message.reply, Settings.pumpNumber);
        }
    }
    Settings.pumpNumber = runPump;
}

void PrintStepJson(const SuiteResult& suite, const StepResult& step) {
    JsonValue j;
    j["kind"] = "step";
    j["suite"] = suite.name;
    j["step"] = step.name;
    j["run"] = step.run;
    j["pass"] = step.run && step.judgement.pass;
    j["stopped"] = step.judgement.stopped;
    j["verdict"] = step.judgement.verdict.empty() ? JsonValue(nullptr) : JsonValue(step.judgement.verdict);
    j["why"] = step.judgement.why;
    j["transactions"] = static_cast<int>(step.attempts.size());
    j["seconds"] = static_cast<double>(static_cast<long long>(step.seconds * 1000 + 0.5)) / 1000;
    PutJsonLine(stdout, j);
}

}  // namespace

int RunRun(const RunOptions& options) {
    std::vector<RunSuite> suites(options.files.size());
    std::vector<std::string> problems;
    for (size_t i = 0; i < options.files.size(); ++i) {
        LoadRunFile(options.files[i], options.overrides, suites[i], problems);
    }
    std::string port;
    int baud = 9600;
    if (problems.empty()) SharedLine(suites, options.overrides, port, baud, problems);
    PortOptions line = options.line;
    line.port = port;
    line.baudRate = baud;
    line.pumpNumber = suites.empty() ? 1 : suites.front().pump;
    std::string error;
    if (problems.empty() && ResolvePortOption(line.port, line.comPort, line.deviceName, error) != 0) {
        problems.push_back(error);
    }
    if (!options.junitPath.empty() && !FileTargetUsable(options.junitPath, error)) {
        problems.push_back("--junit: " + options.junitPath + " " + error);
    }
    if (!options.reportPath.empty() && !ReportTargetUsable(options.reportPath, error)) {
        problems.push_back("--report: " + options.reportPath + " " + error);
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());
        std::fprintf(stderr, "zantrox-cli: nothing was sent\n");
        return EXIT_USAGE;
    }

    const CommandNames names(line.presetAmount, line.priceBase);
    LineStream stream({line.port.empty() ? "COM1" : line.port}, LineClock());
    ChosenOutputs outputs(line.outputs, line.json, FORM_SENT, stream.clock(), &names);
    if (!outputs.Open(stream.lines())) return EXIT_USAGE;
    OpenedPort opened;
    int status = OpenPort(line, opened);
    if (status != EXIT_ALL_OK) return status;
    InstallStopHandler();

    std::vector<SuiteResult> results;
    results.reserve(suites.size());
    StepRecorder recorder;
    JunitOutput junit(options.junitPath, results);
    ReportOutput report(options.reportPath, outputs.Summary(), stream.clock());
    // Text: a line a step. JSON: every transaction in send's shape, and a line a step.
    if (line.json) outputs.AddTerminal(stream);
    stream.Add(recorder);
    if (!options.reportPath.empty()) stream.Add(report);
    if (!options.junitPath.empty()) stream.Add(junit);
    outputs.AddCapture(stream);

    ReportInfo& info = report.info();
    info.title = "Zantrox acceptance run";
    info.version = ZANTROX_VERSION;
    info.ports = {PortLabel(opened)};
    info.baudRate = line.baudRate;
    info.presetAmount = line.presetAmount;
    info.priceBase = line.priceBase;
    info.started = IsoTimeNow();
    const auto runStart = std::chrono::steady_clock::now();
    std::FILE* summary = outputs.Summary();
    for (const RunSuite& suite : suites) {
        // Each file starts from the console's settings, on its own pump.
        const int comPort = Settings.comPort, baudRate = Settings.baudRate;
        ResetConsoleSettings();
        Settings.comPort = comPort;
        Settings.baudRate = baudRate;
        Settings.pumpNumber = suite.pump;
        results.emplace_back();
        SuiteResult& result = results.back();
        result.name = suite.name;
        result.path = suite.path;
        result.started = IsoTimeNow();
        info.caption += (info.caption.empty() ? "" : ", ") + suite.name;
        const auto suiteStart = std::chrono::steady_clock::now();
        for (const RunStep& step : suite.steps) {
            result.steps.emplace_back();
            StepResult& done = result.steps.back();
            done.name = step.name;
            if (StopRequested()) continue;  // not run
            done.run = true;
            recorder.Begin();
            const auto stepStart = std::chrono::steady_clock::now();
            Perform(step, stream);
            done.seconds = SecondsSince(stepStart);
            done.attempts = recorder.attempts;
            done.trace = recorder.trace;
            done.judgement = JudgeStep(step, done.attempts);
            if (line.json) {
                PrintStepJson(result, done);
            } else if (!line.outputs.quiet) {
                std::printf("%s\n", StepLine(done).c_str());
                if (!done.judgement.pass) {
                    for (const std::string& trace : done.trace) std::printf("      %s\n", trace.c_str());
                }
                std::fflush(stdout);
            }
        }
        result.seconds = SecondsSince(suiteStart);
        std::fprintf(summary, "%s\n", SuiteSummaryLine(result).c_str());
        std::fflush(summary);
    }
    ClosePort();
    std::fprintf(summary, "%s\n", RunSummaryLine(results).c_str());

    info.stopped = StopRequested();
    info.ended = IsoTimeNow();
    info.seconds = SecondsSince(runStart);
    info.caption = "acceptance run: " + info.caption;
    for (const SuiteResult& suite : results) {
        for (const StepResult& step : suite.steps) {
            info.steps.push_back({suite.name, step.name, step.run, step.run && step.judgement.pass, step.judgement.why});
        }
    }
    StreamEnd end;
    end.stopped = info.stopped;
    int finished = stream.Finish(end);
    return CountRun(results).AllPassed() && finished == EXIT_ALL_OK ? EXIT_ALL_OK : EXIT_FAILED;
}
