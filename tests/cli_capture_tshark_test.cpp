// Capture files in Wireshark: a capture of scripted tap traffic written by the
// writer, read by Debian's tshark with packaging/wireshark/zantrox.lua, field by
// field; without the dissector; by capinfos; cut short; and saved again by
// Wireshark's own writer (editcap) and read back by our reader. Skipped where
// tshark is not installed (tools/install-deps.sh installs it).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "capture/pcapng_reader.h"
#include "capture/pcapng_writer.h"
#include "outputs/text_output.h"
#include "link/frame.h"
#include "tests/support/capture_traffic.h"
#include "tests/support/child.h"
#include "tests/support/files.h"

namespace {

using testsupport::BadFrame;
using testsupport::Child;
using testsupport::Frame;

std::vector<CapturePiece> Traffic() { return testsupport::TapTraffic(); }

std::string Program(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        std::string path = std::string(folder) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// The Info column the dissector should write: the console's trace line for the
// piece without its two time columns (Wireshark has its own).
std::string ConsoleInfo(const CapturePiece& piece) {
    LinePiece tap;
    tap.dir = piece.dir;
    tap.kind = piece.kind;
    tap.bytes = piece.bytes;
    tap.valid = piece.kind == SPLIT_FRAME && piece.bytes == Frame(std::string(piece.bytes.begin() + 1, piece.bytes.end() - 2));
    LineClock clock;
    std::string line = PieceText(tap, clock, true);
    const size_t time = 14, direction = 8, gap = 14;  // "10:30:01.123  ", "host >  ", "%12s  "
    if (line.size() < time + direction + gap) return "(PieceText changed: " + line + ")";
    return line.substr(time, direction) + line.substr(time + direction + gap);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

class CaptureInWireshark : public ::testing::Test {
protected:
    void SetUp() override {
        tshark_ = Program("tshark");
        if (tshark_.empty()) GTEST_SKIP() << "tshark is not installed (tools/install-deps.sh)";
        char name[] = "/tmp/zantrox-tshark-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        capture_ = dir_ + "/tap.pcapng";
        PcapngWriter writer;
        ASSERT_EQ(writer.Create(capture_, {"/dev/ttyUSB0", "COM7"}, "zantrox-cli test"), CAPTURE_OK);
        for (const CapturePiece& piece : Traffic()) ASSERT_EQ(writer.Write(piece), CAPTURE_OK);
        ASSERT_EQ(writer.Finish(), CAPTURE_OK) << writer.Error();
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

    // Runs a program to its end; its exit status, with stdout and stderr kept.
    int Run(const std::vector<std::string>& argv) {
        Child child;
        if (!child.Start(argv, dir_, "run" + std::to_string(++runs_))) return -1;
        int status = child.Wait(120000);
        out_ = child.Stdout();
        err_ = child.Stderr();
        return status;
    }
    // stderr without tshark's note on running as root.
    std::string Complaints() const {
        std::string kept;
        for (const std::string& line : Split(err_, '\n')) {
            if (!line.empty() && line.find("Running as user") == std::string::npos) kept += line + "\n";
        }
        return kept;
    }
    // One row of fields per packet, with the dissector; two passes for response_in,
    // and a read filter, without which tshark does not dissect on the first.
    std::vector<std::vector<std::string>> Fields(const std::string& file, const std::vector<std::string>& fields) {
        std::vector<std::string> argv = {tshark_, "-2", "-R", "frame", "-X", "lua_script:" ZANTROX_DISSECTOR, "-r", file, "-T", "fields"};
        for (const std::string& field : fields) {
            argv.push_back("-e");
            argv.push_back(field);
        }
        EXPECT_EQ(Run(argv), 0) << err_;
        // A Lua error is only a line on stderr; tshark still exits 0.
        EXPECT_EQ(Complaints(), "");
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : Split(out_, '\n')) {
            if (!line.empty()) rows.push_back(Split(line, '\t'));
        }
        return rows;
    }

    std::string tshark_;
    std::string dir_;
    std::string capture_;
    std::string out_, err_;
    int runs_ = 0;
};

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

}  // namespace

TEST_F(CaptureInWireshark, DissectorNamesEveryPieceAndJudgesItsChecksum) {
    auto rows = Fields(capture_, {"frame.protocols", "zantrox.kind", "zantrox.text", "zantrox.checksum",
                                  "zantrox.checksum.status", "_ws.expert.message"});
    ASSERT_EQ(rows.size(), Traffic().size()) << out_;
    const std::vector<std::vector<std::string>> want = {
        {"exported_pdu:zantrox", "frame", "B07EHMS$VLPT", Hex2(Frame("B07EHMS$VLPT").back()), "1", "Pump/Sale/Extended, pump 7"},
        {"exported_pdu:zantrox", "ack", "", "", "", ""},
        {"exported_pdu:zantrox", "frame", "b07E0001234", Hex2(Frame("b07E0001234").back()), "1", "exchange ok, ACK 0.3 ms"},
        {"exported_pdu:zantrox", "frame", "K", Hex2(BadFrame("K").back()), "0",
         // The comment is an expert note of Wireshark's own, before ours.
         "Controller/Versions,Bad checksum " + Hex2(BadFrame("K").back()) + ", should be " + Hex2(Frame("K").back())},
        {"exported_pdu:zantrox", "stray", "", "", "", ""},
        {"exported_pdu:zantrox", "frame", "FE", Hex2(Frame("FE").back()), "1", ""},
        {"exported_pdu:zantrox", "ack", "", "", "", ""},
        {"exported_pdu:zantrox", "incomplete", "b0", "", "", "exchange incomplete"},
    };
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        rows[i].resize(want[i].size());
        EXPECT_EQ(rows[i], want[i]);
    }
}

TEST_F(CaptureInWireshark, RequestsAndAnswersAreLinkedAndTimedFromTheRequestsLastByte) {
    auto rows = Fields(capture_, {"zantrox.response_in", "zantrox.request_in", "zantrox.time"});
    ASSERT_EQ(rows.size(), Traffic().size()) << out_;
    const std::vector<std::vector<std::string>> want = {
        {"2", "", ""},             // the request: answered first by its ACK
        {"", "1", "0.000300000"},  // the ACK: 15.9 ms after the first byte, 0.3 ms after the last
        {"", "1", "0.005400000"},  // the reply: to its first byte
        {"", "", ""},              // a request nobody answered (stray bytes are no answer)
        {"", "", ""},
        {"7", "", ""},
        {"", "6", "0.000801000"},  // to the microsecond
        {"", "", ""},              // a cut frame is no answer
    };
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        rows[i].resize(want[i].size());
        EXPECT_EQ(rows[i], want[i]);
    }
}

TEST_F(CaptureInWireshark, InfoDirectionInterfaceAndCommentAreTheConsolesAndTheWritersOwn) {
    auto rows = Fields(capture_, {"_ws.col.Info", "frame.packet_flags_direction", "frame.interface_name", "frame.comment"});
    std::vector<CapturePiece> traffic = Traffic();
    ASSERT_EQ(rows.size(), traffic.size()) << out_;
    for (size_t i = 0; i < traffic.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        rows[i].resize(4);
        EXPECT_EQ(rows[i][0], ConsoleInfo(traffic[i]));
        EXPECT_EQ(rows[i][1], traffic[i].dir == TAP_HOST ? "0x00000002" : "0x00000001");  // outbound, inbound
        EXPECT_EQ(rows[i][2], traffic[i].line == 0 ? "/dev/ttyUSB0" : "COM7");
        EXPECT_EQ(rows[i][3], traffic[i].comment);
    }
    // Spelt out once, so a change to the console's line is seen here too.
    EXPECT_EQ(rows[0][0], "host >  frame  (CheckSum = OK)     [02]B07EHMS$VLPT [03]" + std::string(1, static_cast<char>(Frame("B07EHMS$VLPT").back())));
    EXPECT_EQ(rows[1][0], "< ctrl  ACK");
    EXPECT_EQ(rows[4][0], "< ctrl  stray   [FF]x [00]");
}

// A plain read (one pass, no fields, no filter) hands the dissector no tree, and
// it then skips the tree's work: the Info column must come out the same.
TEST_F(CaptureInWireshark, InfoIsTheSameWhenTsharkBuildsNoTree) {
    ASSERT_EQ(Run({tshark_, "-X", "lua_script:" ZANTROX_DISSECTOR, "-r", capture_, "-o", "gui.column.format:\"Info\",\"%i\""}), 0)
        << err_;
    EXPECT_EQ(Complaints(), "");
    auto lines = Split(out_, '\n');
    std::vector<CapturePiece> traffic = Traffic();
    ASSERT_EQ(lines.size(), traffic.size() + 1) << out_;  // the last line's end
    for (size_t i = 0; i < traffic.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        EXPECT_EQ(lines[i], ConsoleInfo(traffic[i]));
    }
}

TEST_F(CaptureInWireshark, WithoutTheDissectorTheBytesAreStillShownAndTheFileIsSound) {
    ASSERT_EQ(Run({tshark_, "-r", capture_, "-T", "fields", "-e", "frame.protocols", "-e", "exported_pdu.prot_name",
                   "-e", "exported_pdu.exported_pdu"}), 0) << err_;
    auto lines = Split(out_, '\n');
    std::vector<CapturePiece> traffic = Traffic();
    ASSERT_GE(lines.size(), traffic.size()) << out_;
    for (size_t i = 0; i < traffic.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        std::string hex;
        for (unsigned char b : traffic[i].bytes) {
            char two[4];
            std::snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        auto fields = Split(lines[i], '\t');
        ASSERT_EQ(fields.size(), 3u) << lines[i];
        EXPECT_EQ(fields[0], "exported_pdu");
        EXPECT_EQ(fields[1], "zantrox");
        EXPECT_EQ(fields[2].rfind(hex, 0), 0u) << fields[2];  // the line's bytes first, our trailer after
        EXPECT_EQ(fields[2].size(), hex.size() + 2 * PCAPNG_TRAILER_BYTES);
    }

    std::string capinfos = Program("capinfos");
    ASSERT_FALSE(capinfos.empty());
    EXPECT_EQ(Run({capinfos, "-c", capture_}), 0) << out_ << err_;
    EXPECT_NE(out_.find("Number of packets:   8"), std::string::npos) << out_;
}

// What a crash leaves: a file cut in its last block. Wireshark finds it damaged
// and still shows the whole packets before the cut; so does our reader.
TEST_F(CaptureInWireshark, FileCutInItsLastBlockIsDamagedButItsWholePacketsRead) {
    std::string whole = testsupport::ReadWholeFile(capture_);
    std::string cut = dir_ + "/cut.pcapng";
    {
        std::FILE* f = std::fopen(cut.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(whole.data(), 1, whole.size() - 10, f), whole.size() - 10);
        std::fclose(f);
    }
    EXPECT_NE(Run({Program("capinfos"), "-c", cut}), 0) << out_;
    Run({tshark_, "-r", cut, "-T", "fields", "-e", "frame.number"});
    EXPECT_EQ(out_, "1\n2\n3\n4\n5\n6\n7\n");

    PcapngReader reader;
    ASSERT_TRUE(reader.Open(cut));
    CapturePiece piece;
    int pieces = 0;
    while (reader.Next(piece) == CAPTURE_READ_PIECE) ++pieces;
    EXPECT_EQ(pieces, 7);
    EXPECT_NE(reader.Error().find("cut short"), std::string::npos) << reader.Error();
}

// A capture saved again by Wireshark's own writer, with a comment added there,
// reads back as it was written.
TEST_F(CaptureInWireshark, CaptureSavedAgainByWiresharkReadsBackWithItsComments) {
    std::string editcap = Program("editcap");
    ASSERT_FALSE(editcap.empty());
    std::string saved = dir_ + "/saved.pcapng";
    ASSERT_EQ(Run({editcap, "-F", "pcapng", "-a", "5:noise on the line", capture_, saved}), 0) << err_;
    PcapngReader reader;
    ASSERT_TRUE(reader.Open(saved));
    std::vector<CapturePiece> traffic = Traffic();
    traffic[4].comment = "noise on the line";
    CapturePiece piece;
    for (const CapturePiece& want : traffic) {
        ASSERT_EQ(reader.Next(piece), CAPTURE_READ_PIECE) << reader.Error();
        EXPECT_EQ(piece.line, want.line);
        EXPECT_EQ(piece.dir, want.dir);
        EXPECT_EQ(piece.kind, want.kind);
        EXPECT_EQ(piece.firstUs, want.firstUs);
        EXPECT_EQ(piece.lastUs, want.lastUs);
        EXPECT_EQ(piece.bytes, want.bytes);
        EXPECT_EQ(piece.comment, want.comment);
    }
    EXPECT_EQ(reader.Next(piece), CAPTURE_READ_END) << reader.Error();
    EXPECT_EQ(reader.Lines(), (std::vector<std::string>{"/dev/ttyUSB0", "COM7"}));
}

TEST_F(CaptureInWireshark, InstalledAndGivenAgainTheDissectorLoadsOnceWithoutAnError) {
    // The .deb puts it in a plugin folder; the README's command line gives it again.
    const std::string plugins = dir_ + "/.local/lib/wireshark/plugins";
    std::filesystem::create_directories(plugins);
    std::filesystem::copy_file(ZANTROX_DISSECTOR, plugins + "/zantrox.lua");
    ASSERT_EQ(Run({tshark_, "-X", "lua_script:" ZANTROX_DISSECTOR, "-r", capture_, "-T", "fields", "-e", "zantrox.kind"}), 0)
        << err_;
    EXPECT_EQ(Complaints(), "");
    EXPECT_EQ(Split(out_, '\n').front(), "frame");
}
