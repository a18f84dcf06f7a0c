// watch --tap: how close a piece's first-byte time is to the moment the peer wrote
// it, what listening costs in CPU (silent, and at 40 exchanges a second), and what
// 10,000 exchanges held for the report take in memory.
//
//   tap_bench ZANTROX_CLI [EXCHANGES]
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/tap/tap_report.h"
#include "link/frame.h"
#include "tests/support/child.h"
#include "tests/support/pty_peer.h"

using testsupport::Bytes;
using testsupport::Child;
using testsupport::Frame;
using testsupport::PtyPeer;

namespace {

long long RealUs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

long long MonoUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void SleepUntilMono(long long us) {
    timespec at = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
}

// "2026-12-08T09:30:01.123456Z" -> microseconds since 1970.
long long IsoUs(const std::string& text) {
    std::tm parts = {};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts) == nullptr) return 0;
    return static_cast<long long>(timegm(&parts)) * 1000000 + std::atoll(text.c_str() + 20);
}

// CPU seconds (user + system) a process has used.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(all.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
        if (i == 15) break;
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

double Pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

void Memory() {
    TapClock clock;
    ReportModel model;
    long before = RssKb();
    const char* commands[] = {"Pump/Sale/Read", "Pump/Status/Extended", "Pump/Sale/Extended", "Pump/Sale/Clear"};
    for (int i = 0; i < 10000; ++i) {
        TapExchange e;
        e.firstUs = MonoUs() + i * 25000LL;
        e.endUs = e.firstUs + 12000;
        e.hasRequest = true;
        e.request = "B" + std::to_string(10 + i % 32) + "R";
        e.command = commands[i % 4];
        e.pump = 1 + i % 32;
        e.ackMs = 4.2 + (i % 7);
        e.hasReply = true;
        e.reply = "B07R011111001332";
        e.replyValid = true;
        e.answer = Frame(e.reply);
        e.answer.insert(e.answer.begin(), ACK);
        e.replyExpected = true;
        e.verdict = i % 50 == 0 ? TAP_NO_ACK : TAP_OK;
        model.Add(RecordOfExchange(e, clock));
    }
    long after = RssKb();
    std::printf("10,000 exchanges held for the report: model %.2f MB (its own count), RSS grew %.2f MB\n",
                static_cast<double>(model.BytesHeld()) / 1e6, static_cast<double>(after - before) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tap_bench ZANTROX_CLI [EXCHANGES]\n");
        return 2;
    }
    int exchanges = argc > 2 ? std::atoi(argv[2]) : 334;
    char cli[4096];
    if (realpath(argv[1], cli) == nullptr) {
        std::fprintf(stderr, "tap_bench: no program at %s\n", argv[1]);
        return 2;
    }
    Memory();

    char name[] = "/tmp/zantrox-tap-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) return 1;
    std::string dir = name;
    PtyPeer host;
    PtyPeer ctrl;
    Child tap;
    if (!host.ok() || !ctrl.ok() ||
        !tap.Start({cli, "watch", "--tap", host.slavePath(), ctrl.slavePath(), "--json"}, dir, "tap")) {
        return 1;
    }
    if (!testsupport::WaitUntil([&] { return tap.Stderr().find("listening") != std::string::npos; }, 10000)) {
        std::fprintf(stderr, "tap_bench: the tap did not start: %s\n", tap.Stderr().c_str());
        return 1;
    }

    // Silence.
    const int silentS = 5;
    double cpu0 = CpuSeconds(tap.Pid());
    SleepUntilMono(MonoUs() + silentS * 1000000LL);
    double silentCpu = CpuSeconds(tap.Pid()) - cpu0;

    // 40 exchanges a second: request, ACK 5 ms later, reply 5 ms after that.
    const Bytes request = Frame("B07R");
    const Bytes ack{ACK};
    const Bytes reply = Frame("B07R011111001332");
    std::vector<long long> hostWrites, ctrlWrites;
    long long start = MonoUs() + 100000;
    double cpu1 = CpuSeconds(tap.Pid());
    long long wall1 = MonoUs();
    for (int i = 0; i < exchanges; ++i) {
        long long t = start + i * 25000LL;
        SleepUntilMono(t);
        hostWrites.push_back(RealUs());
        host.Write(request);
        SleepUntilMono(t + 5000);
        ctrlWrites.push_back(RealUs());
        ctrl.Write(ack);
        SleepUntilMono(t + 10000);
        ctrlWrites.push_back(RealUs());
        ctrl.Write(reply);
    }
    SleepUntilMono(MonoUs() + 300000);
    double busyCpu = CpuSeconds(tap.Pid()) - cpu1;
    double busyS = static_cast<double>(MonoUs() - wall1) / 1e6;
    tap.Signal(SIGINT);
    tap.Wait(10000);

    std::vector<double> late;
    size_t h = 0, c = 0, judged = 0;
    std::istringstream lines(tap.Stdout());
    std::string line;
    while (std::getline(lines, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded()) continue;
        if (j["kind"] == "exchange") {
            if (j["verdict"] == "ok") ++judged;
            else std::printf("not ok: %s\n", line.c_str());
            continue;
        }
        std::vector<long long>& writes = j["dir"] == "host" ? hostWrites : ctrlWrites;
        size_t& at = j["dir"] == "host" ? h : c;
        if (at >= writes.size()) continue;
        late.push_back(static_cast<double>(IsoUs(j["first"].get<std::string>()) - writes[at++]) / 1000.0);
    }
    std::printf("pieces matched: %zu of %zu; exchanges judged ok: %zu of %d\n", late.size(),
                hostWrites.size() + ctrlWrites.size(), judged, exchanges);
    std::printf("first-byte time minus the peer's write: median %.3f ms, p95 %.3f ms, max %.3f ms, min %.3f ms\n",
                Pct(late, 0.5), Pct(late, 0.95), Pct(late, 1.0), Pct(late, 0.0));
    std::printf("CPU silent: %.3f s over %d s = %.2f %% of a core\n", silentCpu, silentS, 100.0 * silentCpu / silentS);
    std::printf("CPU at 40 exchanges/s: %.3f s over %.1f s = %.2f %% of a core\n", busyCpu, busyS,
                100.0 * busyCpu / busyS);
    std::string command = "rm -rf '" + dir + "'";
    return system(command.c_str()) == 0 ? 0 : 1;
}
