// Line timing of zantrox-sim: a 60-byte reply ("B02EHMS$VLPT") at 2400 and 9600
// baud, timed on the console's side of the terminal from its first byte to its
// last, against the 10 bit-times a byte the line takes; and --instant beside it.
//
// Usage: sim_line_bench <path-to-zantrox-sim> [exchanges per rate]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tests/support/sim_process.h"

namespace {

const char REQUEST[] = "B02EHMS$VLPT";  // its reply frame is 60 bytes
const size_t REPLY_BYTES = 60;

long long NowUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct Timing {
    double ackMs = -1;    // the frame written to the ACK
    double replyMs = -1;  // the reply's first byte to its last
};

// One exchange: the ACK and a 60-byte reply. False when it did not come whole.
bool Exchange(int fd, Timing& t) {
    unsigned char frame[64];
    int n = BuildFrame(REQUEST, frame, sizeof frame);
    long long sent = NowUs();
    if (n < 0 || write(fd, frame, static_cast<size_t>(n)) != n) return false;
    std::vector<long long> arrivals;
    while (arrivals.size() < 1 + REPLY_BYTES) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) return false;
        unsigned char chunk[256];
        ssize_t got = read(fd, chunk, sizeof chunk);
        long long now = NowUs();
        for (ssize_t i = 0; i < got; ++i) arrivals.push_back(now);
    }
    t.ackMs = (arrivals[0] - sent) / 1000.0;
    t.replyMs = (arrivals[REPLY_BYTES] - arrivals[1]) / 1000.0;
    return true;
}

void Run(const char* sim, int baud, speed_t speed, bool instant, int count) {
    std::string pty;
    std::vector<std::string> args = {"--baud", std::to_string(baud)};
    if (instant) args.push_back("--instant");
    pid_t pid = testsupport::StartSimulatorNoLink(sim, pty, args);
    if (pid < 0) {
        fprintf(stderr, "the simulator did not start\n");
        exit(1);
    }
    int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
    termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fprintf(stderr, "cannot open %s\n", pty.c_str());
        exit(1);
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(fd, TCSANOW, &tio);
    std::vector<double> reply;
    std::vector<double> ack;
    for (int i = 0; i < count; ++i) {
        Timing t;
        if (!Exchange(fd, t)) {
            fprintf(stderr, "exchange %d failed\n", i);
            break;
        }
        reply.push_back(t.replyMs);
        ack.push_back(t.ackMs);
        usleep(20000);
    }
    close(fd);
    kill(pid, SIGTERM);
    rusage usage;
    int status = 0;
    wait4(pid, &status, 0, &usage);
    if (reply.empty()) return;
    std::sort(reply.begin(), reply.end());
    std::sort(ack.begin(), ack.end());
    double line = 10.0 * REPLY_BYTES * 1000.0 / baud;
    double median = reply[reply.size() / 2];
    double cpu = usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0 + usage.ru_stime.tv_sec * 1000.0 +
                 usage.ru_stime.tv_usec / 1000.0;
    printf("%5d baud%s  reply first->last: min %.1f  median %.1f  max %.1f ms  (%zu bytes x 10 bits = %.1f ms: "
           "%+.1f %%)  ACK median %.2f ms  simulator CPU %.1f ms/exchange\n",
           baud, instant ? " --instant" : "          ", reply.front(), median, reply.back(), REPLY_BYTES, line,
           (median - line) * 100.0 / line, ack[ack.size() / 2], cpu / static_cast<double>(reply.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <zantrox-sim> [exchanges per rate]\n", argv[0]);
        return 2;
    }
    int count = argc > 2 ? atoi(argv[2]) : 20;
    if (count < 1) count = 20;
    Run(argv[1], 2400, B2400, false, count);
    Run(argv[1], 9600, B9600, false, count);
    Run(argv[1], 9600, B9600, true, count);
    return 0;
}
