#include "events/stop.h"

#include <csignal>

#include "link/transaction.h"
#include "os/threading.h"

namespace {

extern "C" void OnInterrupt(int signal) {
    // The engine's stop flag: lock-free, so safe here. The transaction in flight
    // ends at its next poll of the port, and the command then ends.
    stopTransactions.store(1);
    // A second Ctrl+C ends the program at once, a last resort.
    std::signal(signal, SIG_DFL);
}

}  // namespace

void InstallStopHandler() {
    stopTransactions.store(0);
    std::signal(SIGINT, OnInterrupt);
    // How a service manager or Wireshark ends a listener: the same orderly end.
    std::signal(SIGTERM, OnInterrupt);
}

bool StopRequested() { return stopTransactions.load() != 0; }

void RequestStop() { stopTransactions.store(1); }

void PauseUnlessStopped(int ms) {
    long long end = OsMonotonicUs() + static_cast<long long>(ms) * 1000;
    while (!StopRequested()) {
        long long left = end - OsMonotonicUs();
        if (left <= 0) return;
        OsSleepMs(left > 10000 ? 10 : static_cast<int>((left + 999) / 1000));
    }
}
