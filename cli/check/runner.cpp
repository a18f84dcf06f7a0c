// `zantrox-cli check`: the read-only requests of the menu, for every pump asked
// for, round after round; a progress line on stderr and an HTML report at the end.
#include "cli/check/check.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "commands/catalogue.h"
#include "report/report.h"
#include "events/clock.h"
#include "commands/format.h"
#include "outputs/chosen_outputs.h"
#include "outputs/report_output.h"
#include "events/stop.h"
#include "events/sent_exchange.h"
#include "link/transaction.h"
#include "port/device.h"
#include "zantrox_version.h"

#ifdef _WIN32
#include <io.h>
#define ZANTROX_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define ZANTROX_ISATTY(f) isatty(fileno(f))
#endif

namespace {

const int MAX_PUMP = 32;

// Reads a pump number at `pos`: digits only, 1..32.
bool ReadPump(const std::string& text, size_t& pos, int& pump, std::string& error) {
    size_t start = pos;
    long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (value <= 1000) value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos == start) {
        std::string rest = text.substr(start);
        error = rest.empty() ? "a pump number is missing in \"" + text + "\""
                             : "\"" + rest.substr(0, rest.find(',')) + "\" is not a pump number";
        return false;
    }
    if (value < 1 || value > MAX_PUMP) {
        error = "pump " + text.substr(start, pos - start) + " does not exist";
        return false;
    }
    pump = static_cast<int>(value);
    return true;
}

// Progress on stderr: one line rewritten in place on a terminal, else a line at
// each block of the round (the controller-wide requests, then each pump).
class Progress {
public:
    explicit Progress(int total) : total_(total), terminal_(ZANTROX_ISATTY(stderr) != 0) {}

    // `last`: the run is over; said in any case.
    void Show(int round, int rounds, int pump, int done, int failures, bool last = false) {
        std::string line = Format("round %d/%d  %s  %d/%d transactions  %d %s", round, rounds,
                                  pump == 0 ? "controller" : Format("pump %d", pump).c_str(), done, total_, failures,
                                  failures == 1 ? "failure" : "failures");
        if (terminal_) {
            std::fprintf(stderr, "\r%-70s", line.c_str());
            shown_ = true;
        } else if (last || round != lastRound_ || pump != lastPump_) {
            std::fprintf(stderr, "check: %s\n", line.c_str());
        }
        lastRound_ = round;
        lastPump_ = pump;
        std::fflush(stderr);
    }

    // Ends the rewritten line so that what follows starts on its own.
    void Finish() {
        if (terminal_ && shown_) std::fprintf(stderr, "\n");
        shown_ = false;
    }

private:
    int total_;
    bool terminal_;
    bool shown_ = false;
    int lastRound_ = -1;
    int lastPump_ = -1;
};

}  // namespace

bool ParsePumpList(const std::string& text, std::vector<int>& pumps, std::string& error) {
    pumps.clear();
    const std::string allowed = " (give pumps 1..32 as a list and ranges, e.g. 1-4,7)";
    if (text.empty()) {
        error = "no pumps given" + allowed;
        return false;
    }
    size_t pos = 0;
    while (true) {
        int first = 0;
        if (!ReadPump(text, pos, first, error)) {
            error += allowed;
            return false;
        }
        int last = first;
        if (pos < text.size() && text[pos] == '-') {
            ++pos;
            if (!ReadPump(text, pos, last, error)) {
                error += allowed;
                return false;
            }
            if (last < first) {
                error = "the range " + std::to_string(first) + "-" + std::to_string(last) + " runs backwards" + allowed;
                return false;
            }
        }
        for (int p = first; p <= last; ++p) {
            bool seen = false;
            for (int q : pumps) seen = seen || q == p;
            if (!seen) pumps.push_back(p);
        }
        if (pos == text.size()) return true;
        if (text[pos] != ',') {
            error = "\"" + text.substr(pos) + "\" is not understood" + allowed;
            return false;
        }
        ++pos;
    }
}

const std::vector<std::string>& CheckRoundPaths() {
    static const std::vector<std::string> paths = {
        "Pump/SYSTEM_VERSIONS/Standard", "Pump/SYSTEM_VERSIONS/Extended", "Pump/Status/Extended",
        "Pump/Status/Select",            "Pump/ERROR/READ",               "Reader/Status",
    };
    return paths;
}

const std::vector<std::string>& CheckPumpPaths() {
    static const std::vector<std::string> paths = {
        "Pump/Sale/Read",    "Pump/Sale/Extended", "Pump/Prices/READ",  "Pump/Totals/Hose1", "Pump/Totals/Hose2",
        "Pump/Totals/Hose3", "Pump/Totals/Hose4",  "Pump/Totals/Hose5", "Pump/Totals/Hose6", "Pump/Totals/Hose7",
        "Pump/Totals/Hose8", "Reader/Key/Read",    "Reader/Card/Read",
    };
    return paths;
}

std::vector<CheckStep> PlanCheckRound(const std::vector<int>& pumps, const ConsoleSettings& base, std::string& error) {
    std::vector<CheckStep> steps;
    if (pumps.empty()) {
        error = "no pumps";
        return steps;
    }
    // Only plain requests: a confirmed message, a preset or a price series is
    // never a read, whatever its path.
    auto add = [&](const std::string& path, bool perPump, int pump) {
        const CatalogueItem* item = FindCommand(path);
        if (item == nullptr || item->action == nullptr || item->action->kind != ACTION_MESSAGE) {
            error = path + " is not a plain request in the command table";
            return false;
        }
        ConsoleSettings settings = base;
        settings.pumpNumber = pump;
        for (const PlannedMessage& m : PlannedMessages(*item, settings)) {
            steps.push_back({path, perPump, pump, m.text, m.reply});
        }
        return true;
    };
    for (const std::string& path : CheckRoundPaths()) {
        if (!add(path, false, pumps.front())) return {};
    }
    for (int pump : pumps) {
        for (const std::string& path : CheckPumpPaths()) {
            if (!add(path, true, pump)) return {};
        }
    }
    return steps;
}

std::string DefaultReportName() {
    std::tm local = CalendarTime(std::time(nullptr), true);
    char name[64];
    std::strftime(name, sizeof name, "zantrox-check-%Y%m%d-%H%M%S.html", &local);
    return name;
}

int RunCheck(const CheckOptions& options) {
    ConsoleSettings base = {options.line.pumpNumber, options.line.presetAmount, options.line.priceBase, 1,
                            options.line.baudRate};
    std::string error;
    std::vector<CheckStep> round = PlanCheckRound(options.pumps, base, error);
    if (round.empty()) {
        std::fprintf(stderr, "zantrox-cli: check: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    std::string reportPath = options.reportPath.empty() ? DefaultReportName() : options.reportPath;
    if (!ReportTargetUsable(reportPath, error)) {
        std::fprintf(stderr, "zantrox-cli: --report: %s %s; nothing was sent\n", reportPath.c_str(), error.c_str());
        return EXIT_USAGE;
    }
    const CommandNames names(base);
    LineStream stream({options.line.port.empty() ? "COM1" : options.line.port}, LineClock());
    ChosenOutputs outputs(options.line.outputs, options.line.json, FORM_SENT, stream.clock(), &names);
    if (!outputs.Open(stream.lines())) return EXIT_USAGE;

    OpenedPort port;
    int opened = OpenPort(options.line, port);
    if (opened != EXIT_ALL_OK) return opened;
    InstallStopHandler();

    // The verdict goes with the results: stdout, unless that carries JSON.
    ReportOutput report(reportPath, outputs.Summary(), stream.clock());
    // Text output is the progress line and the report; JSON Lines give every transaction.
    if (options.line.json) outputs.AddTerminal(stream);
    stream.Add(report);
    outputs.AddCapture(stream);

    ReportInfo& info = report.info();
    info.version = ZANTROX_VERSION;
    // A device server on the network (named by URL, or what COM K is mapped to):
    // the answer times the page shows include the round trip.
    char url[PORT_NAME_BYTES];
    const bool network = PortNetworkName(port.comPort, url, sizeof url) == 1;
    info.ports = {port.name + (port.device.empty() || port.device == port.name ? "" : " (" + port.device + ")") +
                  (network ? ", a network port: answer times include the round trip" : "")};
    info.baudRate = options.line.baudRate;
    info.presetAmount = options.line.presetAmount;
    info.priceBase = options.line.priceBase;
    info.pumps = options.pumps;
    info.rounds = options.rounds;
    info.intervalMs = options.intervalMs;
    info.plannedTransactions = static_cast<int>(round.size()) * options.rounds;
    info.started = IsoTimeNow();
    auto start = std::chrono::steady_clock::now();

    const ReportModel& model = report.model();
    Progress progress(info.plannedTransactions);
    int lastRound = 0, lastPump = 0;
    for (int r = 1; r <= options.rounds && !StopRequested(); ++r) {
        for (const CheckStep& step : round) {
            if (StopRequested()) break;
            if (model.Transactions() > 0) {
                PauseUnlessStopped(options.intervalMs);
                if (StopRequested()) break;
            }
            lastRound = r;
            lastPump = step.perPump ? step.pump : 0;
            progress.Show(r, options.rounds, lastPump, model.Transactions(), model.Totals().Failed());
            SendThrough(stream, step.path, step.text, step.reply, step.pump, r, step.perPump);
        }
    }
    if (model.Transactions() > 0) {
        progress.Show(lastRound, options.rounds, lastPump, model.Transactions(), model.Totals().Failed(), true);
    }
    progress.Finish();
    ClosePort();

    info.stopped = model.Transactions() < info.plannedTransactions;
    info.ended = IsoTimeNow();
    info.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    StreamEnd end;
    end.stopped = info.stopped;
    int finished = stream.Finish(end);
    return model.Totals().AllOk() && finished == EXIT_ALL_OK ? EXIT_ALL_OK : EXIT_FAILED;
}
