// Test support: a tap's scripted traffic as capture pieces, for the capture tests
// and the tshark tests alike.
#pragma once

#include <string>
#include <vector>

#include "capture/capture_piece.h"
#include "link/frame.h"
#include "tests/support/pty_peer.h"

namespace testsupport {

const long long CAPTURE_T0 = 1796800000123456ll;  // 2026-12-09, UTC microseconds, not a round number

inline CapturePiece Piece(int line, int dir, int kind, const Bytes& bytes, long long firstUs, long long lastUs,
                          const std::string& comment = "") {
    CapturePiece piece;
    piece.line = line;
    piece.dir = dir;
    piece.kind = kind;
    piece.bytes = bytes;
    piece.firstUs = firstUs;
    piece.lastUs = lastUs;
    piece.comment = comment;
    return piece;
}

inline Bytes BadFrame(const std::string& text) {
    Bytes frame = Frame(text);
    frame.back() = static_cast<unsigned char>((frame.back() + 1) & 0x7F);
    return frame;
}

// Host line 0, controller line 1: a request, its ACK and reply; a bad checksum left
// unanswered; stray bytes; a request whose reply is cut off. Frame numbers in a
// capture are the indexes plus 1.
inline std::vector<CapturePiece> TapTraffic() {
    const long long t0 = CAPTURE_T0;
    return {
        Piece(0, TAP_HOST, SPLIT_FRAME, Frame("B07EHMS$VLPT"), t0, t0 + 15600, "Pump/Sale/Extended, pump 7"),
        Piece(1, TAP_CTRL, SPLIT_ACK, Bytes{ACK}, t0 + 15900, t0 + 15900),  // 0.3 ms after the request's end
        Piece(1, TAP_CTRL, SPLIT_FRAME, Frame("b07E0001234"), t0 + 21000, t0 + 35300, "exchange ok, ACK 0.3 ms"),
        Piece(0, TAP_HOST, SPLIT_FRAME, BadFrame("K"), t0 + 500000, t0 + 503120, "Controller/Versions"),
        Piece(1, TAP_CTRL, SPLIT_STRAY, Bytes{0xFF, 'x', 0x00}, t0 + 600000, t0 + 602080),
        Piece(0, TAP_HOST, SPLIT_FRAME, Frame("FE"), t0 + 700000, t0 + 705200),
        Piece(1, TAP_CTRL, SPLIT_ACK, Bytes{ACK}, t0 + 706001, t0 + 706001),
        Piece(1, TAP_CTRL, SPLIT_BROKEN, Bytes{STX, 'b', '0'}, t0 + 720000, t0 + 722080, "exchange incomplete"),
    };
}

}  // namespace testsupport
