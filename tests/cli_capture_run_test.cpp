// Captures made by the programs against the simulator: send, check and the tap
// write one block a piece with the requests named and the verdicts on the pieces
// that end them; the tap's capture read back gives exactly what was shown live;
// Wireshark's tshark reads them with the dissector and captures live through the
// extcap; files that are not whole captures are refused with the block.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "capture/pcapng_reader.h"
#include "link/frame_splitter.h"
#include "tests/support/child.h"
#include "tests/support/files.h"
#include "tests/support/pty_peer.h"
#include "tests/support/sim_process.h"

#ifndef ZANTROX_CLI_PATH
#error "ZANTROX_CLI_PATH must name the zantrox-cli program"
#endif

using testsupport::Child;

namespace {

const int WAIT_MS = 20000;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool Have(const char* program) {
    std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

struct Read {
    std::vector<CapturePiece> pieces;
    std::vector<std::string> lines;
    std::string error;
};

Read ReadCapture(const std::string& path) {
    Read read;
    PcapngReader reader;
    if (!reader.Open(path)) {
        read.error = reader.Error();
        return read;
    }
    CapturePiece piece;
    while (reader.Next(piece) == CAPTURE_READ_PIECE) read.pieces.push_back(piece);
    read.lines = reader.Lines();
    read.error = reader.Error();
    return read;
}

// "exchange ok, ACK 0.3 ms, reply 1.2 ms" -> "exchange ok": the times vary.
std::string Verdict(const std::string& comment) {
    size_t at = comment.find("exchange ");
    if (at == std::string::npos) return "";
    std::string rest = comment.substr(at);
    return rest.substr(0, rest.find(','));
}

class CaptureRun : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/zantrox-capture-run-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        children_.clear();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // The simulator on a terminal of its own, answering at once; `extra` options.
    void StartSim(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), "--instant");
        children_.emplace_back(new Child);
        ASSERT_TRUE(testsupport::StartSimulatorChild(*children_.back(), ZANTROX_SIM_PATH, dir_,
                                                     "sim" + std::to_string(children_.size()), extra, pty_));
    }
    Child* Spawn(const std::vector<std::string>& args, const std::string& name) {
        children_.emplace_back(new Child);
        EXPECT_TRUE(children_.back()->Start(args, dir_, name));
        return children_.back().get();
    }
    // Runs zantrox-cli to its end; its output in out_ and err_.
    int Cli(const std::vector<std::string>& args) {
        std::vector<std::string> all = {ZANTROX_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        Child cli;
        EXPECT_TRUE(cli.Start(all, dir_, "cli"));
        int status = cli.Wait(WAIT_MS);
        out_ = cli.Stdout();
        err_ = cli.Stderr();
        return status;
    }

    std::string dir_;
    std::string pty_;
    std::vector<std::unique_ptr<Child>> children_;
    std::string out_;
    std::string err_;
};

}  // namespace

TEST_F(CaptureRun, SendWritesABlockAPieceWithEachRequestNamedAndEachVerdictWhereItsExchangeEnds) {
    StartSim();
    const std::string path = dir_ + "/send.pcapng";
    ASSERT_EQ(Cli({"send", "--port", pty_, "--interval", "0", "--pcapng", path, "key:S", "key:R", "Pump/Sale/Read"}), 0)
        << err_;
    EXPECT_NE(out_.find("capture: " + path), std::string::npos) << out_;
    Read read = ReadCapture(path);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.lines, std::vector<std::string>{pty_});  // the port as it was given
    std::vector<int> kinds, dirs;
    std::vector<std::string> comments;
    for (const CapturePiece& p : read.pieces) {
        kinds.push_back(p.kind);
        dirs.push_back(p.dir);
        comments.push_back(p.kind == SPLIT_FRAME && p.dir == TAP_CTRL ? Verdict(p.comment) : p.comment);
        EXPECT_LE(p.firstUs, p.lastUs);
    }
    const std::vector<int> exchange = {SPLIT_FRAME, SPLIT_ACK, SPLIT_FRAME};
    EXPECT_EQ(kinds, (std::vector<int>{SPLIT_FRAME, SPLIT_ACK, SPLIT_FRAME, SPLIT_FRAME, SPLIT_ACK, SPLIT_FRAME,
                                       SPLIT_FRAME, SPLIT_ACK, SPLIT_FRAME}));
    EXPECT_EQ(dirs, (std::vector<int>{TAP_HOST, TAP_CTRL, TAP_CTRL, TAP_HOST, TAP_CTRL, TAP_CTRL, TAP_HOST, TAP_CTRL,
                                      TAP_CTRL}));
    EXPECT_EQ(comments, (std::vector<std::string>{"Pump/Status/Extended", "", "exchange ok", "Pump/Sale/Extended, pump 1",
                                                  "", "exchange ok", "Pump/Sale/Read, pump 1", "", "exchange ok"}));
    // In time order, each request before what answered it.
    for (size_t i = 1; i < read.pieces.size(); ++i) EXPECT_GE(read.pieces[i].firstUs, read.pieces[i - 1].lastUs);

    // A reply that fails its checksum: the verdict says so on it.
    StartSim({"--fault", "bad-checksum"});
    ASSERT_EQ(Cli({"send", "--port", pty_, "--pcapng", path, "key:S"}), 1) << err_;
    read = ReadCapture(path);
    ASSERT_EQ(read.pieces.size(), 3u);
    EXPECT_FALSE(read.pieces[2].valid);
    EXPECT_EQ(Verdict(read.pieces[2].comment), "exchange checksum-error");
}

TEST_F(CaptureRun, CheckCapturesEveryTransactionItRan) {
    StartSim();
    const std::string path = dir_ + "/check.pcapng";
    ASSERT_EQ(Cli({"check", "--port", pty_, "--rounds", "1", "--interval", "0", "--json", "--report",
                   dir_ + "/check.html", "--pcapng", path}),
              0)
        << err_;
    Read read = ReadCapture(path);
    EXPECT_EQ(read.error, "");
    size_t requests = 0, verdicts = 0;
    for (const CapturePiece& p : read.pieces) {
        if (p.dir == TAP_HOST) ++requests;
        if (p.comment.find("exchange ok") != std::string::npos) ++verdicts;
    }
    const size_t transactions = SplitLines(out_).size();
    EXPECT_EQ(transactions, 19u);
    EXPECT_EQ(requests, transactions);
    EXPECT_EQ(verdicts, transactions);
}

TEST_F(CaptureRun, TheTapsCaptureReadBackShowsExactlyWhatWasShownLive) {
    const std::string host = dir_ + "/host", ctrl = dir_ + "/ctrl";
    StartSim({"--tap-links", host, ctrl});
    const std::string path = dir_ + "/tap.pcapng";
    Child* tap = Spawn({ZANTROX_CLI_PATH, "watch", "--tap", host, ctrl, "--json", "--pcapng", path}, "tap");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return tap->Stderr().find("listening") != std::string::npos; }, WAIT_MS));
    ASSERT_EQ(Cli({"send", "--port", pty_, "--interval", "0", "key:S", "key:R", "Pump/Totals/Hose1"}), 0) << err_;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Count(tap->Stdout(), "\"kind\":\"exchange\"") >= 3; }, WAIT_MS));
    tap->Signal(SIGINT);
    ASSERT_EQ(tap->Wait(WAIT_MS), 0) << tap->Stderr();
    const std::string live = tap->Stdout();

    ASSERT_EQ(Cli({"watch", "--from", path, "--json"}), 0) << err_;
    EXPECT_EQ(out_, live);  // every piece and exchange, to the microsecond
    Read read = ReadCapture(path);
    EXPECT_EQ(read.lines, (std::vector<std::string>{host, ctrl}));

    // The text form, and the report, from the file alone.
    const std::string report = dir_ + "/from.html";
    ASSERT_EQ(Cli({"watch", "--from", path, "--report", report}), 0) << err_;
    EXPECT_NE(out_.find("3 exchanges: ok 3"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Pump/Totals/Hose1"), std::string::npos) << out_;
    std::string html = testsupport::ReadWholeFile(report);
    EXPECT_NE(html.find("read back from a capture"), std::string::npos);
}

TEST_F(CaptureRun, FilesThatAreNotWholeCapturesAreRefusedNamingTheBlock) {
    StartSim();
    const std::string path = dir_ + "/send.pcapng";
    ASSERT_EQ(Cli({"send", "--port", pty_, "--interval", "0", "--pcapng", path, "key:S", "key:R"}), 0) << err_;
    std::string whole = testsupport::ReadWholeFile(path);

    // Not a capture at all: nothing shown.
    const std::string text = dir_ + "/notes.txt";
    std::ofstream(text) << "{\"kind\":\"frame\"}\n";
    EXPECT_EQ(Cli({"watch", "--from", text}), 2);
    EXPECT_NE(err_.find("block 1:"), std::string::npos) << err_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(Cli({"watch", "--from", dir_ + "/missing.pcapng"}), 2);

    // Cut inside its last block (a pulled plug): what came before is judged, and the
    // exit status says the file was not whole.
    const std::string cut = dir_ + "/cut.pcapng";
    std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() - 10);
    EXPECT_EQ(Cli({"watch", "--from", cut}), 1);
    EXPECT_NE(err_.find("block "), std::string::npos) << err_;
    EXPECT_NE(err_.find("what came before it is shown"), std::string::npos) << err_;
    EXPECT_NE(out_.find("exchange  ok  FE  Pump/Status/Extended"), std::string::npos) << out_;

    // A length that runs past its block.
    std::string hostile = whole;
    hostile[hostile.size() - 4] = static_cast<char>(0x7F);
    const std::string bad = dir_ + "/bad.pcapng";
    std::ofstream(bad, std::ios::binary) << hostile;
    EXPECT_EQ(Cli({"watch", "--from", bad}), 1);
    EXPECT_NE(err_.find("block "), std::string::npos) << err_;

    // --from reads a file: a line given beside it is a mistake.
    EXPECT_EQ(Cli({"watch", "--from", path, "--port", pty_}), 2);
}

TEST_F(CaptureRun, ACaptureThatCannotBeWrittenSendsNothing) {
    StartSim({"--log", dir_ + "/sim.log"});
    EXPECT_EQ(Cli({"send", "--port", pty_, "--pcapng", dir_ + "/no/such/folder/x.pcapng", "key:S"}), 2);
    EXPECT_NE(err_.find("nothing was sent"), std::string::npos) << err_;
    EXPECT_EQ(testsupport::ReadWholeFile(dir_ + "/sim.log").find("FE"), std::string::npos);  // no frame came
    EXPECT_EQ(Cli({"send", "--port", pty_, "--pcapng", "-", "--json", "key:S"}), 2);
}

TEST_F(CaptureRun, TsharkReadsTheCapturesWithTheDissectorAndLinksEachRequestToItsAnswer) {
    if (!Have("tshark")) GTEST_SKIP() << "tshark is not installed";
    const std::string host = dir_ + "/host", ctrl = dir_ + "/ctrl";
    StartSim({"--tap-links", host, ctrl});
    const std::string tapPath = dir_ + "/tap.pcapng", sendPath = dir_ + "/send.pcapng";
    Child* tap = Spawn({ZANTROX_CLI_PATH, "watch", "--tap", host, ctrl, "--pcapng", tapPath}, "tap");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return tap->Stderr().find("listening") != std::string::npos; }, WAIT_MS));
    ASSERT_EQ(Cli({"send", "--port", pty_, "--interval", "0", "--pcapng", sendPath, "key:S", "key:R"}), 0) << err_;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Count(tap->Stdout(), "exchange  ok") >= 2; }, WAIT_MS));
    tap->Signal(SIGINT);
    ASSERT_EQ(tap->Wait(WAIT_MS), 0);

    for (const std::string& path : {sendPath, tapPath}) {
        SCOPED_TRACE(path);
        std::string command = "capinfos -c '" + path + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        command = "tshark -2 -R zantrox -X lua_script:" ZANTROX_DISSECTOR " -r '" + path +
                  "' -T fields -E separator='|' -e zantrox.kind -e zantrox.response_in -e zantrox.request_in"
                  " -e zantrox.checksum.status > '" + dir_ + "/fields' 2> '" + dir_ + "/tshark.err'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(testsupport::ReadWholeFile(dir_ + "/tshark.err").find("Lua"), std::string::npos);
        EXPECT_EQ(SplitLines(testsupport::ReadWholeFile(dir_ + "/fields")),
                  (std::vector<std::string>{"frame|2||1", "ack||1|", "frame||1|1", "frame|5||1", "ack||4|",
                                            "frame||4|1"}));
    }
}

TEST_F(CaptureRun, WiresharkCapturesLiveThroughTheExtcapAndStopsIt) {
    if (!Have("tshark")) GTEST_SKIP() << "tshark is not installed";
    // Wireshark takes the extcap folder from its environment only when it runs
    // without privileges: as root the test runs it as nobody.
    const bool root = geteuid() == 0;
    if (root && !Have("runuser")) GTEST_SKIP() << "runuser is needed to run tshark without privileges";
    const std::string extcaps = dir_ + "/extcap", out = dir_ + "/out";
    std::filesystem::create_directories(extcaps);
    std::filesystem::create_directories(out);
    std::filesystem::copy_file(ZANTROX_EXTCAP_PATH, extcaps + "/zantrox-extcap");
    chmod(dir_.c_str(), 0755);
    chmod(extcaps.c_str(), 0755);
    chmod(out.c_str(), 0777);
    const std::string host = dir_ + "/host", ctrl = dir_ + "/ctrl";
    StartSim({"--tap-links", host, ctrl});
    for (const std::string& link : {host, ctrl}) chmod(std::filesystem::canonical(link).c_str(), 0666);

    // Child runs a program by its path.
    std::vector<std::string> args;
    if (root) args = {"/usr/sbin/runuser", "-u", "nobody", "--"};
    const std::vector<std::string> tshark = {
        "/usr/bin/env", "HOME=" + out, "WIRESHARK_EXTCAP_DIR=" + extcaps, "tshark", "-i", "zantrox-tap",
        "-o", "extcap.zantrox_tap.hostport:" + host, "-o", "extcap.zantrox_tap.ctrlport:" + ctrl,
        "-a", "packets:6", "-w", out + "/live.pcapng"};
    args.insert(args.end(), tshark.begin(), tshark.end());
    Child* capture = Spawn(args, "tshark");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return capture->Stderr().find("Capturing on") != std::string::npos; },
                                       WAIT_MS))
        << capture->Stderr();
    // The extcap opens its lines a moment after Wireshark says it captures:
    // requests go until six pieces were heard.
    int status = -1;
    for (int i = 0; i < 40 && status < 0; ++i) {
        ASSERT_EQ(Cli({"send", "--port", pty_, "key:S"}), 0) << err_;
        status = capture->Wait(300);
    }
    ASSERT_EQ(status, 0) << capture->Stderr();
    Read read = ReadCapture(out + "/live.pcapng");
    ASSERT_EQ(read.pieces.size(), 6u) << read.error;
    EXPECT_EQ(read.pieces[0].kind, SPLIT_FRAME);
    EXPECT_EQ(read.pieces[0].comment, "Pump/Status/Extended");
    EXPECT_EQ(read.pieces[1].kind, SPLIT_ACK);
    EXPECT_EQ(read.pieces[1].dir, TAP_CTRL);
    // Wireshark stopped the extcap; it is gone.
    // The bracket keeps pgrep from finding the shell that runs it.
    const std::string gone = "! pgrep -f '" + extcaps + "/[z]antrox-extcap' >/dev/null";
    EXPECT_TRUE(testsupport::WaitUntil([&] { return std::system(gone.c_str()) == 0; }, WAIT_MS));
}
