#include "link/frame_splitter.h"

#include <cstring>

#include "link/frame.h"

namespace {

void Hand(FrameSplitter& s, int kind, int valid, SplitPiece& out) {
    out.kind = kind;
    out.valid = valid;
    out.length = s.length;
    std::memcpy(out.bytes, s.bytes, static_cast<size_t>(s.length));
    s.inFrame = 0;
    s.afterEtx = 0;
    s.sum = 0;
    s.length = 0;
}

}  // namespace

void ResetSplitter(FrameSplitter& splitter) {
    splitter.inFrame = 0;
    splitter.afterEtx = 0;
    splitter.sum = 0;
    splitter.length = 0;
}

int SplitterFeed(FrameSplitter& s, unsigned char byte, SplitPiece out[2]) {
    int count = 0;
    if (s.inFrame && s.afterEtx) {
        s.bytes[s.length++] = byte;  // room is kept for it, see below
        Hand(s, SPLIT_FRAME, ReplyChecksumValid(s.sum, byte), out[count++]);
        return count;
    }
    if (s.inFrame && byte != STX) {
        // One byte of room stays free for the checksum; a frame that would need
        // more is cut off and its rest counts as stray bytes.
        if (s.length < SPLIT_BYTES - 1) {
            s.bytes[s.length++] = byte;
            s.sum += byte;
            if (byte == ETX) s.afterEtx = 1;
            return count;
        }
        Hand(s, SPLIT_BROKEN, 0, out[count++]);
    } else if (s.inFrame) {
        Hand(s, SPLIT_BROKEN, 0, out[count++]);  // a new frame began before this one ended
    }
    if (byte == STX || byte == ACK) {
        if (s.length > 0) Hand(s, SPLIT_STRAY, 0, out[count++]);
        s.bytes[0] = byte;
        s.length = 1;
        if (byte == ACK) {
            Hand(s, SPLIT_ACK, 0, out[count++]);
        } else {
            s.inFrame = 1;
            s.sum = STX;
        }
        return count;
    }
    if (s.length == SPLIT_BYTES) Hand(s, SPLIT_STRAY, 0, out[count++]);
    s.bytes[s.length++] = byte;
    return count;
}

int SplitterFlush(FrameSplitter& s, SplitPiece& out) {
    if (s.length == 0) return 0;
    Hand(s, s.inFrame ? SPLIT_BROKEN : SPLIT_STRAY, 0, out);
    return 1;
}

int SplitFrameText(const SplitPiece& piece, char* text, int size) {
    if (size <= 0) return 0;
    int n = 0;
    int start = piece.length > 0 && piece.bytes[0] == STX ? 1 : 0;
    for (int i = start; i < piece.length && piece.bytes[i] != ETX && n < size - 1; ++i) {
        text[n++] = static_cast<char>(piece.bytes[i]);
    }
    text[n] = '\0';
    return n;
}
