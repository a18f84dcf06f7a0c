// Splits what arrives on a line into the pieces a listener reports: ACK bytes,
// frames (STX .. ETX and the checksum byte, judged like a reply), frames cut off
// by a silent window, and stray bytes that belong to neither.
#pragma once

enum SplitKind {
    SPLIT_ACK = 1,     // one ACK byte outside a frame
    SPLIT_FRAME = 2,   // STX .. ETX and the checksum byte; `valid` says whether it sums to 0
    SPLIT_BROKEN = 3,  // a frame cut off (silence, a new STX, or too long)
    SPLIT_STRAY = 4,   // bytes outside any frame
};

enum { SPLIT_BYTES = 1024 };

struct SplitPiece {
    int kind;  // a SplitKind
    int valid; // frames only: 1 when the checksum holds
    int length;
    unsigned char bytes[SPLIT_BYTES];  // the piece's bytes as they came, framing included
};

struct FrameSplitter {
    int inFrame;   // 1 between STX and the checksum byte
    int afterEtx;  // 1 when the next byte is the checksum
    unsigned sum;
    int length;
    unsigned char bytes[SPLIT_BYTES];
};

void ResetSplitter(FrameSplitter& splitter);

// Takes one byte. Writes the pieces it completes into `out` (room for two: a piece
// it cuts off and the one it ends) and returns how many (0..2).
int SplitterFeed(FrameSplitter& splitter, unsigned char byte, SplitPiece out[2]);

// The line fell silent: hands over what is pending (stray bytes, or a frame cut
// off) as one piece. Returns 1 with `out` filled, or 0 when nothing was pending.
int SplitterFlush(FrameSplitter& splitter, SplitPiece& out);

// The text of a frame piece: the bytes between STX and ETX, NUL-terminated in
// `text` (`size` bytes, cut to fit). Returns its length.
int SplitFrameText(const SplitPiece& piece, char* text, int size);
