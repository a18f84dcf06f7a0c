// What TLS costs a network port: "FE" transactions against zantrox-sim through
// one ser2net, plain and inside TLS (RFC 2217 and raw TCP), in blocks of 10 taken
// in turn so every kind shares the machine's state; the open (connect, handshake,
// negotiation) and the CPU this process spends per transaction.
// Usage: net_tls_bench <path-to-zantrox-sim> [transactions per kind, default 200]
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "link/transaction.h"
#include "port/device.h"
#include "port/port.h"
#include "tests/support/pty_peer.h"
#include "tests/support/ser2net_process.h"
#include "tests/support/sim_process.h"

namespace {

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double CpuMs() {
    rusage use;
    getrusage(RUSAGE_SELF, &use);
    return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000.0 + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000.0;
}

enum { OPEN_PAUSE_MS = 150 };

struct Kind {
    const char* label;
    std::string name;
    std::vector<double> total, answer, open;
    double cpuMs = 0;
    int failed = 0;
};

bool RunBlock(Kind& kind, int count) {
    PortRequest(0, PORT_INIT, nullptr);
    PortSetDeviceName(1, kind.name.c_str());
    int opened = PORT_OPEN_FAILED;
    double openMs = 0;
    // ser2net lets go of the terminal a moment after the previous connection (a
    // new one meanwhile waits for it, or is refused); the open is timed once it
    // has, and only the open that got the terminal is counted. A raw line cannot
    // tell, so the pause is what keeps its first transactions from going nowhere.
    OsSleepMs(OPEN_PAUSE_MS);
    for (int attempt = 0; attempt < 50 && opened != PORT_OK; ++attempt) {
        auto t0 = std::chrono::steady_clock::now();
        opened = OpenConfiguredPort();
        openMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (opened != PORT_OK) OsSleepMs(20);
    }
    if (opened != PORT_OK || StartTickThread() != 0) return false;
    kind.open.push_back(openMs);
    double cpu0 = CpuMs();
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
    kind.cpuMs += CpuMs() - cpu0;
    // Closed here rather than by the next open, so ser2net has the pause before
    // that open to let go of the terminal.
    StopTickThread();
    PortClose(openPortId.load());
    return true;
}

// ser2net serving `pty` four ways: plain and TLS, RFC 2217 and raw TCP.
struct Server {
    pid_t pid = -1;
    int ports[4] = {};
};

bool StartServer(const std::string& pty, const std::string& certs, Server& server) {
    std::string ssl = "ssl(key=" + certs + "/server.key,cert=" + certs + "/server.crt),";
    const char* kinds[4] = {"telnet(rfc2217),", "", "telnet(rfc2217),", ""};
    std::vector<std::string> args = {"ser2net", "-n", "-u", "-P", certs + "/ser2net.pid"};
    for (int i = 0; i < 4; ++i) {
        int port = testsupport::FreeTcpPort();
        while (std::find(server.ports, server.ports + i, port) != server.ports + i) port = testsupport::FreeTcpPort();
        server.ports[i] = port;
        args.push_back("-Y");
        args.push_back("connection: &c" + std::to_string(i));
        args.push_back("-Y");
        args.push_back(std::string("  accepter: ") + kinds[i] + (i >= 2 ? ssl : "") + "tcp,127.0.0.1," +
                       std::to_string(port));
        args.push_back("-Y");
        args.push_back("  connector: serialdev," + pty + ",9600n81,local");
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    server.pid = fork();
    if (server.pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp("ser2net", argv.data());
        _exit(127);
    }
    return server.pid > 0 && testsupport::WaitUntil(
                                 [&] {
                                     for (int port : server.ports) {
                                         if (!testsupport::TcpListening(port)) return false;
                                     }
                                     return true;
                                 },
                                 10000);
}

int RunAll(const char* simPath, const std::string& certs, int count, bool instant) {
    std::string pty;
    std::vector<std::string> pace;
    if (instant) pace.push_back("--instant");
    pid_t sim = testsupport::StartSimulatorNoLink(simPath, pty, pace);
    if (sim < 0) {
        std::fprintf(stderr, "could not start the simulator\n");
        return 1;
    }
    Server server;
    int status = 0;
    if (StartServer(pty, certs, server)) {
        ResetConsoleSettings();
        Settings.comPort = 1;
        Settings.baudRate = 9600;
        const std::string ca = "?ca=" + certs + "/ca.crt";
        Kind kinds[4];
        kinds[0].label = "rfc2217://";
        kinds[0].name = "rfc2217://127.0.0.1:" + std::to_string(server.ports[0]);
        kinds[1].label = "rfc2217+tls://";
        kinds[1].name = "rfc2217+tls://127.0.0.1:" + std::to_string(server.ports[2]) + ca;
        kinds[2].label = "socket://";
        kinds[2].name = "socket://127.0.0.1:" + std::to_string(server.ports[1]);
        kinds[3].label = "socket+tls://";
        kinds[3].name = "socket+tls://127.0.0.1:" + std::to_string(server.ports[3]) + ca;
        for (int done = 0; done < count && status == 0; done += 10) {
            for (Kind& kind : kinds) {
                if (!RunBlock(kind, std::min(10, count - done))) {
                    std::fprintf(stderr, "could not open %s: error %d\n", kind.name.c_str(), PortLastOpenError());
                    status = 1;
                    break;
                }
            }
        }
        if (status == 0) {
            std::printf("zantrox-sim %s\n", instant ? "--instant (the path alone)" : "at the line's pace");
            std::printf("%-15s %5s %13s %15s %12s %15s %7s\n", "line", "n", "median total", "median answer",
                        "median open", "CPU/transaction", "failed");
            for (Kind& kind : kinds) {
                size_t n = kind.total.size() + static_cast<size_t>(kind.failed);
                std::printf("%-15s %5zu %10.2f ms %12.3f ms %9.2f ms %12.3f ms %7d\n", kind.label, kind.total.size(),
                            Median(kind.total), Median(kind.answer), Median(kind.open),
                            n > 0 ? kind.cpuMs / static_cast<double>(n) : 0.0, kind.failed);
            }
            auto cpu = [](const Kind& k) { return k.cpuMs / static_cast<double>(k.total.size() + k.failed); };
            std::printf("rfc2217+tls:// - rfc2217://: answer %+.3f ms, total %+.3f ms (medians); CPU x%.2f\n",
                        Median(kinds[1].answer) - Median(kinds[0].answer), Median(kinds[1].total) - Median(kinds[0].total),
                        cpu(kinds[1]) / cpu(kinds[0]));
            std::printf("socket+tls:// - socket://:   answer %+.3f ms, total %+.3f ms (medians); CPU x%.2f\n",
                        Median(kinds[3].answer) - Median(kinds[2].answer), Median(kinds[3].total) - Median(kinds[2].total),
                        cpu(kinds[3]) / cpu(kinds[2]));
            std::printf("\n");
        }
    } else {
        std::fprintf(stderr, "ser2net did not start\n");
        status = 1;
    }
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
    }
    kill(sim, SIGTERM);
    return status;
}

// A listener that takes connections into its queue and never answers: the TLS
// handshake waits for a server hello that does not come, until the open's bound.
void GiveUpOnSilence(const std::string& certs) {
    int port = 0;
    int listener = testsupport::ListenOnLoopback(8, &port);
    if (listener < 0) return;
    std::vector<double> giveUp;
    int notTls = 0;
    for (int i = 0; i < 5; ++i) {
        std::string url = "socket+tls://127.0.0.1:" + std::to_string(port) + "?ca=" + certs + "/ca.crt";
        PortRequest(0, PORT_INIT, nullptr);
        PortSetDeviceName(1, url.c_str());
        auto t0 = std::chrono::steady_clock::now();
        int opened = OpenConfiguredPort();
        giveUp.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (opened == PORT_OPEN_FAILED && PortLastOpenError() == OPEN_ERROR_TLS_NOT_TLS) ++notTls;
    }
    close(listener);
    std::sort(giveUp.begin(), giveUp.end());
    std::printf("TLS open to a server that never answers the handshake, gives up after (5 tries, %d said "
                "\"does not answer TLS\"): min %.1f ms, median %.1f ms, max %.1f ms\n",
                notTls, giveUp.front(), Median(giveUp), giveUp.back());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: net_tls_bench <zantrox-sim> [transactions per kind]\n");
        return 2;
    }
    int count = argc > 2 ? std::atoi(argv[2]) : 200;
    char folder[] = "/tmp/zantrox-tls-bench.XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    std::string certs = folder;
    std::string make = "bash '" ZANTROX_SOURCE_DIR "/tests/net/make_tls_certs.sh' '" + certs + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the certificates (openssl)\n");
        return 1;
    }
    int status = 0;
    // The simulator at the line's pace (a controller's answer times), then at the
    // terminal's (what remains is the path: terminal, ser2net, TCP and TLS).
    for (bool instant : {false, true}) {
        if (status == 0) status = RunAll(argv[1], certs, count, instant);
    }
    if (status == 0) GiveUpOnSilence(certs);
    std::error_code ignored;
    std::filesystem::remove_all(certs, ignored);
    return status;
}
