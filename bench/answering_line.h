// Benchmark support: the controller's side of a pseudo-terminal, for the
// benchmarks that time zantrox-cli whole.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/piped_child.h"
#include "link/frame.h"

namespace benchsupport {

// The controller's side: answers each frame with the ACK and a short reply and
// notes when each frame's first byte came.
struct Line {
    int master = -1;
    std::string slave;
    std::vector<double> frameStarts;
    bool inFrame = false;
    bool afterEtx = false;

    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        slave = ptsname(master);
        return true;
    }
    // Serves until `pid` ends or `untilMs` passes.
    void Serve(pid_t pid, double untilMs) {
        unsigned char reply[64];
        int n = BuildFrame("IIIIIIIIIIIIIIIIIIIIIIIIIIIIIIII", reply + 1, sizeof reply - 1);
        reply[0] = ACK;
        while (NowMs() < untilMs) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                if (waitpid(pid, nullptr, WNOHANG) != 0) return;
                continue;
            }
            unsigned char buffer[256];
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0) continue;
            double now = NowMs();
            for (ssize_t i = 0; i < got; ++i) {
                unsigned char b = buffer[i];
                if (!inFrame && b == STX) {
                    inFrame = true;
                    frameStarts.push_back(now);
                } else if (inFrame && afterEtx) {
                    inFrame = afterEtx = false;
                    if (write(master, reply, static_cast<size_t>(n + 1)) < 0) return;
                } else if (inFrame && b == ETX) {
                    afterEtx = true;
                }
            }
        }
    }
};

}  // namespace benchsupport
