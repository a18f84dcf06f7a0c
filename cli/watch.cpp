// watch: listens without sending and reports what the line carries, frame by
// frame; rides out a device that goes away and comes back.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/json_line.h"
#include "commands/settings.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "link/threading.h"
#include "link/transaction.h"
#include "port/port.h"

namespace {

enum {
    SILENCE_US = 100000,        // a receive window: what is pending after it is reported
    LOST_CHECK_US = 200000,     // how often the device is asked whether it is still there
    REOPEN_PAUSE_MS = 500,      // between attempts to open a device that went away
};

void Report(const SplitPiece& piece, bool json) {
    std::vector<unsigned char> bytes(piece.bytes, piece.bytes + piece.length);
    char text[SPLIT_BYTES];
    int textLength = SplitFrameText(piece, text, sizeof text);
    const char* kind = piece.kind == SPLIT_ACK     ? "ack"
                       : piece.kind == SPLIT_FRAME ? "frame"
                       : piece.kind == SPLIT_BROKEN ? "incomplete"
                                                    : "stray";
    if (json) {
        JsonValue j;
        j["time"] = IsoTimeNow();
        j["kind"] = kind;
        j["hex"] = HexBytes(bytes);
        if (piece.kind == SPLIT_FRAME) {
            j["text"] = JsonText(reinterpret_cast<const unsigned char*>(text), static_cast<size_t>(textLength));
            j["checksum"] = piece.valid ? "ok" : "error";
        }
        PutJsonLine(stdout, j);
    } else {
        std::string clock = LocalClockNow();
        switch (piece.kind) {
            case SPLIT_ACK: std::printf("%s  ACK\n", clock.c_str()); break;
            case SPLIT_FRAME:
                std::printf("%s  frame  %-14s %s\n", clock.c_str(),
                            piece.valid ? "(CheckSum = OK)" : "(CheckSum = ERROR)",
                            TraceText(piece.bytes, static_cast<size_t>(piece.length)).c_str());
                break;
            case SPLIT_BROKEN:
                std::printf("%s  incomplete frame  %s\n", clock.c_str(), TraceText(piece.bytes, static_cast<size_t>(piece.length)).c_str());
                break;
            default:
                std::printf("%s  stray  %s\n", clock.c_str(), TraceText(piece.bytes, static_cast<size_t>(piece.length)).c_str());
                break;
        }
    }
    std::fflush(stdout);
}

}  // namespace

int RunWatch(const PortOptions& options) {
    OpenedPort port;
    int opened = OpenPort(options, port);
    if (opened != EXIT_ALL_OK) return opened;
    InstallStopHandler();
    std::fprintf(stderr, "zantrox-cli: listening on %s at %d baud; Ctrl+C ends\n", PortLabel(port).c_str(),
                 options.baudRate);

    FrameSplitter splitter;
    ResetSplitter(splitter);
    SplitPiece pieces[2];
    long long lastByteUs = OsMonotonicUs();
    long long lastCheckUs = lastByteUs;
    while (!StopRequested()) {
        unsigned char byte = 0;
        PortReadArgs args = {&byte};
        int result = PortRequest(openPortId.load(), PORT_READ_BYTE, &args);
        long long now = OsMonotonicUs();
        if (result == PORT_OK) {
            lastByteUs = now;
            int n = SplitterFeed(splitter, byte, pieces);
            for (int i = 0; i < n; ++i) Report(pieces[i], options.json);
            continue;
        }
        if (now - lastByteUs >= SILENCE_US && SplitterFlush(splitter, pieces[0]) == 1) {
            Report(pieces[0], options.json);
        }
        if (now - lastCheckUs >= LOST_CHECK_US) {
            lastCheckUs = now;
            if (PortDeviceLost(openPortId.load())) {
                if (SplitterFlush(splitter, pieces[0]) == 1) Report(pieces[0], options.json);
                std::fprintf(stderr, "zantrox-cli: %s has gone away; waiting for it to come back\n",
                             PortLabel(port).c_str());
                // Reopen the same name until it is there again (OpenConfiguredPort
                // closes the dead handle first).
                while (!StopRequested()) {
                    PauseUnlessStopped(REOPEN_PAUSE_MS);
                    if (StopRequested()) break;
                    if (OpenConfiguredPort() == PORT_OK && !PortDeviceLost(openPortId.load())) {
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
    if (SplitterFlush(splitter, pieces[0]) == 1) Report(pieces[0], options.json);
    ClosePort();
    return EXIT_ALL_OK;
}
