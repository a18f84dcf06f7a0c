// zantrox-cli as a whole process, against a controller played here on a
// pseudo-terminal that answers every frame at once:
//   1. process start to the frame's first byte on the line, less the drain window
//      the transaction waits before it sends (its own drain_ms);
//   2. `list --json` from start to exit;
//   3. a `send --repeat 40 key:S` status run: the period between requests as the
//      controller sees them, next to 250 ms + the exchange, the console loop's period.
// Usage: cli_bench ZANTROX_CLI [runs, default 10]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/frame.h"

#include "bench/answering_line.h"
#include "bench/piped_child.h"

using benchsupport::Child;
using benchsupport::Line;
using benchsupport::Field;
using benchsupport::NowMs;
using benchsupport::ReadAll;
using benchsupport::Start;
using benchsupport::Wait;

namespace {

void Report(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%-44s no data\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    double median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    std::printf("%-44s min %7.2f  median %7.2f  max %7.2f ms  (n=%zu)\n", what, v.front(), median, v.back(),
                v.size());
}


}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cli_bench ZANTROX_CLI [runs]\n");
        return 2;
    }
    std::string cli = argv[1];
    int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    signal(SIGPIPE, SIG_IGN);

    std::vector<double> startToByte, overhead, drains;
    for (int i = 0; i < runs; ++i) {
        Line line;
        if (!line.Open()) return 1;
        double t0 = NowMs();
        Child child = Start({cli, "send", "--json", "--port", line.slave, "key:S"});
        line.Serve(child.pid, t0 + 5000);
        std::string out = ReadAll(child.out);
        int status = Wait(child.pid);
        close(line.master);
        if (status != 0 || line.frameStarts.empty()) {
            std::fprintf(stderr, "run %d: exit %d\n", i, status);
            continue;
        }
        double drain = Field(out, "drain_ms");
        startToByte.push_back(line.frameStarts[0] - t0);
        drains.push_back(drain);
        overhead.push_back(line.frameStarts[0] - t0 - drain);
    }
    Report("start to the frame's first byte", startToByte);
    Report("  of which the drain window (drain_ms)", drains);
    Report("  start to first byte less the drain", overhead);

    std::vector<double> list;
    for (int i = 0; i < runs; ++i) {
        double t0 = NowMs();
        Child child = Start({cli, "list", "--json"});
        ReadAll(child.out);
        Wait(child.pid);
        list.push_back(NowMs() - t0);
    }
    Report("list --json, start to exit", list);

    Line line;
    if (!line.Open()) return 1;
    Child child = Start({cli, "send", "--json", "--repeat", "40", "--port", line.slave, "key:S"});
    line.Serve(child.pid, NowMs() + 60000);
    std::string out = ReadAll(child.out);
    Wait(child.pid);
    std::vector<double> periods, exchanges;
    for (size_t i = 1; i < line.frameStarts.size(); ++i) periods.push_back(line.frameStarts[i] - line.frameStarts[i - 1]);
    for (size_t at = 0; (at = out.find("\"ms\":", at)) != std::string::npos; ++at) {
        exchanges.push_back(std::atof(out.c_str() + at + 5));
    }
    Report("repeat 40: period between requests", periods);
    Report("repeat 40: one exchange (ms)", exchanges);
    if (!periods.empty() && !exchanges.empty()) {
        double p = 0, e = 0;
        for (double x : periods) p += x;
        for (double x : exchanges) e += x;
        p /= static_cast<double>(periods.size());
        e /= static_cast<double>(exchanges.size());
        std::printf("repeat 40: mean period %.1f ms against 250 + %.1f = %.1f ms (%+.1f %%)\n", p, e, 250 + e,
                    100.0 * (p - (250 + e)) / (250 + e));
    }
    return 0;
}
