// Status poll loop, measured against an in-test controller on a pseudo-terminal:
//   1. the time of one "FE" exchange, run directly;
//   2. with the loop on, the period between status requests as the controller
//      sees them, next to the pause plus that exchange time;
//   3. with the loop off, the CPU time the process uses (tick and poll threads
//      running, nothing sent), and the same with the tick thread alone.
// Usage: poll_bench [seconds per phase, default 10]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "commands/settings.h"
#include "console/poll.h"
#include "link/transaction.h"
#include "port/port.h"
#include "tests/support/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Bytes;

double MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double CpuSeconds() {
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return -1.0;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Stats {
    size_t n = 0;
    double mean = 0, min = 0, max = 0, sd = 0;
};

Stats Summarise(const std::vector<double>& v) {
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    s.min = *std::min_element(v.begin(), v.end());
    s.max = *std::max_element(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(v.size());
    double sq = 0;
    for (double x : v) sq += (x - s.mean) * (x - s.mean);
    s.sd = v.size() > 1 ? std::sqrt(sq / static_cast<double>(v.size() - 1)) : 0.0;
    return s;
}

void Print(const char* what, const Stats& s) {
    std::printf("%-34s n=%-4zu mean=%7.1f ms  min=%7.1f  max=%7.1f  sd=%5.1f\n", what, s.n, s.mean, s.min, s.max,
                s.sd);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds <= 0) seconds = 10;

    testsupport::TempHome home;
    testsupport::PtyPeer peer;
    if (!peer.ok()) {
        std::fprintf(stderr, "poll_bench: no pseudo-terminal\n");
        return 1;
    }
    home.LinkCom(1, peer.slavePath());

    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    const Bytes reply = [] {
        Bytes ack(1, ACK);
        Bytes frame = testsupport::Frame("F01 0 IDLE 000000");
        ack.insert(ack.end(), frame.begin(), frame.end());
        return ack;
    }();
    peer.StartResponder([&](const Bytes&) {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(Clock::now());
        return reply;
    });

    if (StartTickThread() != 0) return 1;
    PortRequest(0, PORT_INIT, nullptr);
    if (OpenConfiguredPort() != PORT_OK) {
        std::fprintf(stderr, "poll_bench: the port did not open\n");
        return 1;
    }

    // 1. One exchange, run directly.
    std::vector<double> exchange;
    for (int i = 0; i < 20; ++i) {
        TransactionGuard guard;
        std::memcpy(MessageBuffer, "FE", 3);
        replyExpected = 1;
        Clock::time_point start = Clock::now();
        RunTransaction();
        exchange.push_back(MsBetween(start, Clock::now()));
    }
    Stats tx = Summarise(exchange);
    std::printf("poll_bench: %d s per phase, pause %d ms, receive window %d ticks of %d ms\n", seconds,
                POLL_PAUSE_MS, RECEIVE_WINDOW_TICKS, TICK_MS);
    Print("FE exchange (drain + send + reply)", tx);

    // 2. The loop on.
    {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.clear();
    }
    if (StartPollThread() != 0) return 1;
    double cpuOn0 = CpuSeconds();
    Clock::time_point on0 = Clock::now();
    looping = 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    looping = 0;
    double cpuOn = CpuSeconds() - cpuOn0;
    double wallOn = MsBetween(on0, Clock::now()) / 1000.0;
    std::vector<Clock::time_point> seen;
    {
        std::lock_guard<std::mutex> lock(mutex);
        seen = arrivals;
    }
    std::vector<double> periods;
    for (size_t i = 1; i < seen.size(); ++i) periods.push_back(MsBetween(seen[i - 1], seen[i]));
    Stats period = Summarise(periods);
    Print("poll period (controller side)", period);
    std::printf("%-34s %7.1f ms  (measured - expected: %+.1f ms)\n", "pause + mean exchange",
                POLL_PAUSE_MS + tx.mean, period.mean - (POLL_PAUSE_MS + tx.mean));

    // 3. The loop off: the controller is stopped too, so only the console's threads count.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * POLL_PAUSE_MS));
    peer.StopResponder();
    double cpu0 = CpuSeconds();
    Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpuIdle = CpuSeconds() - cpu0;
    double wallIdle = MsBetween(t0, Clock::now()) / 1000.0;

    Clock::time_point stopStart = Clock::now();
    int stopped = StopPollThread();
    double stopMs = MsBetween(stopStart, Clock::now());

    cpu0 = CpuSeconds();
    t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpuTick = CpuSeconds() - cpu0;
    double wallTick = MsBetween(t0, Clock::now()) / 1000.0;

    std::printf("%-34s %.3f s CPU in %.1f s (%.1f%% of one core)\n",
                "loop on (controller included)", cpuOn, wallOn, 100.0 * cpuOn / wallOn);
    std::printf("%-34s %.3f s CPU in %.1f s (%.3f%%)\n", "loop off: tick + idle poll thread", cpuIdle, wallIdle,
                100.0 * cpuIdle / wallIdle);
    std::printf("%-34s %.3f s CPU in %.1f s (%.3f%%)\n", "tick thread alone", cpuTick, wallTick,
                100.0 * cpuTick / wallTick);
    std::printf("%-34s %.1f ms (result %d)\n", "stopping the idle poll thread", stopMs, stopped);

    StopTickThread();
    PortRequest(openPortId.load(), PORT_FORGET, nullptr);
    return 0;
}
