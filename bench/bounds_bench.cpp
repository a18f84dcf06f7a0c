// Bounds benchmark: how long a transaction takes to give up on a line that never
// goes quiet, and how soon a stop ends one in flight. An in-process peer on a
// pseudo-terminal chatters a byte every few milliseconds.
// Usage: bounds_bench [runs]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "link/transaction.h"
#include "port/port.h"
#include "tests/support/pty_peer.h"

namespace {

using testsupport::Bytes;
using testsupport::PtyPeer;

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    std::printf("%-52s n=%zu  min %.2f  median %.2f  mean %.2f  max %.2f ms\n", what, ms.size(), ms.front(),
                ms[ms.size() / 2], sum / static_cast<double>(ms.size()), ms.back());
}

double RunMs() {
    TransactionGuard guard;
    std::strcpy(MessageBuffer, "FE");
    replyExpected = 1;
    long long start = OsMonotonicUs();
    RunTransaction();
    return static_cast<double>(OsMonotonicUs() - start) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    if (runs < 1) runs = 1;
    PtyPeer peer;
    testsupport::TempHome home;
    if (!peer.ok()) return 1;
    home.LinkCom(1, peer.slavePath());
    PortRequest(0, PORT_INIT, nullptr);
    PortParams params = {9600, 0, 8, 1};
    if (PortRequest(1001, PORT_OPEN, &params) != PORT_OK) return 1;
    openPortId = 1001;
    if (StartTickThread() != 0) return 1;

    std::atomic<bool> stop{false};
    std::atomic<int> periodMs{10};
    std::thread chatter([&] {
        while (!stop) {
            peer.Write(Bytes{'z'});
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs.load()));
        }
    });
    // Whatever the chatter leaves unread is only ever more of it.

    for (int period : {10, 50}) {
        periodMs = period;
        std::vector<double> ms;
        for (int i = 0; i < runs; ++i) ms.push_back(RunMs());
        char what[80];
        std::snprintf(what, sizeof what, "give up on a line chattering every %d ms", period);
        Report(what, ms);
    }

    // A stop at a random moment of the drain: from the store to the return.
    periodMs = 10;
    std::mt19937 random(7);
    std::vector<double> latency;
    for (int i = 0; i < runs * 10; ++i) {
        std::atomic<long long> storedUs{0};
        int delayMs = 20 + static_cast<int>(random() % 1500);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            storedUs = OsMonotonicUs();
            stopTransactions = 1;
        });
        RunMs();
        long long endUs = OsMonotonicUs();
        stopper.join();
        // A busy machine may run the stopper late, after the drain gave up by itself.
        if (endUs >= storedUs.load()) latency.push_back(static_cast<double>(endUs - storedUs.load()) / 1000.0);
        stopTransactions = 0;
    }
    if (!latency.empty()) Report("stop to the end of the transaction", latency);

    stop = true;
    chatter.join();
    StopTickThread();
    PortRequest(1001, PORT_FORGET, nullptr);
    return 0;
}
