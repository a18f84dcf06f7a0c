// Fuzz target over the capture reader: whatever a file holds, reading it ends (a
// clean end or a refusal naming a block), never reads or allocates past what the
// file and one block allow, and every piece it gives is one the writer could have
// written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "capture/pcapng_reader.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PcapngReader reader;
    reader.OpenMemory(data, size);
    CapturePiece piece;
    int result = CAPTURE_READ_PIECE;
    // A block is at least 12 bytes, so a file holds at most size / 12 pieces.
    size_t pieces = 0;
    while ((result = reader.Next(piece)) == CAPTURE_READ_PIECE) {
        ++pieces;
        Check(pieces <= size / 12);
        Check(piece.line >= 0 && static_cast<size_t>(piece.line) < reader.Lines().size());
        Check(piece.dir == TAP_HOST || piece.dir == TAP_CTRL || piece.dir == TAP_UNKNOWN);
        Check(piece.kind >= SPLIT_ACK && piece.kind <= SPLIT_STRAY);
        Check(piece.firstUs >= 0 && piece.lastUs >= piece.firstUs);
        Check(piece.bytes.size() + piece.comment.size() < PCAPNG_BLOCK_MOST && piece.bytes.size() < size);
    }
    Check(result == CAPTURE_READ_END || result == CAPTURE_READ_REFUSED);
    Check(reader.Lines().size() <= PcapngReader::INTERFACES_MOST);
    if (result == CAPTURE_READ_REFUSED) {
        Check(reader.BlockNumber() >= 1 && static_cast<size_t>(reader.BlockNumber()) <= size / 8 + 1);
        Check(reader.Error().rfind("block ", 0) == 0);
    }
    // A refusal stays a refusal.
    Check(result != CAPTURE_READ_REFUSED || reader.Next(piece) == CAPTURE_READ_REFUSED);
    return 0;
}
