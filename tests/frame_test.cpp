// Frames on the wire, reply judging and the trace rendering a technician reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/frame.h"

namespace {

std::vector<unsigned char> FrameOf(const char* text) {
    unsigned char buf[1024];
    int n = BuildFrame(text, buf, sizeof buf);
    return std::vector<unsigned char>(buf, buf + (n < 0 ? 0 : n));
}

std::vector<std::string> Lines(const TraceLines& set) {
    std::vector<std::string> out;
    for (const auto& line : set.line) out.emplace_back(line);
    return out;
}

TraceLines Render(const std::vector<unsigned char>& bytes) {
    TraceLines set;
    std::memset(&set, 'X', sizeof set);  // garbage that a fresh render must not show
    FormatTrace(bytes.data(), static_cast<int>(bytes.size()), set);
    return set;
}

}  // namespace

TEST(FrameBuilding, WorkedFramesAreExact) {
    EXPECT_EQ(FrameOf(""), (std::vector<unsigned char>{0x02, 0x03, 0x7B}));
    EXPECT_EQ(FrameOf("FE"), (std::vector<unsigned char>{0x02, 0x46, 0x45, 0x03, 0x70}));
    EXPECT_EQ(FrameOf("K"), (std::vector<unsigned char>{0x02, 0x4B, 0x03, 0x30}));
    EXPECT_EQ(FrameOf("C01"), (std::vector<unsigned char>{0x02, 0x43, 0x30, 0x31, 0x03, 0x57}));
    std::vector<unsigned char> sale = FrameOf("B01EHMS$VLPT");
    EXPECT_EQ(sale.size(), 15u);
    EXPECT_EQ(sale.back(), 0x41);  // 'A'
}

TEST(FrameBuilding, WholeFrameSumsToZeroAndChecksumHasNoBit7) {
    // High bytes included: the sum is modulo 128 whatever the signedness of char.
    const char* texts[] = {"", "FE", "U01H\n\n\nPrint Header\n\n\n", "\x7F\x80\xFF", "zzzzzzzzzzzzzzzzzzzzzz"};
    for (const char* text : texts) {
        std::vector<unsigned char> frame = FrameOf(text);
        unsigned sum = 0;
        for (unsigned char b : frame) sum += b;
        EXPECT_EQ(sum % 128, 0u) << text;
        EXPECT_EQ(frame.back() & 0x80, 0) << text;
        EXPECT_EQ(frame.size(), std::strlen(text) + 3);
    }
}

TEST(FrameBuilding, RefusesFramesThatDoNotFit) {
    unsigned char buf[5];
    EXPECT_EQ(BuildFrame("FE", buf, 5), 5);
    EXPECT_EQ(BuildFrame("FEX", buf, 5), -1);
    std::string longest(999, 'a');
    unsigned char big[1024];
    EXPECT_EQ(BuildFrame(longest.c_str(), big, sizeof big), 1002);
}

TEST(ReplyJudging, SumsOfMultiplesOf128AreValid) {
    EXPECT_TRUE(ReplyChecksumValid(100, 28));   // 128
    EXPECT_TRUE(ReplyChecksumValid(200, 56));   // 256
    EXPECT_FALSE(ReplyChecksumValid(100, 29));  // 129
    EXPECT_TRUE(ReplyChecksumValid(0x02 + 0x46 + 0x45 + 0x03, 0x70));
}

TEST(TraceFormat, PrintableBytesStandForThemselvesOthersInBrackets) {
    EXPECT_EQ(Lines(Render(FrameOf("FE")))[0], " [02]FE [03]p");
    EXPECT_EQ(Lines(Render({0x06}))[0], " [06]");
    EXPECT_EQ(Lines(Render({'a', 0x0A, 'b'}))[0], "a [0A]b");
    EXPECT_EQ(Lines(Render({0x7F, 0xFF, 0x80, 0x00, 0x20, 0x7E}))[0], " [7F] [FF] [80] [00] ~");
}

TEST(TraceFormat, EmptyInputLeavesAllLinesEmpty) {
    for (const std::string& line : Lines(Render({}))) EXPECT_EQ(line, "");
}

TEST(TraceFormat, WrapsAfterThePieceThatPassesColumn75) {
    std::vector<unsigned char> bytes(76, 'a');
    std::vector<std::string> lines = Lines(Render(bytes));
    EXPECT_EQ(lines[0], std::string(76, 'a'));
    EXPECT_EQ(lines[1], "");

    bytes.push_back('b');  // the 77th byte starts line 2
    lines = Lines(Render(bytes));
    EXPECT_EQ(lines[0], std::string(76, 'a'));
    EXPECT_EQ(lines[1], "b");

    std::vector<unsigned char> control(75, 'c');
    control.push_back(0x03);  // 75 + one control byte: an 80-character line
    control.push_back('d');
    lines = Lines(Render(control));
    EXPECT_EQ(lines[0].size(), 80u);
    EXPECT_EQ(lines[0], std::string(75, 'c') + " [03]");
    EXPECT_EQ(lines[1], "d");
}

TEST(TraceFormat, NothingIsWrittenPastTheFifthLine) {
    // 2000 control bytes need 125 lines; only five are kept, each at most 80 long.
    std::vector<unsigned char> bytes(2000, 0x01);
    TraceLines set;
    FormatTrace(bytes.data(), static_cast<int>(bytes.size()), set);
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) {
        EXPECT_EQ(std::strlen(set.line[i]), 80u);
        EXPECT_EQ(std::string(set.line[i], 5), " [01]");
    }
    // Printable overflow: lines of 76, and the excess dropped.
    std::vector<unsigned char> text(76 * 5 + 40, 'q');
    std::vector<std::string> lines = Lines(Render(text));
    for (const std::string& line : lines) EXPECT_EQ(line, std::string(76, 'q'));
}
