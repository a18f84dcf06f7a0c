#include "link/frame.h"

#include <cstring>

const char TraceTxHeading[] = "TxD:  ";
const char TraceRxHeading[] = "RxD:  ";
const char TraceChecksumOk[] = "(CheckSum = OK)";
const char TraceChecksumError[] = "(CheckSum = ERROR)";

unsigned char FrameChecksum(unsigned sum) {
    return static_cast<unsigned char>((0u - sum) & 0x7F);
}

int ReplyChecksumValid(unsigned sum, unsigned char checksum) {
    return ((sum + checksum) & 0x7F) == 0 ? 1 : 0;
}

int BuildFrame(const char* text, unsigned char* frame, int capacity) {
    int n = 0;
    while (text[n] != '\0') ++n;
    if (capacity < n + 3) return -1;
    unsigned sum = STX;
    frame[0] = STX;
    for (int i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        frame[1 + i] = b;
        sum += b;
    }
    frame[n + 1] = ETX;
    sum += ETX;
    frame[n + 2] = FrameChecksum(sum);
    return n + 3;
}

void ClearTrace(TraceLines& set) {
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) set.line[i][0] = '\0';
}

int TracePiece(unsigned char byte, char* out) {
    static const char hex[] = "0123456789ABCDEF";
    if (byte >= 0x20 && byte <= 0x7E) {
        out[0] = static_cast<char>(byte);
        out[1] = '\0';
        return 1;
    }
    out[0] = ' ';
    out[1] = '[';
    out[2] = hex[byte >> 4];
    out[3] = hex[byte & 0x0F];
    out[4] = ']';
    out[5] = '\0';
    return 5;
}

void FormatTrace(const unsigned char* bytes, int count, TraceLines& set) {
    ClearTrace(set);
    int line = 0;
    int column = 0;
    for (int i = 0; i < count; ++i) {
        // The excess of a rendering longer than five lines is dropped, not squeezed
        // into the last line: a technician sees the first five lines exactly.
        if (line >= TRACE_LINE_COUNT) return;
        // A line holds at most 80 characters and a piece writes 6 bytes with its
        // terminator, well inside the 100-byte line.
        column += TracePiece(bytes[i], set.line[line] + column);
        if (column > TRACE_WRAP_COLUMN) {
            ++line;
            column = 0;
        }
    }
}
