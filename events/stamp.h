// Cutting one line's bytes into pieces stamped with the monotonic time of their
// first and last byte, and the gap since the previous piece on that line. Shared
// by the one-line watch and the tap.
#pragma once

#include "events/line_events.h"
#include "link/frame_splitter.h"

// Stray bytes on a line that never goes quiet are handed over at least this often,
// so a listener shows the chatter instead of seeming to hang until 1024 bytes.
const long long STRAY_HOLD_US = 1000000;

class StampedSplitter {
public:
    // Pieces get side `dir` and the stream's line number `line`.
    explicit StampedSplitter(int dir = TAP_HOST, int line = 0);
    // Forgets what is pending and the previous piece (a line that went away).
    void Reset();
    // Takes one byte read at `us`; writes the pieces it completes to `out` and
    // returns how many (0..2).
    int Feed(unsigned char byte, long long us, LinePiece out[2]);
    // Hands over what is pending as one piece (stray bytes or a cut frame).
    // Returns 1 with `out` filled, or 0.
    int Flush(LinePiece& out);
    // Bytes wait for the rest of their piece.
    bool Pending() const { return splitter_.length > 0; }
    // When the last byte came (-1 before any).
    long long LastByteUs() const { return lastByteUs_; }
    // When pending stray bytes are due to be handed over (Flush), -1 when none are
    // pending; a frame in progress waits for its end or a window's silence.
    long long StrayDueUs() const {
        return splitter_.length > 0 && splitter_.inFrame == 0 ? firstUs_ + STRAY_HOLD_US : -1;
    }
    bool StrayDue(long long now) const { return StrayDueUs() >= 0 && now >= StrayDueUs(); }

private:
    void Stamp(const SplitPiece& split, long long firstUs, long long lastUs, LinePiece& out);

    int dir_;
    int line_;
    FrameSplitter splitter_;
    SplitPiece split_[2];
    long long firstUs_ = -1;        // the first byte of the pending piece
    long long lastByteUs_ = -1;
    long long lastPieceEndUs_ = -1;
};
