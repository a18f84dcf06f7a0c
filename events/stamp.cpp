#include "events/stamp.h"

StampedSplitter::StampedSplitter(int dir, int line) : dir_(dir), line_(line) { Reset(); }

void StampedSplitter::Reset() {
    ResetSplitter(splitter_);
    firstUs_ = -1;
    lastByteUs_ = -1;
    lastPieceEndUs_ = -1;
}

void StampedSplitter::Stamp(const SplitPiece& split, long long firstUs, long long lastUs, LinePiece& out) {
    out.dir = dir_;
    out.line = line_;
    out.kind = split.kind;
    out.valid = split.valid != 0;
    out.bytes.assign(split.bytes, split.bytes + split.length);
    out.firstUs = firstUs;
    out.lastUs = lastUs;
    out.gapMs = lastPieceEndUs_ < 0 ? -1 : static_cast<double>(firstUs - lastPieceEndUs_) / 1000.0;
    lastPieceEndUs_ = lastUs;
}

int StampedSplitter::Feed(unsigned char byte, long long us, LinePiece out[2]) {
    bool wasEmpty = splitter_.length == 0;
    int n = SplitterFeed(splitter_, byte, split_);
    for (int i = 0; i < n; ++i) {
        // Only a frame's checksum byte or an ACK ends a piece with this byte; a
        // piece cut off ends with the byte before it.
        bool withThis = i == n - 1 && (split_[i].kind == SPLIT_FRAME || split_[i].kind == SPLIT_ACK);
        if (!withThis) {
            Stamp(split_[i], firstUs_, lastByteUs_, out[i]);
        } else {
            bool alone = split_[i].length == 1;
            Stamp(split_[i], alone || firstUs_ < 0 ? us : firstUs_, us, out[i]);
        }
    }
    if (splitter_.length > 0 && (wasEmpty || n > 0)) firstUs_ = us;  // this byte begins a piece
    lastByteUs_ = us;
    return n;
}

int StampedSplitter::Flush(LinePiece& out) {
    SplitPiece& split = split_[0];
    if (SplitterFlush(splitter_, split) != 1) return 0;
    Stamp(split, firstUs_, lastByteUs_, out);
    return 1;
}
