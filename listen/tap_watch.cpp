// The tap's listening loop: one wait on both lines, each byte stamped when the
// wait hands it over, pieces cut per line, exchanges judged across both. A line
// whose adapter goes away is reopened in the background while the other carries on.
#include "listen/tap.h"

#include <cstdlib>
#include <vector>

#include "outputs/chosen_outputs.h"
#include "outputs/report_output.h"
#include "outputs/summaries.h"
#include "port/device_facts.h"
#include "events/stop.h"
#include "listen/session.h"
#include "events/stamp.h"
#include "commands/settings.h"
#include "os/threading.h"
#include "link/transaction.h"
#include "port/port.h"
#include "zantrox_version.h"

namespace {

const long long WINDOW_US = static_cast<long long>(RECEIVE_WINDOW_TICKS) * TICK_MS * 1000;
const long long LOST_CHECK_US = 200000;  // how often an open device is asked whether it is still there
const long long REOPEN_US = 500000;      // between attempts to open a device that went away
const int LONGEST_WAIT_MS = 200;         // Ctrl+C and the clock are looked at least this often
const int BYTES_A_ROUND = 4096;          // read in one round of the loop at the most

struct TapLine {
    int dir = TAP_HOST;
    const char* role = "host";
    std::string given;  // the port as given on the command line
    int comPort = 0;
    int portId = 0;
    bool open = false;
    long long nextCheckUs = 0;
    StampedSplitter splitter;
};

PortParams LineParams(int baudRate) { return PortParams{baudRate, 0, 8, 1}; }

int OpenLine(TapLine& line, int baudRate) {
    PortParams params = LineParams(baudRate);
    int result = PortOpenBeside(line.portId, &params);
    if (result != PORT_OK) {
        PortClose(line.portId);
        return result;
    }
    return PORT_OK;
}

// Says why a line cannot be opened, in the words OpenPort uses.
void ExplainFailure(const TapLine& line, int result, int baudRate) {
    const char* name = PortDeviceName(line.comPort);
    std::string device = name != nullptr ? name : "COM" + std::to_string(line.comPort);
    if (result == PORT_OPEN_FAILED) {
        DeviceTree tree;
        const char* home = std::getenv("HOME");
        if (home != nullptr) tree.home = home;
        std::fprintf(stderr, "zantrox-cli: %s line %s: %s\n", line.role, line.given.c_str(),
                     ExplainOpenFailure(PortLastOpenError(), device, tree).c_str());
    } else {
        std::fprintf(stderr, "zantrox-cli: %s line %s: the line settings (%d baud, 8N1) could not be applied\n",
                     line.role, line.given.c_str(), baudRate);
    }
}

// Gives each line a COM slot of its own: a COM number keeps its slot, a device
// path takes a free one.
bool PlaceLines(TapLine lines[2]) {
    std::string deviceNames[2];
    int wanted[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        std::string error;
        if (ResolvePortOption(lines[i].given, wanted[i], deviceNames[i], error) != 0) {
            std::fprintf(stderr, "zantrox-cli: --tap: %s\n", error.c_str());
            return false;
        }
    }
    if (deviceNames[0].empty() && deviceNames[1].empty() && wanted[0] == wanted[1]) {
        std::fprintf(stderr, "zantrox-cli: --tap: the host and controller lines are the same port\n");
        return false;
    }
    PortRequest(0, PORT_INIT, nullptr);
    for (int i = 0; i < 2; ++i) {
        int k = wanted[i];
        if (!deviceNames[i].empty()) {
            // From COM9 down, a slot the other line does not need.
            int other = deviceNames[1 - i].empty() ? wanted[1 - i] : (i == 0 ? -1 : lines[0].comPort);
            for (k = PORT_COUNT; k == other; --k) {
            }
        }
        lines[i].comPort = k;
        lines[i].portId = 1000 + k;
        if (PortSetDeviceName(k, deviceNames[i].c_str()) != 0) {
            std::fprintf(stderr, "zantrox-cli: --tap: the device name is too long\n");
            return false;
        }
    }
    return true;
}

// Reads `line` until a piece is complete, it holds nothing more or `budget` bytes
// are used up, all bytes stamped `now`. Returns whether it may hold more.
bool TakePiece(TapLine& line, long long now, TapSession& session, LinePiece pieces[2], int& budget) {
    while (budget-- > 0) {
        unsigned char byte = 0;
        PortReadArgs args = {&byte};
        if (PortRequest(line.portId, PORT_READ_BYTE, &args) != PORT_OK) {
            line.nextCheckUs = now;  // ready with nothing to read: gone, most likely
            return false;
        }
        int n = line.splitter.Feed(byte, now, pieces);
        for (int p = 0; p < n; ++p) session.Piece(pieces[p]);
        if (line.splitter.Pending()) session.LineActive(line.dir, now);
        int ready = 0;
        if (PortWaitReadable(&line.portId, 1, 0, &ready) <= 0) return false;
        if (n > 0) return true;
    }
    return false;  // the rest waits for the next round
}

}  // namespace

int RunTapWatch(const TapOptions& options) {
    TapLine lines[2];
    lines[0].given = options.hostPort;
    lines[1].dir = TAP_CTRL;
    lines[1].role = "controller";
    lines[1].given = options.ctrlPort;
    lines[0].splitter = StampedSplitter(TAP_HOST);
    lines[1].splitter = StampedSplitter(TAP_CTRL, 1);
    if (!PlaceLines(lines)) return EXIT_USAGE;
    std::string error;
    if (!options.reportPath.empty() && !ReportTargetUsable(options.reportPath, error)) {
        std::fprintf(stderr, "zantrox-cli: --report: %s %s\n", options.reportPath.c_str(), error.c_str());
        return EXIT_USAGE;
    }
    const CommandNames names(options.line.presetAmount, options.line.priceBase);
    LineStream stream({options.hostPort, options.ctrlPort}, LineClock());
    ChosenOutputs outputs(options.line.outputs, options.line.json, FORM_TAP, stream.clock(), &names);
    if (!outputs.Open(stream.lines())) return EXIT_USAGE;
    for (TapLine& line : lines) {
        int result = OpenLine(line, options.line.baudRate);
        if (result != PORT_OK) {
            ExplainFailure(line, result, options.line.baudRate);
            for (TapLine& other : lines) PortClose(other.portId);
            return EXIT_NO_PORT;
        }
        line.open = true;
    }

    // Times are only as good as the adapters hand bytes over.
    DeviceTree tree;
    const char* home = std::getenv("HOME");
    if (home != nullptr) tree.home = home;
    int latencyMs[2] = {-1, -1};
    for (const TapLine& line : lines) {
        const char* name = PortDeviceName(line.comPort);
        std::string file;
        int ms = AdapterLatencyTimerMs(tree, line.comPort, name != nullptr ? name : "", file);
        latencyMs[line.dir] = ms;
        std::string warning = LatencyTimerWarning(line.role, ms, file);
        if (!warning.empty()) std::fprintf(stderr, "zantrox-cli: warning: %s\n", warning.c_str());
    }

    TapSummaryOutput summary(outputs.Summary(), !options.line.json && !options.line.outputs.quiet);
    ReportOutput report(options.reportPath, outputs.Summary(), stream.clock());
    outputs.AddTerminal(stream);
    if (!outputs.Quiet()) stream.Add(summary);
    if (!options.reportPath.empty()) stream.Add(report);
    outputs.AddCapture(stream);
    TapSession session(stream, names);
    for (const TapLine& line : lines) {
        if (latencyMs[line.dir] >= 0) stream.AdapterLatency(line.dir, latencyMs[line.dir] / 1000.0);
        stream.LineUp(line.dir, true);
    }

    InstallStopHandler();
    // Wireshark shows what a capture interface says on stderr as an error.
    if (!outputs.Quiet()) {
        std::fprintf(stderr, "zantrox-cli: listening on host line %s and controller line %s at %d baud, sending nothing; %s\n",
                     lines[0].given.c_str(), lines[1].given.c_str(), options.line.baudRate,
                     options.durationS > 0 ? "ends after --duration or Ctrl+C" : "Ctrl+C ends");
    }

    const long long startUs = OsMonotonicUs();
    ReportInfo& info = report.info();
    info.title = "Zantrox line tap";
    info.caption = "observed on the line, nothing sent";
    info.observed = true;
    info.version = ZANTROX_VERSION;
    info.ports = {"host: " + lines[0].given, "controller: " + lines[1].given};
    info.baudRate = options.line.baudRate;
    info.started = stream.clock().Iso(startUs).substr(0, 23) + "Z";
    const long long endUs = options.durationS > 0 ? startUs + static_cast<long long>(options.durationS * 1e6) : -1;
    const int ids[2] = {lines[0].portId, lines[1].portId};
    LinePiece pieces[2];
    for (TapLine& line : lines) line.nextCheckUs = startUs + LOST_CHECK_US;
    while (!StopRequested()) {
        long long now = OsMonotonicUs();
        if (endUs >= 0 && now >= endUs) break;
        // Sleep until a byte comes or the next thing falls due.
        long long due = now + LONGEST_WAIT_MS * 1000LL;
        if (endUs >= 0 && endUs < due) due = endUs;
        if (session.Deadline() >= 0 && session.Deadline() < due) due = session.Deadline();
        for (TapLine& line : lines) {
            if (line.splitter.Pending() && line.splitter.LastByteUs() + WINDOW_US < due) {
                due = line.splitter.LastByteUs() + WINDOW_US;
            }
            if (line.splitter.StrayDueUs() >= 0 && line.splitter.StrayDueUs() < due) due = line.splitter.StrayDueUs();
            if (line.nextCheckUs < due) due = line.nextCheckUs;
        }
        int waitMs = due > now ? static_cast<int>((due - now + 999) / 1000) : 0;
        int ready[2] = {0, 0};
        (void)PortWaitReadable(ids, 2, waitMs, ready);
        now = OsMonotonicUs();

        // When both lines hold bytes (the listener woke late, or an adapter handed over a
        // block), the wake cannot tell which came first. They are taken a piece at a time:
        // the controller's while a request waits for its answer (an answer follows the
        // request it answers), else the host's.
        // A line that floods faster than it is read would hold the loop for ever: a
        // round takes at most BYTES_A_ROUND, then Ctrl+C, the clock and the adapters
        // are looked at again.
        bool holds[2] = {ready[TAP_HOST] != 0 && lines[TAP_HOST].open, ready[TAP_CTRL] != 0 && lines[TAP_CTRL].open};
        int budget = BYTES_A_ROUND;
        while ((holds[TAP_HOST] || holds[TAP_CTRL]) && budget > 0) {
            int i = holds[TAP_HOST] ? TAP_HOST : TAP_CTRL;
            if (holds[TAP_HOST] && holds[TAP_CTRL] && session.Deadline() >= 0) i = TAP_CTRL;
            holds[i] = TakePiece(lines[i], now, session, pieces, budget);
        }
        for (TapLine& line : lines) {
            if (line.open && line.splitter.Pending() &&
                (now - line.splitter.LastByteUs() >= WINDOW_US || line.splitter.StrayDue(now)) &&
                line.splitter.Flush(pieces[0]) == 1) {
                session.Piece(pieces[0]);
            }
        }
        session.Advance(now);

        for (TapLine& line : lines) {
            if (now < line.nextCheckUs) continue;
            if (line.open) {
                line.nextCheckUs = now + LOST_CHECK_US;
                if (!PortDeviceLost(line.portId)) continue;
                if (line.splitter.Flush(pieces[0]) == 1) session.Piece(pieces[0]);
                PortClose(line.portId);
                line.open = false;
                line.splitter.Reset();
                line.nextCheckUs = now + REOPEN_US;
                stream.LineUp(line.dir, false);
                std::fprintf(stderr, "zantrox-cli: the %s line %s has gone away; listening on the other, waiting for it to come back\n",
                             line.role, line.given.c_str());
            } else {
                line.nextCheckUs = now + REOPEN_US;
                if (OpenLine(line, options.line.baudRate) == PORT_OK && !PortDeviceLost(line.portId)) {
                    line.open = true;
                    line.nextCheckUs = now + LOST_CHECK_US;
                    stream.LineUp(line.dir, true);
                    std::fprintf(stderr, "zantrox-cli: the %s line %s is back\n", line.role, line.given.c_str());
                } else {
                    PortClose(line.portId);
                }
            }
        }
    }
    for (TapLine& line : lines) {
        if (line.splitter.Flush(pieces[0]) == 1) session.Piece(pieces[0]);
    }
    session.Finish();
    for (TapLine& line : lines) PortClose(line.portId);
    const long long endedUs = OsMonotonicUs();
    info.stopped = StopRequested();
    info.ended = stream.clock().Iso(endedUs).substr(0, 23) + "Z";
    info.seconds = static_cast<double>(endedUs - startUs) / 1e6;
    StreamEnd end;
    end.stopped = info.stopped;
    end.endUs = endedUs;
    return stream.Finish(end);
}
