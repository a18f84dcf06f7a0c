#include "sim/tap.h"

#include <errno.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "sim/terminal.h"

namespace {

enum { STALE_MS = 1000 };  // unread this long: nobody listens, the bytes are dropped

struct TapSide {
    int master = -1;
    int slave = -1;
    char path[SIM_PATH_BYTES] = {};
    char link[SIM_PATH_BYTES] = {};
    long long lastWriteMs = 0;
};

TapSide sides[2];

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void CloseSide(TapSide& side) {
    if (side.link[0] != '\0') (void)RemoveOwnLink(side.link, side.path);
    if (side.slave >= 0) close(side.slave);
    if (side.master >= 0) close(side.master);
    side = TapSide();
}

}  // namespace

int OpenTaps(const char* hostLink, const char* ctrlLink, char* error, int errorSize) {
    const char* links[2] = {hostLink, ctrlLink};
    for (int i = 0; i < 2; ++i) {
        TapSide& side = sides[i];
        if (OpenTerminal(side.master, side.slave, side.path, sizeof side.path, error, errorSize) != 0) {
            CloseTaps();
            return -1;
        }
        if (CreateLink(links[i], side.path, error, errorSize) != LINK_OK) {
            CloseTaps();
            return -1;
        }
        int n = snprintf(side.link, sizeof side.link, "%s", links[i]);
        if (n <= 0 || n >= static_cast<int>(sizeof side.link)) {
            (void)RemoveOwnLink(links[i], side.path);
            side.link[0] = '\0';
            snprintf(error, static_cast<size_t>(errorSize), "tap link path too long: %s", links[i]);
            CloseTaps();
            return -1;
        }
    }
    return 0;
}

void TapRepeat(int side, const unsigned char* bytes, int length) {
    if (side < 0 || side > 1 || sides[side].master < 0 || length <= 0) return;
    TapSide& tap = sides[side];
    long long now = NowMs();
    // Bytes still waiting from long ago were read by nobody; a listener that opens
    // the tap later must not take them for new traffic.
    int waiting = 0;
    if (now - tap.lastWriteMs > STALE_MS && ioctl(tap.slave, FIONREAD, &waiting) == 0 && waiting > 0) {
        (void)tcflush(tap.slave, TCIFLUSH);
    }
    tap.lastWriteMs = now;
    int done = 0;
    while (done < length) {
        ssize_t n = write(tap.master, bytes + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // full: a tap nobody reads loses bytes, the line does not wait
        done += static_cast<int>(n);
    }
}

void CloseTaps() {
    CloseSide(sides[0]);
    CloseSide(sides[1]);
}
