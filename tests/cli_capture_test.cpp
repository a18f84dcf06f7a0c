// Capture files: the pcapng writer's bytes, the reader on what the writer and
// Wireshark write, files cut short, files that are not ours or are hostile, and a
// full disk told at the write that hit it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/pcapng_reader.h"
#include "capture/pcapng_writer.h"
#include "link/frame.h"
#include "tests/support/capture_traffic.h"
#include "tests/support/files.h"
#include "tests/support/scratch_folder.h"

namespace {

using testsupport::BadFrame;
using testsupport::Bytes;
using testsupport::Frame;
using testsupport::Piece;

const long long T0 = testsupport::CAPTURE_T0;
std::vector<CapturePiece> Traffic() { return testsupport::TapTraffic(); }

Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '|') digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// The blocks of a capture of Traffic(), one vector each, to be spoilt one at a time.
std::vector<Bytes> Blocks() {
    std::vector<Bytes> blocks(3);
    AppendSectionHeader("zantrox-cli test", blocks[0]);
    AppendInterface("/dev/ttyUSB0", blocks[1]);
    AppendInterface("/dev/ttyUSB1", blocks[2]);
    for (const CapturePiece& piece : Traffic()) {
        blocks.emplace_back();
        EXPECT_EQ(AppendPacket(piece, blocks.back()), CAPTURE_OK);
    }
    return blocks;
}

Bytes Join(const std::vector<Bytes>& blocks) {
    Bytes out;
    for (const Bytes& block : blocks) out.insert(out.end(), block.begin(), block.end());
    return out;
}

void PutLe32(Bytes& block, size_t at, unsigned long value) {
    for (int i = 0; i < 4; ++i) block[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// Everything a reader gives, and how it ended.
struct ReadBack {
    std::vector<CapturePiece> pieces;
    int end = 0;
    long long block = 0;
    std::string error;
    std::vector<std::string> lines;
};

ReadBack ReadAll(PcapngReader& reader) {
    ReadBack back;
    CapturePiece piece;
    for (int i = 0; i < 100000; ++i) {
        back.end = reader.Next(piece);
        if (back.end != CAPTURE_READ_PIECE) break;
        back.pieces.push_back(piece);
    }
    back.block = reader.BlockNumber();
    back.error = reader.Error();
    back.lines = reader.Lines();
    return back;
}

ReadBack ReadBytes(const Bytes& bytes) {
    PcapngReader reader;
    reader.OpenMemory(bytes.data(), bytes.size());
    return ReadAll(reader);
}

void ExpectSame(const CapturePiece& want, const CapturePiece& got) {
    EXPECT_EQ(got.line, want.line);
    EXPECT_EQ(got.dir, want.dir);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.firstUs, want.firstUs);
    EXPECT_EQ(got.lastUs, want.lastUs);
    EXPECT_EQ(got.bytes, want.bytes);
    EXPECT_EQ(got.comment, want.comment);
}


class CaptureFile : public testsupport::ScratchFolder {};

}  // namespace

// ---- the bytes on disk ----------------------------------------------------------

// Worked out by hand from the pcapng layout, not from the writer: a little-endian
// section, an interface of link type 252, and a packet whose time has both halves
// set, with the exported-PDU tags, our trailer, a comment and the direction.
TEST_F(CaptureFile, SmallFileHasExactlyTheBlocksWorkedOutByHand) {
    std::string path = dir_ + "/small.pcapng";
    PcapngWriter writer;
    ASSERT_EQ(writer.Create(path, {"COM1"}, "zc"), CAPTURE_OK);
    ASSERT_EQ(writer.Write(Piece(0, TAP_CTRL, SPLIT_ACK, Bytes{ACK}, 0x100000002ll, 0x100000002ll + 0x0102, "ok")),
              CAPTURE_OK);
    ASSERT_EQ(writer.Finish(), CAPTURE_OK) << writer.Error();
    std::string file = testsupport::ReadWholeFile(path);
    Bytes got(file.begin(), file.end());

    Bytes shb = Hex("0a0d0d0a 28000000 4d3c2b1a 0100 0000 ffffffff ffffffff | 0400 0200 7a630000 | 00000000 | 28000000");
    Bytes idb = Hex("01000000 20000000 fc00 0000 00000000 | 0200 0400 434f4d31 | 00000000 | 20000000");
    Bytes epb = Hex("06000000 50000000 00000000 01000000 02000000 19000000 19000000"
                    // tag 12 "zantrox", end tag, the ACK, trailer: 258 us, kind 1, version 1, 8 bytes; padding
                    "000c0008 7a616e74726f7800 00000000 06 00000102 01 01 0008 000000"
                    "0100 0200 6f6b0000"   // opt_comment "ok"
                    "0200 0400 01000000"   // epb_flags: inbound
                    "00000000 50000000");
    EXPECT_EQ(got, Join({shb, idb, epb}));
}

// ---- reading back ---------------------------------------------------------------

TEST_F(CaptureFile, EveryKindOfPieceComesBackAsItWasWritten) {
    std::string path = dir_ + "/tap.pcapng";
    PcapngWriter writer;
    ASSERT_EQ(writer.Create(path, {"/dev/ttyUSB0", "COM7 (ctrl)"}, "zantrox-cli test"), CAPTURE_OK);
    std::vector<CapturePiece> pieces = Traffic();
    // The most a line piece holds, with odd lengths to need padding, and a long comment.
    Bytes most(SPLIT_BYTES, 'A');
    most[0] = STX;
    pieces.push_back(Piece(1, TAP_CTRL, SPLIT_BROKEN, most, T0 + 900000, T0 + 2000000, std::string(70000, 'c').substr(0, 65535)));
    pieces.push_back(Piece(0, TAP_HOST, SPLIT_STRAY, Bytes{'a'}, T0 + 3000000, T0 + 3000000 + 0xFFFFFFFFll));
    for (const CapturePiece& piece : pieces) ASSERT_EQ(writer.Write(piece), CAPTURE_OK);
    ASSERT_EQ(writer.Finish(), CAPTURE_OK) << writer.Error();

    PcapngReader reader;
    ASSERT_TRUE(reader.Open(path));
    ReadBack back = ReadAll(reader);
    EXPECT_EQ(back.end, CAPTURE_READ_END) << back.error;
    EXPECT_EQ(back.lines, (std::vector<std::string>{"/dev/ttyUSB0", "COM7 (ctrl)"}));
    ASSERT_EQ(back.pieces.size(), pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectSame(pieces[i], back.pieces[i]);
    }
    // The checksum is judged from the bytes.
    EXPECT_TRUE(back.pieces[0].valid);
    EXPECT_TRUE(back.pieces[2].valid);
    EXPECT_FALSE(back.pieces[3].valid);
}

TEST_F(CaptureFile, PieceTheFileCannotCarryIsRefusedAndWritesNothing) {
    std::string path = dir_ + "/c.pcapng";
    PcapngWriter writer;
    ASSERT_EQ(writer.Create(path, {"a", "b"}, "t"), CAPTURE_OK);
    CapturePiece fine = Traffic()[0];
    CapturePiece otherLine = fine, noDirection = fine, backwards = fine, noKind = fine, huge = fine;
    otherLine.line = 2;
    noDirection.dir = 7;
    backwards.lastUs = fine.firstUs - 1;
    noKind.kind = 0;
    huge.bytes.assign(PCAPNG_BLOCK_MOST, 'x');
    for (const CapturePiece* bad : {&otherLine, &noDirection, &backwards, &noKind, &huge}) {
        EXPECT_EQ(writer.Write(*bad), CAPTURE_PIECE_REFUSED);
    }
    EXPECT_EQ(writer.Result(), CAPTURE_OK);  // the file is still whole
    ASSERT_EQ(writer.Write(fine), CAPTURE_OK);
    ASSERT_EQ(writer.Finish(), CAPTURE_OK);
    PcapngReader reader;
    ASSERT_TRUE(reader.Open(path));
    ReadBack back = ReadAll(reader);
    EXPECT_EQ(back.end, CAPTURE_READ_END) << back.error;
    EXPECT_EQ(back.pieces.size(), 1u);
}

// What Wireshark and other writers may put in a file of ours: a big-endian
// section, nanosecond or binary time resolutions, a time offset, blocks and
// options we have no use for, several comments, a second section.
TEST(CaptureReader, ReadsWhatOtherWritersPutAroundOurPackets) {
    auto block = [](bool big, unsigned long type, const Bytes& body) {
        Bytes out;
        unsigned long length = static_cast<unsigned long>(12 + body.size());
        auto u32 = [&](unsigned long v) {
            for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (big ? 24 - 8 * i : 8 * i)));
        };
        u32(type);
        u32(length);
        out.insert(out.end(), body.begin(), body.end());
        u32(length);
        return out;
    };
    // The exported PDU of an ACK whose last byte came 5 us after its first.
    Bytes pdu = Hex("000c0008 7a616e74726f7800 0014 0004 7f000001 00000000 06 00000005 01 01 0008");  // IPv4 tag passed over
    ASSERT_EQ(pdu.size(), 33u);
    Bytes data = pdu;
    data.resize(36, 0);

    // Big-endian: SHB with shb_hardware, IDB in ns with if_name, then an ISB (skipped).
    Bytes shbBe = Hex("1a2b3c4d 0001 0000 ffffffffffffffff 0002 0003 78383600 0000 0000");
    Bytes idbBe = Hex("00fc 0000 00000000 0009 0001 09000000 0002 0004 636f6d31 0000 0000");
    Bytes isb = Hex("00000000 00000000 00000000");
    // 1 s + 250 us in nanoseconds, big-endian halves; flags outbound; two comments; an epb_hash.
    Bytes epbBe = Hex("00000000 00000000 3b9e9a90 00000021 00000021");
    epbBe.insert(epbBe.end(), data.begin(), data.end());
    Bytes epbOptsBe = Hex("0001 0003 6f6e6500 0003 0005 0201020304000000 0001 0003 74776f00 0002 0004 00000002 0000 0000");
    epbBe.insert(epbBe.end(), epbOptsBe.begin(), epbOptsBe.end());

    // Little-endian second section: binary resolution 2^-20 s and a 1000 s offset, an NRB in between.
    Bytes shbLe = Hex("4d3c2b1a 0100 0000 ffffffffffffffff 00000000");
    Bytes idbLe = Hex("fc00 0000 00000000 0900 0100 94000000 0e00 0800 e803000000000000 0000 0000");
    Bytes nrb = Hex("0000 0000");
    Bytes epbLe = Hex("00000000 00000000 00001000 21000000 21000000");  // 2^20 ticks: 1 s
    epbLe.insert(epbLe.end(), data.begin(), data.end());
    Bytes epbOptsLe = Hex("0200 0400 01000000 0000 0000");
    epbLe.insert(epbLe.end(), epbOptsLe.begin(), epbOptsLe.end());

    Bytes file = Join({block(true, 0x0A0D0D0A, shbBe), block(true, 1, idbBe), block(true, 5, isb),
                       block(true, 6, epbBe), block(false, 0x0A0D0D0A, shbLe), block(false, 4, nrb),
                       block(false, 1, idbLe), block(false, 6, epbLe)});
    ReadBack back = ReadBytes(file);
    EXPECT_EQ(back.end, CAPTURE_READ_END) << back.error;
    EXPECT_EQ(back.lines, (std::vector<std::string>{"com1", ""}));
    ASSERT_EQ(back.pieces.size(), 2u);
    ExpectSame(Piece(0, TAP_HOST, SPLIT_ACK, Bytes{ACK}, 1000250, 1000255, "one\ntwo"), back.pieces[0]);
    ExpectSame(Piece(1, TAP_CTRL, SPLIT_ACK, Bytes{ACK}, 1001000000, 1001000005), back.pieces[1]);
}

// ---- cut short, not ours, hostile -----------------------------------------------

// Cut anywhere, a file gives every whole block before the cut and then says
// where it stopped: what a crash or a pulled plug leaves.
TEST(CaptureReader, FileCutAnywhereGivesItsWholeBlocksThenSaysWhere) {
    std::vector<Bytes> blocks = Blocks();
    Bytes whole = Join(blocks);
    size_t blockStart = 0;
    size_t packetsBefore = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        for (size_t cut = blockStart; cut < blockStart + blocks[b].size(); ++cut) {
            Bytes part(whole.begin(), whole.begin() + static_cast<long>(cut));
            ReadBack back = ReadBytes(part);
            SCOPED_TRACE("cut at " + std::to_string(cut));
            ASSERT_EQ(back.pieces.size(), packetsBefore);
            if (cut == blockStart && cut > 0) {
                EXPECT_EQ(back.end, CAPTURE_READ_END) << back.error;  // a cut between blocks is a clean end
            } else {
                EXPECT_EQ(back.end, CAPTURE_READ_REFUSED);
                EXPECT_EQ(back.block, static_cast<long long>(b + 1));
                EXPECT_EQ(back.error.rfind("block " + std::to_string(b + 1) + ": ", 0), 0u) << back.error;
            }
        }
        blockStart += blocks[b].size();
        if (b >= 3) ++packetsBefore;
    }
    EXPECT_EQ(ReadBytes(whole).pieces.size(), Traffic().size());
}

// The offsets below are into Blocks(): block 3 is the request (its data at 28: tag
// 12 at 28, the name at 32, the trailer's kind at 63 and version at 64, epb_flags'
// value at 104), block 4 the ACK (the trailer's kind at 49, epb_flags' length at 58),
// blocks 1 and 2 the interfaces (if_name's code at 16, its length at 18).
TEST(CaptureReader, FilesThatAreNotOursAreRefusedWithTheBlockAndWhy) {
    struct Case {
        const char* what;
        size_t block;  // index into Blocks()
        void (*spoil)(Bytes&);
        const char* reason;
    };
    const Case cases[] = {
        {"pcap, not pcapng", 0, [](Bytes& b) { b = Hex("d4c3b2a1 02000400 00000000 00000000 ffff0000 01000000"); },
         "does not begin with a section header"},
        {"a wrong byte-order magic", 0, [](Bytes& b) { b[8] = 0x4e; }, "byte-order magic"},
        {"pcapng version 2", 0, [](Bytes& b) { b[12] = 2; }, "version 2"},
        {"an Ethernet interface", 1, [](Bytes& b) { b[8] = 1; }, "link type 1"},
        {"another dissector", 3, [](Bytes& b) { b[32] = 's'; b[33] = 'i'; b[34] = 'p'; b[35] = 0; }, "\"sip\", not zantrox"},
        {"no dissector named", 3, [](Bytes& b) { b[28] = 0; b[29] = 14; }, "names no dissector"},
        {"a trailer of a later version", 3, [](Bytes& b) { b[64] = 2; }, "trailer of version 2"},
        {"a simple packet block", 3, [](Bytes& b) { b[0] = 3; }, "without an interface or a time"},
        {"a packet cut by a snapshot length", 3, [](Bytes& b) { PutLe32(b, 24, 200); }, "cut to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Bytes> blocks = Blocks();
        c.spoil(blocks[c.block]);
        ReadBack back = ReadBytes(Join(blocks));
        EXPECT_EQ(back.end, CAPTURE_READ_REFUSED);
        EXPECT_EQ(back.block, static_cast<long long>(c.block + 1));
        EXPECT_EQ(back.pieces.size(), c.block > 3 ? c.block - 3 : 0u);
        EXPECT_EQ(back.error.rfind("block " + std::to_string(c.block + 1) + ": ", 0), 0u) << back.error;
        EXPECT_NE(back.error.find(c.reason), std::string::npos) << back.error;
    }
}

TEST(CaptureReader, HostileLengthsCountsAndIndexesAreRefusedWithoutAllocating) {
    struct Case {
        const char* what;
        size_t block;
        void (*spoil)(Bytes&);
        const char* reason;
    };
    const Case cases[] = {
        {"a length below the smallest packet block", 4, [](Bytes& b) { PutLe32(b, 4, 12); }, "below the smallest"},
        {"a length below any block", 1, [](Bytes& b) { PutLe32(b, 4, 4); }, "below the smallest"},
        {"a length of 4 GiB", 4, [](Bytes& b) { PutLe32(b, 4, 0xFFFFFFFC); }, "past the"},
        {"a length just past the cap", 4, [](Bytes& b) { PutLe32(b, 4, PCAPNG_BLOCK_MOST + 4); }, "past the"},
        {"a length not a multiple of 4", 4, [](Bytes& b) { PutLe32(b, 4, static_cast<unsigned long>(b.size() + 1)); }, "multiple of 4"},
        {"lengths that differ", 4, [](Bytes& b) { PutLe32(b, b.size() - 4, 64); }, "differs"},
        {"an option past the block", 4, [](Bytes& b) { b[58] = 0x40; }, "option runs past"},
        {"an interface option past the block", 2, [](Bytes& b) { b[18] = 0xF0; }, "option runs past"},
        {"a packet past its block", 4, [](Bytes& b) { PutLe32(b, 20, 5000); PutLe32(b, 24, 5000); }, "runs past the block"},
        {"a tag past the packet", 4, [](Bytes& b) { b[30] = 0x7F; }, "tag runs past"},
        {"an interface never described", 4, [](Bytes& b) { PutLe32(b, 8, 2); }, "interface 2, which was never described"},
        {"a piece of unknown kind", 4, [](Bytes& b) { b[49] = 9; }, "unknown kind 9"},
        {"a time resolution of 10^-100 s", 1, [](Bytes& b) {
             // if_name's place taken by if_tsresol, the name's bytes by padding.
             b[16] = 9; b[18] = 1; b[20] = 100; },
         "resolution"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Bytes> blocks = Blocks();
        c.spoil(blocks[c.block]);
        ReadBack back = ReadBytes(Join(blocks));
        EXPECT_EQ(back.end, CAPTURE_READ_REFUSED);
        EXPECT_EQ(back.block, static_cast<long long>(c.block + 1));
        EXPECT_EQ(back.error.rfind("block " + std::to_string(c.block + 1) + ": ", 0), 0u) << back.error;
        EXPECT_NE(back.error.find(c.reason), std::string::npos) << back.error;
    }

    // Interfaces without end: the 257th is refused, not kept.
    std::vector<Bytes> blocks = Blocks();
    blocks.resize(1);
    for (int i = 0; i < 300; ++i) {
        blocks.emplace_back();
        AppendInterface("x", blocks.back());
    }
    ReadBack back = ReadBytes(Join(blocks));
    EXPECT_EQ(back.end, CAPTURE_READ_REFUSED);
    EXPECT_EQ(back.block, 1 + PcapngReader::INTERFACES_MOST + 1);
    EXPECT_EQ(back.lines.size(), static_cast<size_t>(PcapngReader::INTERFACES_MOST));
}

TEST(CaptureReader, EmptyOrMissingFileIsRefused) {
    ReadBack empty = ReadBytes(Bytes{});
    EXPECT_EQ(empty.end, CAPTURE_READ_REFUSED);
    EXPECT_EQ(empty.error, "block 1: the file is empty");
    PcapngReader reader;
    EXPECT_FALSE(reader.Open("/nonexistent/zantrox.pcapng"));
    CapturePiece piece;
    EXPECT_EQ(reader.Next(piece), CAPTURE_READ_REFUSED);
}

// ---- writing as it goes, and failing at once -------------------------------------

// Each Write leaves its block whole in the file before it returns: whatever the
// program's end, the file holds every piece written so far.
TEST_F(CaptureFile, EveryWriteIsInTheFileWholeWhenItReturns) {
    std::string path = dir_ + "/stream.pcapng";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    PcapngWriter writer;
    ASSERT_EQ(writer.Attach(fd, {"host", "ctrl"}, "t"), CAPTURE_OK);
    std::vector<CapturePiece> pieces = Traffic();
    for (size_t i = 0; i < pieces.size(); ++i) {
        ASSERT_EQ(writer.Write(pieces[i]), CAPTURE_OK);
        PcapngReader reader;
        ASSERT_TRUE(reader.Open(path));
        ReadBack back = ReadAll(reader);
        EXPECT_EQ(back.end, CAPTURE_READ_END) << back.error;
        EXPECT_EQ(back.pieces.size(), i + 1);
    }
    EXPECT_EQ(writer.Finish(), CAPTURE_OK);
    close(fd);
}

TEST_F(CaptureFile, TargetIsReplacedOnlyWhenFinishedAndNeverLeftHalfWritten) {
    std::string path = dir_ + "/cap.pcapng";
    WriteText(path, "old capture");
    {
        PcapngWriter writer;
        ASSERT_EQ(writer.Create(path, {"a"}, "t"), CAPTURE_OK);
        ASSERT_EQ(writer.Write(Traffic()[0]), CAPTURE_OK);
        EXPECT_EQ(testsupport::ReadWholeFile(path), "old capture");
        EXPECT_EQ(Names().size(), 2u);  // the old one and ours beside it
    }  // not finished: ours is removed
    EXPECT_EQ(testsupport::ReadWholeFile(path), "old capture");
    EXPECT_EQ(Names(), std::vector<std::string>{"cap.pcapng"});

    PcapngWriter writer;
    ASSERT_EQ(writer.Create(path, {"a"}, "t"), CAPTURE_OK);
    ASSERT_EQ(writer.Write(Traffic()[0]), CAPTURE_OK);
    ASSERT_EQ(writer.Finish(), CAPTURE_OK);
    EXPECT_EQ(Names(), std::vector<std::string>{"cap.pcapng"});
    PcapngReader reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_EQ(ReadAll(reader).pieces.size(), 1u);
    EXPECT_EQ(writer.Write(Traffic()[1]), CAPTURE_NOT_STARTED);  // finished is finished

    PcapngWriter nowhere;
    EXPECT_EQ(nowhere.Create(dir_ + "/no/such/cap.pcapng", {"a"}, "t"), CAPTURE_CREATE_FAILED);
    EXPECT_NE(nowhere.Error().find("cannot create"), std::string::npos) << nowhere.Error();
}

TEST_F(CaptureFile, FullDeviceIsToldAtTheFirstWriteAndEveryOneAfter) {
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full here";
    PcapngWriter writer;
    EXPECT_EQ(writer.Attach(fd, {"a"}, "t"), CAPTURE_WRITE_FAILED);  // the section header did not go
    EXPECT_NE(writer.Error().find("the disk is full"), std::string::npos) << writer.Error();
    EXPECT_EQ(writer.Write(Traffic()[0]), CAPTURE_WRITE_FAILED);
    EXPECT_EQ(writer.Finish(), CAPTURE_WRITE_FAILED);
    close(fd);
}

// A disk that fills while listening: the Write that hit it says so, nothing more
// is written, and Finish puts in place every piece that was written whole.
TEST_F(CaptureFile, DiskFillingUpMidCaptureIsToldAtOnceAndWhatWasWholeIsKept) {
    if (!MountSmallDisk()) GTEST_SKIP() << "a small filesystem cannot be mounted here";
    std::string path = dir_ + "/cap.pcapng";
    WriteText(path, "old capture");
    PcapngWriter writer;
    ASSERT_EQ(writer.Create(path, {"a"}, "t"), CAPTURE_OK);
    CapturePiece big = Traffic()[4];
    big.line = 0;
    big.bytes.assign(1000, 'x');  // blocks of 1056 bytes: one is cut part way
    int written = 0;
    int result = CAPTURE_OK;
    while (written < 1000 && (result = writer.Write(big)) == CAPTURE_OK) ++written;
    EXPECT_EQ(result, CAPTURE_WRITE_FAILED);
    EXPECT_GT(written, 10);
    EXPECT_LT(written, 70);  // about 64 kB of 1 kB blocks: told when it happened, not later
    EXPECT_NE(writer.Error().find("the disk is full"), std::string::npos) << writer.Error();
    EXPECT_EQ(writer.Write(Traffic()[0]), CAPTURE_WRITE_FAILED);  // and by every call after

    EXPECT_EQ(writer.Finish(), CAPTURE_WRITE_FAILED);  // never reported as whole
    EXPECT_NE(writer.Error().find("up to then is in place"), std::string::npos) << writer.Error();
    EXPECT_EQ(Names(), std::vector<std::string>{"cap.pcapng"});
    PcapngReader reader;
    ASSERT_TRUE(reader.Open(path));
    ReadBack back = ReadAll(reader);
    EXPECT_EQ(back.end, CAPTURE_READ_END) << back.error;  // cut back to its last whole block
    EXPECT_EQ(back.pieces.size(), static_cast<size_t>(written));
}
