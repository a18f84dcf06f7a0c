// Network port benchmark: "FE" transactions against zantrox-sim on its terminal,
// alternately on the terminal itself and over ser2net on loopback (RFC 2217 and
// raw TCP), in blocks of 10 so all three share the machine's state; then how long
// an open to an address that never answers takes to give up.
// Usage: net_bench <path-to-zantrox-sim> [transactions per kind, default 100]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "link/transaction.h"
#include "port/device.h"
#include "port/port.h"
#include "tests/support/ser2net_process.h"
#include "tests/support/sim_process.h"

namespace {

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Kind {
    const char* label;
    std::string name;
    std::vector<double> total, answer, open;
    int failed = 0;
};

bool RunBlock(Kind& kind, int count) {
    PortRequest(0, PORT_INIT, nullptr);
    PortSetDeviceName(1, kind.name.c_str());
    auto t0 = std::chrono::steady_clock::now();
    int opened = PORT_OPEN_FAILED;
    // ser2net lets go of the terminal a moment after the previous connection.
    for (int attempt = 0; attempt < 50 && opened != PORT_OK; ++attempt) {
        opened = OpenConfiguredPort();
        if (opened != PORT_OK) OsSleepMs(20);
    }
    if (opened != PORT_OK) return false;
    kind.open.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    for (int i = 0; i < count; ++i) {
        SendMessageText(1, "FE");
        const TransactionRecord& t = LastTransaction;
        if (t.verdict != VERDICT_OK) {
            ++kind.failed;
            continue;
        }
        kind.total.push_back(static_cast<double>(t.endUs - t.startUs) / 1000.0);
        kind.answer.push_back(static_cast<double>(t.ackUs - t.sentUs) / 1000.0);
    }
    PortRequest(openPortId.load(), PORT_FORGET, nullptr);
    return true;
}

// A listener that accepts nothing, its queue filled by one connection: a connect
// to it hangs like one to an address that does not answer.
double GiveUpMs(int port) {
    std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
    PortRequest(0, PORT_INIT, nullptr);
    PortSetDeviceName(1, url.c_str());
    auto t0 = std::chrono::steady_clock::now();
    int opened = OpenConfiguredPort();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return opened == PORT_OPEN_FAILED && PortLastOpenError() == OPEN_ERROR_NET_TIMED_OUT ? ms : -ms;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: net_bench <zantrox-sim> [transactions per kind]\n");
        return 2;
    }
    int count = argc > 2 ? std::atoi(argv[2]) : 100;
    std::string pty;
    pid_t sim = testsupport::StartSimulatorNoLink(argv[1], pty);
    if (sim < 0) {
        std::fprintf(stderr, "could not start the simulator\n");
        return 1;
    }
    ResetConsoleSettings();
    Settings.comPort = 1;
    Settings.baudRate = 9600;
    StartTickThread();
    // ser2net as installed, then without its wait for more characters.
    for (bool charDelay : {true, false}) {
        testsupport::Ser2net server(pty, charDelay);
        if (!server.up()) {
            std::fprintf(stderr, "ser2net did not start\n");
            StopTickThread();
            kill(sim, SIGTERM);
            return 1;
        }
        // RFC 2217 first: it can tell when ser2net still holds the terminal from
        // the previous connection (and tries again); raw TCP cannot, so it
        // follows the terminal's block, long after.
        Kind kinds[3];
        kinds[0].label = "rfc2217://";
        kinds[0].name = server.Url(true);
        kinds[1].label = "terminal";
        kinds[1].name = pty;
        kinds[2].label = "socket://";
        kinds[2].name = server.Url(false);
        for (int done = 0; done < count; done += 10) {
            for (Kind& kind : kinds) {
                if (!RunBlock(kind, std::min(10, count - done))) {
                    std::fprintf(stderr, "could not open %s\n", kind.name.c_str());
                    StopTickThread();
                    kill(sim, SIGTERM);
                    return 1;
                }
            }
        }
        std::printf("ser2net chardelay %s\n", charDelay ? "on (its default)" : "off");
        std::printf("%-12s %8s %14s %16s %10s %7s\n", "line", "n", "median total", "median answer", "open", "failed");
        for (Kind& kind : kinds) {
            std::printf("%-12s %8zu %11.2f ms %13.3f ms %7.2f ms %7d\n", kind.label, kind.total.size(),
                        Median(kind.total), Median(kind.answer), Median(kind.open), kind.failed);
        }
        std::printf("rfc2217:// - terminal: total %+.2f ms, answer %+.3f ms (medians)\n\n",
                    Median(kinds[0].total) - Median(kinds[1].total), Median(kinds[0].answer) - Median(kinds[1].answer));
    }
    StopTickThread();
    kill(sim, SIGTERM);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), n) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n) != 0 || listen(listener, 0) != 0) {
        std::fprintf(stderr, "no listener\n");
        return 1;
    }
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    std::vector<double> giveUp;
    for (int i = 0; i < 5; ++i) giveUp.push_back(GiveUpMs(ntohs(a.sin_port)));
    std::sort(giveUp.begin(), giveUp.end());
    std::printf("open that never connects, gives up after (5 tries): min %.1f ms, median %.1f ms, max %.1f ms%s\n",
                giveUp.front(), Median(giveUp), giveUp.back(),
                giveUp.front() < 0 ? " (a negative time: not a time-out)" : "");
    close(filler);
    close(listener);
    return 0;
}
