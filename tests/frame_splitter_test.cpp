// Splitting a line's bytes into ACKs, frames, cut-off frames and stray bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame.h"
#include "link/frame_splitter.h"

namespace {

struct Piece {
    int kind;
    int valid;
    std::string bytes;
};

std::vector<Piece> Split(const std::vector<unsigned char>& line, bool flushAtEnd = true) {
    static FrameSplitter splitter;
    ResetSplitter(splitter);
    std::vector<Piece> pieces;
    SplitPiece out[2];
    for (unsigned char b : line) {
        int n = SplitterFeed(splitter, b, out);
        for (int i = 0; i < n; ++i) {
            pieces.push_back({out[i].kind, out[i].valid,
                              std::string(reinterpret_cast<const char*>(out[i].bytes), out[i].length)});
        }
    }
    if (flushAtEnd && SplitterFlush(splitter, out[0]) == 1) {
        pieces.push_back({out[0].kind, out[0].valid,
                          std::string(reinterpret_cast<const char*>(out[0].bytes), out[0].length)});
    }
    return pieces;
}

std::vector<unsigned char> Frame(const char* text) {
    unsigned char buffer[1100];
    int n = BuildFrame(text, buffer, sizeof buffer);
    return std::vector<unsigned char>(buffer, buffer + n);
}

std::vector<unsigned char> operator+(std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(FrameSplitter, AckThenAGoodReplyAndABadOne) {
    std::vector<unsigned char> bad = Frame("F01");
    bad.back() = static_cast<unsigned char>((bad.back() + 1) & 0x7F);
    std::vector<Piece> p = Split(std::vector<unsigned char>{ACK} + Frame("B01R011111001332") + bad);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].kind, SPLIT_ACK);
    EXPECT_EQ(p[1].kind, SPLIT_FRAME);
    EXPECT_EQ(p[1].valid, 1);
    EXPECT_EQ(p[2].kind, SPLIT_FRAME);
    EXPECT_EQ(p[2].valid, 0);

    SplitPiece piece;
    piece.length = static_cast<int>(p[1].bytes.size());
    std::copy(p[1].bytes.begin(), p[1].bytes.end(), piece.bytes);
    char text[64];
    EXPECT_EQ(SplitFrameText(piece, text, sizeof text), 16);
    EXPECT_STREQ(text, "B01R011111001332");
    EXPECT_EQ(SplitFrameText(piece, text, 5), 4);  // cut to fit, still terminated
    EXPECT_STREQ(text, "B01R");
}

TEST(FrameSplitter, StrayBytesAreGroupedUntilSomethingElseBegins) {
    std::vector<Piece> p = Split(std::vector<unsigned char>{0x15, 0x7E, 'x', ACK, 'z'} + Frame("FE"));
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].kind, SPLIT_STRAY);
    EXPECT_EQ(p[0].bytes, "\x15\x7Ex");
    EXPECT_EQ(p[1].kind, SPLIT_ACK);
    EXPECT_EQ(p[2].kind, SPLIT_STRAY);
    EXPECT_EQ(p[2].bytes, "z");
    EXPECT_EQ(p[3].kind, SPLIT_FRAME);
}

TEST(FrameSplitter, FramesCutOffBySilenceOrANewStartAreReportedAsSuch) {
    std::vector<unsigned char> half = {STX, 'B', '0'};
    std::vector<Piece> p = Split(half + Frame("K"));
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].kind, SPLIT_BROKEN);
    EXPECT_EQ(p[0].bytes, "\x02" "B0");
    EXPECT_EQ(p[1].kind, SPLIT_FRAME);
    EXPECT_EQ(p[1].valid, 1);

    // ETX came but not its checksum: still cut off when the line falls silent.
    p = Split({STX, 'K', ETX});
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].kind, SPLIT_BROKEN);
    EXPECT_TRUE(Split({}, true).empty());
}

TEST(FrameSplitter, EndlessInputNeverOverrunsAPiece) {
    // A frame that never ends, then plain bytes that never stop: every piece fits.
    std::vector<unsigned char> line = {STX};
    line.insert(line.end(), 5000, 'A');
    line.push_back(ETX);
    line.push_back('?');
    line.insert(line.end(), 3000, 'z');
    std::vector<Piece> p = Split(line);
    size_t total = 0;
    for (const Piece& piece : p) {
        EXPECT_LE(piece.bytes.size(), static_cast<size_t>(SPLIT_BYTES));
        total += piece.bytes.size();
    }
    EXPECT_EQ(total, line.size());  // nothing lost either
    EXPECT_EQ(p.front().kind, SPLIT_BROKEN);
}
