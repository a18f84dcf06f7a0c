// Reading a capture back (watch --from FILE.pcapng): what PcapngWriter writes and
// what Wireshark writes when it saves such a file again (either byte order, a
// timestamp resolution of its choosing, blocks and options we do not use). Anything
// else is refused with the block it stopped at and why, in words; a file cut short
// gives its whole blocks first. Nothing is allocated past one block, and no block
// may be bigger than PCAPNG_BLOCK_MOST.
#pragma once

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "capture/capture_piece.h"

enum CaptureReadResult {
    CAPTURE_READ_REFUSED = -1,  // Error() says which block and why
    CAPTURE_READ_END = 0,       // the file ended after a whole block
    CAPTURE_READ_PIECE = 1,
};

class PcapngReader {
public:
    enum { INTERFACES_MOST = 256 };

    // Reads the file at `path`; false with Error() when it cannot be opened.
    bool Open(const std::string& path);
    // Reads `size` bytes the caller keeps until the reader is done.
    void OpenMemory(const unsigned char* data, size_t size);

    // The next piece into `out`: a CaptureReadResult. After a refusal every call
    // refuses again.
    int Next(CapturePiece& out);

    // The lines described so far, by interface (their if_name, "" for none).
    const std::vector<std::string>& Lines() const { return lines_; }
    // The block Next stopped at (1 = the section header at the start).
    long long BlockNumber() const { return block_; }
    // "block 7: ..." after a refusal; "" before.
    const std::string& Error() const { return error_; }

private:
    struct Interface {
        int line;
        int decimal;        // 1: the resolution is 10^-exponent s, 0: 2^-exponent s
        int exponent;
        long long offsetS;  // if_tsoffset
    };

    size_t ReadSome(unsigned char* into, size_t size);
    int Refuse(const std::string& reason);
    unsigned long U32(const unsigned char* p) const;
    unsigned U16(const unsigned char* p) const;
    int SectionHeader();
    int InterfaceDescription();
    int EnhancedPacket(CapturePiece& out);

    std::ifstream file_;
    const unsigned char* memory_ = nullptr;
    size_t memorySize_ = 0;
    size_t memoryAt_ = 0;
    bool opened_ = false;
    bool bigEndian_ = false;
    bool inSection_ = false;
    long long block_ = 0;
    unsigned long blockType_ = 0;
    std::vector<unsigned char> body_;  // the block after its type and length, trailer included
    std::vector<Interface> interfaces_;  // of this section
    std::vector<std::string> lines_;     // of the whole file
    std::string error_;
};
