// watch --from: a capture read back through the same analyzer, summary and report
// as a live listener, so a capture mailed from a site is judged in the lab as if
// it were heard there.
#include <cstdio>
#include <vector>

#include "capture/pcapng_reader.h"
#include "outputs/chosen_outputs.h"
#include "outputs/report_output.h"
#include "outputs/summaries.h"
#include "events/stop.h"
#include "listen/session.h"
#include "listen/tap.h"
#include "commands/settings.h"
#include "zantrox_version.h"

namespace {

LinePiece PieceOf(const CapturePiece& captured) {
    LinePiece piece;
    piece.dir = captured.dir;
    piece.line = captured.line;
    piece.kind = captured.kind;
    piece.valid = captured.valid;
    piece.bytes = captured.bytes;
    piece.firstUs = captured.firstUs;
    piece.lastUs = captured.lastUs;
    return piece;
}

}  // namespace

int RunWatchFrom(const TapOptions& options, const std::string& path) {
    PcapngReader reader;
    if (!reader.Open(path)) {
        std::fprintf(stderr, "zantrox-cli: --from: %s: %s\n", path.c_str(), reader.Error().c_str());
        return EXIT_USAGE;
    }
    CapturePiece captured;
    int read = reader.Next(captured);
    if (read == CAPTURE_READ_REFUSED) {
        std::fprintf(stderr, "zantrox-cli: --from: %s: %s\n", path.c_str(), reader.Error().c_str());
        return EXIT_USAGE;
    }
    std::string error;
    if (!options.reportPath.empty() && !ReportTargetUsable(options.reportPath, error)) {
        std::fprintf(stderr, "zantrox-cli: --report: %s %s\n", options.reportPath.c_str(), error.c_str());
        return EXIT_USAGE;
    }
    // Pieces with a side were heard on a tap or sent by send and check: their
    // exchanges are judged. One line heard as it is has no sides to pair.
    const bool sides = read == CAPTURE_READ_PIECE && captured.dir != TAP_UNKNOWN;
    const CommandNames names(options.line.presetAmount, options.line.priceBase);
    LineStream stream(reader.Lines(), LineClock::Calendar());
    ChosenOutputs outputs(options.line.outputs, options.line.json, sides ? FORM_TAP : FORM_LINE, stream.clock(), &names);
    if (!outputs.Open(stream.lines())) return EXIT_USAGE;
    TapSummaryOutput summary(outputs.Summary(), !options.line.json && !options.line.outputs.quiet);
    ReportOutput report(options.reportPath, outputs.Summary(), stream.clock());
    outputs.AddTerminal(stream);
    if (sides && !outputs.Quiet()) stream.Add(summary);
    if (!options.reportPath.empty()) stream.Add(report);
    outputs.AddCapture(stream);
    TapSession session(stream, names);
    InstallStopHandler();

    // The gap since the previous piece on the same line and side, as a listener says it.
    std::vector<long long> lastEnd;
    long long firstUs = -1, lastUs = -1;
    while (read == CAPTURE_READ_PIECE && !StopRequested()) {
        LinePiece piece = PieceOf(captured);
        size_t slot = static_cast<size_t>(piece.line) * 3 + static_cast<size_t>(piece.dir);
        if (slot >= lastEnd.size()) lastEnd.resize(slot + 1, -1);
        piece.gapMs = lastEnd[slot] < 0 ? -1 : static_cast<double>(piece.firstUs - lastEnd[slot]) / 1000.0;
        lastEnd[slot] = piece.lastUs;
        if (firstUs < 0) firstUs = piece.firstUs;
        if (piece.lastUs > lastUs) lastUs = piece.lastUs;
        if (sides) {
            session.Piece(piece);
        } else {
            stream.Piece(piece);
            stream.Settled();
        }
        read = reader.Next(captured);
    }
    session.Finish();
    const bool refused = read == CAPTURE_READ_REFUSED;
    if (refused) {
        // What came before is judged; the rest of the file is not ours to read.
        std::fprintf(stderr, "zantrox-cli: --from: %s: %s; what came before it is shown\n", path.c_str(),
                     reader.Error().c_str());
    }

    ReportInfo& info = report.info();
    info.title = "Zantrox line tap";
    info.caption = "read back from a capture, nothing sent";
    info.observed = true;
    info.version = ZANTROX_VERSION;
    for (size_t i = 0; i < reader.Lines().size(); ++i) {
        const char* role = !sides ? "line" : i == 0 ? "host" : i == 1 ? "controller" : "line";
        info.ports.push_back(std::string(role) + ": " + reader.Lines()[i]);
    }
    info.baudRate = options.line.baudRate;
    if (firstUs >= 0) {
        info.started = stream.clock().Iso(firstUs).substr(0, 23) + "Z";
        info.ended = stream.clock().Iso(lastUs).substr(0, 23) + "Z";
        info.seconds = static_cast<double>(lastUs - firstUs) / 1e6;
    }
    info.stopped = StopRequested() || refused;
    StreamEnd end;
    end.stopped = info.stopped;
    end.endUs = lastUs;
    int status = stream.Finish(end);
    return refused ? EXIT_FAILED : status;
}
