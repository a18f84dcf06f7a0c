// watch: listens without sending and reports what the line carries, frame by
// frame; rides out a device that goes away and comes back.
#include <cstdio>
#include <cstring>

#include "listen/watch.h"
#include "outputs/chosen_outputs.h"
#include "events/stop.h"
#include "events/stamp.h"
#include "commands/settings.h"
#include "link/frame.h"
#include "os/threading.h"
#include "link/transaction.h"
#include "port/port.h"

namespace {

enum {
    SILENCE_US = 100000,        // a receive window: what is pending after it is reported
    LOST_CHECK_US = 200000,     // how often the device is asked whether it is still there
    REOPEN_PAUSE_MS = 500,      // between attempts to open a device that went away
};

void Report(LineStream& stream, LinePiece& piece) {
    piece.dir = TAP_UNKNOWN;  // one line heard as it is: either side
    stream.Piece(piece);
    stream.Settled();
}

}  // namespace

int RunWatch(const PortOptions& options, double durationS) {
    const CommandNames names(options.presetAmount, options.priceBase);
    LineStream stream({options.port.empty() ? "COM1" : options.port}, LineClock());
    ChosenOutputs outputs(options.outputs, options.json, FORM_LINE, stream.clock(), &names);
    if (!outputs.Open(stream.lines())) return EXIT_USAGE;
    OpenedPort port;
    int opened = OpenPort(options, port);
    if (opened != EXIT_ALL_OK) return opened;
    InstallStopHandler();
    // Wireshark shows what a capture interface says on stderr as an error.
    if (!outputs.Quiet()) {
        std::fprintf(stderr, "zantrox-cli: listening on %s at %d baud; Ctrl+C ends\n", PortLabel(port).c_str(),
                     options.baudRate);
    }
    outputs.AddTerminal(stream);
    outputs.AddCapture(stream);
    stream.LineUp(0, true);

    StampedSplitter splitter;
    LinePiece pieces[2];
    long long lastByteUs = OsMonotonicUs();
    long long lastCheckUs = lastByteUs;
    const long long endUs = durationS > 0 ? lastByteUs + static_cast<long long>(durationS * 1e6) : -1;
    while (!StopRequested() && (endUs < 0 || OsMonotonicUs() < endUs)) {
        unsigned char byte = 0;
        PortReadArgs args = {&byte};
        int result = PortRequest(openPortId.load(), PORT_READ_BYTE, &args);
        long long now = OsMonotonicUs();
        if (result == PORT_OK) {
            lastByteUs = now;
            int n = splitter.Feed(byte, now, pieces);
            for (int i = 0; i < n; ++i) Report(stream, pieces[i]);
            if (splitter.StrayDue(now) && splitter.Flush(pieces[0]) == 1) {
                Report(stream, pieces[0]);
            }
            continue;
        }
        if (now - lastByteUs >= SILENCE_US && splitter.Flush(pieces[0]) == 1) {
            Report(stream, pieces[0]);
        }
        if (now - lastCheckUs >= LOST_CHECK_US) {
            lastCheckUs = now;
            if (PortDeviceLost(openPortId.load())) {
                if (splitter.Flush(pieces[0]) == 1) Report(stream, pieces[0]);
                splitter.Reset();
                stream.LineUp(0, false);
                std::fprintf(stderr, "zantrox-cli: %s has gone away; waiting for it to come back\n",
                             PortLabel(port).c_str());
                // Reopen the same name until it is there again (OpenConfiguredPort
                // closes the dead handle first).
                while (!StopRequested()) {
                    PauseUnlessStopped(REOPEN_PAUSE_MS);
                    if (StopRequested()) break;
                    if (OpenConfiguredPort() == PORT_OK && !PortDeviceLost(openPortId.load())) {
                        stream.LineUp(0, true);
                        std::fprintf(stderr, "zantrox-cli: %s is back\n", port.name.c_str());
                        break;
                    }
                }
                lastByteUs = OsMonotonicUs();
                continue;
            }
        }
        // Nothing came. A Windows read answers at once, so rest a moment rather
        // than spin; listening needs no finer timestamps than a millisecond.
        OsSleepMs(1);
    }
    if (splitter.Flush(pieces[0]) == 1) Report(stream, pieces[0]);
    ClosePort();
    StreamEnd end;
    end.stopped = StopRequested();
    end.endUs = OsMonotonicUs();
    return stream.Finish(end);
}
