// Serves LinkMetrics fed with a scripted session, until SIGTERM or SIGINT, for the
// scripts that check the endpoint with promtool and a real Prometheus server.
//
//   metrics_feeder ADDRESS PORT_FILE
//
// Writes the port it serves on to PORT_FILE once it listens.
#include <csignal>
#include <cstdio>
#include <string>

#include "cli/verdicts.h"
#include "cli/metrics/link_metrics.h"
#include "link/transaction.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: metrics_feeder ADDRESS PORT_FILE\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before civetweb's threads, so they inherit it

    // A port name that is not UTF-8, as a device path may be.
    LinkMetrics metrics({"host", "ctrl", "/dev/tty\xff\"odd\\"}, "2.1.0");
    // The session the script expects (metrics_e2e.sh checks the same numbers).
    for (int i = 0; i < 5; ++i) metrics.Exchange(7, VERDICT_OK, "Pump/Sale/Read", 0.0003, 0.08);
    for (int i = 0; i < 3; ++i) metrics.Exchange(7, VERDICT_NO_ACK, "Pump/Sale/Read", -1, -1);
    metrics.Exchange(3, VERDICT_CHECKSUM_ERROR, "Pump/Status/Select", 0.017, 0.09);
    metrics.Exchange(0, VERDICT_UNANSWERED_REPLY, "unknown", -1, -1);
    metrics.StrayBytes(1, 12);
    metrics.LineUp(0, true);
    metrics.Reconnect(0);
    metrics.LastByte(0, 1800000000.5);
    metrics.AdapterLatency(0, 0.016);
    metrics.AdapterLatency(1, 0.001);

    std::string error;
    if (!metrics.Start(argv[1], error)) {
        std::fprintf(stderr, "metrics_feeder: %s\n", error.c_str());
        return 1;
    }
    std::FILE* file = std::fopen(argv[2], "w");
    if (file == nullptr) return 1;
    std::fprintf(file, "%d\n", metrics.Port());
    std::fclose(file);
    int signal = 0;
    sigwait(&stop, &signal);
    metrics.Stop();
    return 0;
}
