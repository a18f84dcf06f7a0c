// Link benchmark: a few hundred transactions against zantrox-sim on a
// pseudo-terminal. Prints the measured receive window, where a transaction's
// time goes (drain window, the simulator's answer, the rest), and CPU per
// transaction; then the receive window, a transaction and a stop wait with the
// sleeps made as coarse as a Windows timer's default (16 ms).
// Usage: link_bench <path-to-zantrox-sim> [transactions]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "link/transaction.h"
#include "port/device.h"
#include "tests/support/pty_peer.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// A wrapper around the platform device that timestamps the frame write and the
// first byte that arrives after it.
Clock::time_point wroteAt;
Clock::time_point firstByteAt;
bool awaitingFirstByte = false;

int TimedWrite(DeviceHandle h, const unsigned char* data, int length) {
    int result = PlatformDevice.write(h, data, length);
    wroteAt = Clock::now();
    awaitingFirstByte = true;
    return result;
}

int TimedRead(DeviceHandle h, unsigned char* byte) {
    int got = PlatformDevice.readByte(h, byte);
    if (got == 1 && awaitingFirstByte) {
        firstByteAt = Clock::now();
        awaitingFirstByte = false;
    }
    return got;
}

DeviceOps timedDevice;

double CpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Stats {
    std::vector<double> v;
    void Add(double x) { v.push_back(x); }
    double Mean() const {
        double s = 0;
        for (double x : v) s += x;
        return v.empty() ? 0 : s / static_cast<double>(v.size());
    }
    double Min() const { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }
    double Max() const { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <zantrox-sim> [transactions]\n", argv[0]);
        return 2;
    }
    int count = argc > 2 ? std::atoi(argv[2]) : 300;
    std::string pty;
    pid_t sim = testsupport::StartSimulatorNoLink(argv[1], pty);
    if (sim < 0) {
        std::fprintf(stderr, "could not start the simulator\n");
        return 1;
    }
    testsupport::TempHome home;
    home.LinkCom(1, pty);
    timedDevice = PlatformDevice;
    timedDevice.write = TimedWrite;
    timedDevice.readByte = TimedRead;
    PortUseDevice(&timedDevice);
    StartTickThread();
    PortRequest(0, PORT_INIT, nullptr);
    if (OpenConfiguredPort() != PORT_OK) {
        std::fprintf(stderr, "could not open %s\n", pty.c_str());
        kill(sim, SIGTERM);
        return 1;
    }

    Stats window;
    for (int i = 0; i < 50; ++i) {
        unsigned char b;
        Clock::time_point t0 = Clock::now();
        ReadByteTimed(b);
        window.Add(Ms(t0, Clock::now()));
    }

    struct Kind {
        const char* text;
        int reply;
        Stats total, drain, answer, rest;
    } kinds[] = {{"FE", 1, {}, {}, {}, {}}, {"C01", 0, {}, {}, {}, {}}};
    double cpu0 = CpuSeconds();
    Clock::time_point wall0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        Kind& k = kinds[i % 2];
        TransactionGuard guard;
        std::strcpy(MessageBuffer, k.text);
        replyExpected = static_cast<unsigned char>(k.reply);
        Clock::time_point t0 = Clock::now();
        RunTransaction();
        Clock::time_point t1 = Clock::now();
        k.total.Add(Ms(t0, t1));
        k.drain.Add(Ms(t0, wroteAt));
        k.answer.Add(Ms(wroteAt, firstByteAt));
        k.rest.Add(Ms(firstByteAt, t1));
    }
    double cpu = CpuSeconds() - cpu0;
    double wall = Ms(wall0, Clock::now()) / 1000.0;

    std::printf("receive window (idle line, 50 reads): mean %.1f ms (%.2f ticks), min %.1f, max %.1f\n",
                window.Mean(), window.Mean() / 10, window.Min(), window.Max());
    for (const Kind& k : kinds) {
        int frameBytes = static_cast<int>(std::strlen(k.text)) + 3;
        double wireMs = frameBytes * 10 * 1000.0 / 9600;  // 10 bits a byte at 9600 baud
        std::printf("%-4s R=%d  %zu transactions: total mean %.1f ms (min %.1f, max %.1f)\n", k.text, k.reply,
                    k.total.v.size(), k.total.Mean(), k.total.Min(), k.total.Max());
        std::printf("          drain window %.1f ms, simulator answer %.2f ms, after first reply byte %.2f ms\n",
                    k.drain.Mean(), k.answer.Mean(), k.rest.Mean());
        std::printf("          beyond drain + answer: %.2f ms; a 9600-baud line would add %.1f ms for the frame\n",
                    k.total.Mean() - k.drain.Mean() - k.answer.Mean(), wireMs);
    }
    std::printf("CPU per transaction: %.1f ms (%.1f%% of one core over %.1f s)\n", cpu * 1000 / count,
                100 * cpu / wall, wall);

    // The same with every sleep of the thread shim rounded up to 16 ms, as on
    // Windows at its default timer period: the tick thread keeps time by the
    // clock, and a stop wait is bounded by elapsed time.
    OsSetSleepStepForTest(16);
    Stats coarseWindow;
    for (int i = 0; i < 30; ++i) {
        unsigned char b;
        Clock::time_point t0 = Clock::now();
        ReadByteTimed(b);
        coarseWindow.Add(Ms(t0, Clock::now()));
    }
    Stats coarseFe;
    for (int i = 0; i < 20; ++i) {
        TransactionGuard guard;
        std::strcpy(MessageBuffer, "FE");
        replyExpected = 1;
        Clock::time_point t0 = Clock::now();
        RunTransaction();
        coarseFe.Add(Ms(t0, Clock::now()));
    }
    std::atomic<int> run{1};
    std::atomic<int> done{0};
    Clock::time_point stop0 = Clock::now();
    int stopResult = StopWorker(run, done);  // nobody answers: the wait runs out
    double stopMs = Ms(stop0, Clock::now());
    Clock::time_point pause0 = Clock::now();
    OsSleepMs(250);
    double pauseMs = Ms(pause0, Clock::now());
    OsSetSleepStepForTest(0);
    std::printf("16 ms sleep steps: receive window mean %.1f ms (min %.1f, max %.1f); FE transaction mean %.1f ms\n",
                coarseWindow.Mean(), coarseWindow.Min(), coarseWindow.Max(), coarseFe.Mean());
    std::printf("                   stop wait for a worker that never answers %.0f ms (result %d); a 250 ms sleep %.1f ms\n",
                stopMs, stopResult, pauseMs);

    StopTickThread();
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    return 0;
}
