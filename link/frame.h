// Framing, checksum and trace rendering of the controller link.
//
// A frame is STX, the message text, ETX and one checksum byte; the checksum is the
// 7-bit complement of the sum of every byte before it, so the whole frame sums to
// 0 modulo 128. Replies are judged by the same rule from their first byte through
// ETX plus the checksum byte.
#pragma once

enum : unsigned char {
    STX = 0x02,
    ETX = 0x03,
    ACK = 0x06,
};

enum {
    TRACE_LINE_COUNT = 5,
    TRACE_LINE_BYTES = 100,
    TRACE_WRAP_COLUMN = 75,  // a line breaks after the piece that takes it past this column
};

// Five NUL-terminated display lines; one set for each direction.
struct TraceLines {
    char line[TRACE_LINE_COUNT][TRACE_LINE_BYTES];
};

// Writes STX, `text` up to its NUL, ETX and the checksum into `frame` (room for
// `capacity` bytes). Returns the frame length n + 3, or -1 when the frame would not
// fit (nothing useful is left in `frame` then).
int BuildFrame(const char* text, unsigned char* frame, int capacity);

// The checksum byte for a frame whose bytes before the checksum add up to `sum`.
unsigned char FrameChecksum(unsigned sum);

// 1 when a reply whose bytes through ETX add up to `sum` is valid with `checksum`.
int ReplyChecksumValid(unsigned sum, unsigned char checksum);

// The trace's words, as the panel paints them and the command line prints them.
extern const char TraceTxHeading[];      // "TxD:  ", before the frame sent
extern const char TraceRxHeading[];      // "RxD:  ", before what came back
extern const char TraceChecksumOk[];     // "(CheckSum = OK)", after the RX heading: the reply's checksum
extern const char TraceChecksumError[];  // "(CheckSum = ERROR)"

// The trace form of one byte into `out` (room for 6): printable ASCII as itself,
// any other byte as " [%02X]". Returns the piece's width, 1 or 5.
int TracePiece(unsigned char byte, char* out);

// Sets the first byte of each of the five lines to NUL.
void ClearTrace(TraceLines& set);

// Clears `set`, then renders `count` bytes into it: printable ASCII as itself, any
// other byte as " [%02X]". Pieces that would need a sixth line are dropped; a line
// never holds more than 80 characters, so nothing is written past a line either.
void FormatTrace(const unsigned char* bytes, int count, TraceLines& set);
