// zantrox-cli check against the simulator: how the run's wall time compares with
// its transactions plus its pauses, and how long writing the report takes.
//
//   check_bench <zantrox-cli> <zantrox-sim> [pumps=1-4] [rounds=3] [interval=250]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/report.h"
#include "link/transaction.h"
#include "tests/support/sim_process.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Made-up results of a run, `pumps` x `rounds`, every tenth one failed, fed to a model.
int FillModel(ReportModel& model, int pumps, int rounds) {
    int n = 0;
    ReportRecord record;
    record.time = "2026-12-08T09:30:01.123Z";
    record.request = "I011";
    record.replyExpected = true;
    record.ack = true;
    record.ms = 100.2;
    record.received.assign(40, 'x');
    for (int r = 1; r <= rounds; ++r) {
        for (int i = 0; i < 6 + 13 * pumps; ++i, ++n) {
            record.command = i < 6 ? "Pump/Status/Extended" : "Pump/Totals/Hose" + std::to_string(i % 8 + 1);
            record.pump = i < 6 ? 0 : 1 + (i - 6) / 13;
            record.round = r;
            record.verdict = n % 10 == 9 ? VERDICT_CHECKSUM_ERROR : VERDICT_OK;
            record.answerMs = 0.05 + (n % 37) * 0.01;
            model.Add(record);
        }
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: check_bench <zantrox-cli> <zantrox-sim> [pumps] [rounds] [interval]\n");
        return 2;
    }
    std::string pumps = argc > 3 ? argv[3] : "1-4";
    std::string rounds = argc > 4 ? argv[4] : "3";
    int interval = argc > 5 ? atoi(argv[5]) : 250;

    std::string pty;
    pid_t sim = testsupport::StartSimulatorNoLink(argv[2], pty);
    if (sim <= 0) {
        fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    std::string report = "/tmp/zantrox-check-bench.html";
    std::string command = std::string(argv[1]) + " check --json --port " + pty + " --pumps " + pumps + " --rounds " +
                          rounds + " --interval " + std::to_string(interval) + " --report " + report + " 2>/dev/null";
    auto start = std::chrono::steady_clock::now();
    FILE* out = popen(command.c_str(), "r");
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while (out != nullptr && (got = fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, got);
    int status = out != nullptr ? pclose(out) : -1;
    double wall = SecondsSince(start);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);

    int transactions = 0;
    double exchangeMs = 0;
    size_t from = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', from)) {
        nlohmann::json j = nlohmann::json::parse(text.substr(from, end - from));
        exchangeMs += j["ms"].get<double>();
        ++transactions;
        from = end + 1;
    }
    double pausesMs = transactions > 1 ? (transactions - 1) * static_cast<double>(interval) : 0;
    printf("check --pumps %s --rounds %s --interval %d: exit %d, %d transactions\n", pumps.c_str(), rounds.c_str(),
           interval, WIFEXITED(status) ? WEXITSTATUS(status) : -1, transactions);
    printf("  wall time (process start to exit)   %9.1f ms\n", wall * 1000);
    printf("  transactions (sum of their ms)      %9.1f ms (mean %.1f)\n", exchangeMs,
           transactions > 0 ? exchangeMs / transactions : 0);
    printf("  pauses (%d x %d ms)                %9.1f ms\n", transactions > 1 ? transactions - 1 : 0, interval, pausesMs);
    printf("  beyond transactions + pauses        %9.1f ms (%.2f %%)\n", wall * 1000 - exchangeMs - pausesMs,
           (wall * 1000 - exchangeMs - pausesMs) * 100 / (exchangeMs + pausesMs));

    // The report alone, on made-up runs of growing size: the model's memory, the
    // page, and writing it to a file (beside the old one, then renamed).
    const int sizes[][2] = {{4, 3}, {32, 3}, {32, 20}, {32, 240}};
    for (const auto& size : sizes) {
        ReportModel model;
        auto f0 = std::chrono::steady_clock::now();
        int count = FillModel(model, size[0], size[1]);
        double fillMs = SecondsSince(f0) * 1000;
        ReportInfo info;
        info.version = "bench";
        info.ports = {"COM1"};
        for (int p = 1; p <= size[0]; ++p) info.pumps.push_back(p);
        info.rounds = size[1];
        info.plannedTransactions = count;
        std::vector<double> times, writes;
        size_t bytes = 0;
        for (int i = 0; i < 5; ++i) {
            auto t0 = std::chrono::steady_clock::now();
            std::string html = ReportHtml(model, info);
            times.push_back(SecondsSince(t0) * 1000);
            bytes = html.size();
            std::string error;
            auto w0 = std::chrono::steady_clock::now();
            if (!WriteReportFile(report, html, error)) fprintf(stderr, "writing %s: %s\n", report.c_str(), error.c_str());
            writes.push_back(SecondsSince(w0) * 1000);
        }
        std::sort(times.begin(), times.end());
        std::sort(writes.begin(), writes.end());
        printf("report of %2d pumps x %3d rounds (%6d transactions): model %7.1f KB (filled in %6.1f ms), "
               "page median %7.2f ms, %8zu bytes, file write median %6.2f ms\n",
               size[0], size[1], count, model.BytesHeld() / 1024.0, fillMs, times[2], bytes, writes[2]);
    }
    unlink(report.c_str());
    return 0;
}
