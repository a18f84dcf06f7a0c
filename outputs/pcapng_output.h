// The stream as a pcapng capture for Wireshark (the file layout: capture_piece.h):
// a block a piece, a comment naming each request the catalogue knows and one on
// the piece that ends an exchange with its verdict and times.
//
// A piece is held while an exchange is open, so the verdict can go on the piece
// that ends it; the capture is written up to date whenever nothing is open (a
// window after the last byte at most), so a live capture lags by no more than that.
#pragma once

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "capture/pcapng_writer.h"
#include "outputs/output_options.h"
#include "events/line_events.h"
#include "commands/names.h"

class PcapngOutput : public LineOutput {
public:
    enum { HELD_MOST = 256 };  // pieces held at most while exchanges overlap without end

    // `names` (may be null) names requests in comments and must outlive the output;
    // `summary` takes the "capture: PATH" line at the end.
    PcapngOutput(const CommandNames* names, const LineClock& clock, std::FILE* summary)
        : names_(names), clock_(clock), summary_(summary) {}
    // Starts the capture named by `options` (a file, or a descriptor), with one
    // interface for each of `lines`. Before anything is sent: false with a reason.
    bool Open(const OutputOptions& options, const std::vector<std::string>& lines, std::string& error);

    void Piece(const LinePiece& piece) override;
    void Exchange(const ExchangeEvent& exchange) override;
    void Settled() override;
    int Finish(const StreamEnd& end) override;
    bool Broken() const override { return broken_; }

private:
    void Write(const CapturePiece& piece);
    void WriteUpTo(long long lastUs);

    const CommandNames* names_;
    LineClock clock_;
    std::FILE* summary_;
    PcapngWriter writer_;
    std::string path_;  // "" for a descriptor
    std::deque<CapturePiece> held_;
    bool broken_ = false;
};

// "exchange ok, ACK 0.3 ms, reply 12.5 ms"
std::string ExchangeComment(const ExchangeEvent& exchange);
