// What --metrics holds in memory as a tap runs for months: a LineStream with a
// TapSession and a MetricsOutput (its endpoint serving on a free port), fed made-up
// exchanges (a host frame, the ACK, the reply, 25 ms apart, pumps and commands
// mixed, a few with no ACK); the process's RSS after 1,000 and after EXCHANGES.
//
//   metrics_bench [EXCHANGES]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "outputs/metrics_output.h"
#include "commands/names.h"
#include "listen/session.h"
#include "commands/settings.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "bench/http_get.h"
#include "tests/support/pty_peer.h"

namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

LinePiece Piece(int dir, int kind, std::vector<unsigned char> bytes, long long firstUs) {
    LinePiece p;
    p.dir = dir;
    p.line = dir;
    p.kind = kind;
    p.valid = true;
    p.bytes = std::move(bytes);
    p.firstUs = firstUs;
    // 1.04 ms a byte at 9600 baud.
    p.lastUs = firstUs + static_cast<long long>(p.bytes.size() - 1) * 1042;
    return p;
}

// The exchanges counted at /metrics, summed from one scrape.
double CountedAtEndpoint(int port) {
    std::string all = benchsupport::GetFromLoopback(port, "/metrics");
    double sum = 0;
    for (size_t at = all.find("\nzantrox_exchanges_total{"); at != std::string::npos;
         at = all.find("\nzantrox_exchanges_total{", at + 1)) {
        sum += std::atof(all.c_str() + all.find("} ", at) + 2);
    }
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    const long long total = argc > 1 ? std::atoll(argv[1]) : 1000000;
    ResetConsoleSettings();
    const CommandNames names(Settings);
    LineStream stream({"host", "ctrl"}, LineClock());
    MetricsOutput metrics({"host", "ctrl"}, "bench");
    std::string error;
    if (!metrics.Start("127.0.0.1:0", error)) {
        std::fprintf(stderr, "metrics_bench: %s\n", error.c_str());
        return 1;
    }
    stream.Add(metrics);
    TapSession session(stream, names);

    // Requests and replies made once: the bench measures what the stream keeps,
    // not what it builds.
    std::vector<std::vector<unsigned char>> requests, replies;
    for (int pump = 1; pump <= 32; ++pump) {
        char text[32];
        std::snprintf(text, sizeof text, "B%02dR", pump);
        requests.push_back(testsupport::Frame(text));
        std::snprintf(text, sizeof text, "B%02dR011111001332", pump);
        replies.push_back(testsupport::Frame(text));
        std::snprintf(text, sizeof text, "J%02d1R", pump);
        requests.push_back(testsupport::Frame(text));
        std::snprintf(text, sizeof text, "J%02d1001199001099", pump);
        replies.push_back(testsupport::Frame(text));
    }
    const std::vector<unsigned char> ack{ACK};

    long rss1000 = 0;
    long long t = 1000000;
    const auto start = std::chrono::steady_clock::now();
    for (long long i = 1; i <= total; ++i) {
        const size_t k = static_cast<size_t>(i % static_cast<long long>(requests.size()));
        LinePiece request = Piece(TAP_HOST, SPLIT_FRAME, requests[k], t);
        session.Piece(request);
        if (i % 50 != 0) {  // one in 50 goes unanswered
            session.Piece(Piece(TAP_CTRL, SPLIT_ACK, ack, request.lastUs + 300));
            session.Piece(Piece(TAP_CTRL, SPLIT_FRAME, replies[k], request.lastUs + 2000));
        }
        t += 25000;
        session.Advance(t - 1000);
        if (i == 1000) rss1000 = RssKb();
    }
    session.Finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long rssEnd = RssKb();
    std::printf("RSS after 1,000 exchanges: %ld kB\n", rss1000);
    std::printf("RSS after %lld exchanges: %ld kB (%+ld kB, %+.3f MB)\n", total, rssEnd, rssEnd - rss1000,
                static_cast<double>(rssEnd - rss1000) / 1024.0);
    std::printf("exchanges counted at /metrics: %.0f\n", CountedAtEndpoint(metrics.Port()));
    std::printf("%.2f s for the %lld exchanges: %.2f us an exchange\n", seconds, total, seconds * 1e6 / static_cast<double>(total));
    StreamEnd end;
    stream.Finish(end);
    return 0;
}
