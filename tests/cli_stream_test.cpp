// The stream of line events and the capture fed from it: a transaction this
// program ran cut into the pieces a listener would hear, verdicts on the piece
// that ends each exchange, a live capture that lags no more than the exchange
// still open, and a capture whose reader went away ending the run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "capture/pcapng_reader.h"
#include "extcap/extcap.h"
#include "outputs/pcapng_output.h"
#include "events/stop.h"
#include "events/sent_exchange.h"
#include "events/verdicts.h"
#include "commands/settings.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "link/transaction.h"
#include "tests/support/pty_peer.h"
#include "tests/support/scratch_folder.h"

using testsupport::Bytes;
using testsupport::Frame;

namespace {

// Everything the stream hands over, in order.
class Recorder : public LineOutput {
public:
    void Piece(const LinePiece& piece) override {
        pieces.push_back(piece);
        order += 'p';
    }
    void Exchange(const ExchangeEvent& exchange) override {
        exchanges.push_back(exchange);
        order += 'x';
    }
    void Settled() override { order += 's'; }
    std::vector<LinePiece> pieces;
    std::vector<ExchangeEvent> exchanges;
    std::string order;
};

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

LinePiece Piece(int dir, int kind, const Bytes& bytes, long long firstUs, long long lastUs, int line = 0) {
    LinePiece piece;
    piece.dir = dir;
    piece.line = line;
    piece.kind = kind;
    piece.bytes = bytes;
    piece.firstUs = firstUs;
    piece.lastUs = lastUs;
    return piece;
}

ExchangeEvent Judged(int verdict, long long firstUs, long long endUs, double ackMs = -1, double replyMs = -1) {
    ExchangeEvent e;
    e.verdict = verdict;
    e.firstUs = firstUs;
    e.endUs = endUs;
    e.ackMs = ackMs;
    e.replyMs = replyMs;
    return e;
}

std::vector<CapturePiece> ReadAll(PcapngReader& reader) {
    std::vector<CapturePiece> pieces;
    CapturePiece piece;
    while (reader.Next(piece) == CAPTURE_READ_PIECE) pieces.push_back(piece);
    return pieces;
}

ConsoleSettings DefaultSettings() {
    ResetConsoleSettings();
    return Settings;
}

class CaptureOutput : public testsupport::ScratchFolder {
protected:
    CaptureOutput() : names_(DefaultSettings()) {}
    const CommandNames names_;
};

}  // namespace

TEST(SentTransaction, IsCutIntoThePiecesAListenerWouldHearThenJudgedThenSettled) {
    TransactionResult r;
    r.verdict = VERDICT_OK;
    r.frame = Frame("B07R");
    r.startUs = 1000;
    r.writeUs = 101000;
    r.sentUs = 106000;
    r.answerMs = 2.0;
    // Noise before the ACK, the ACK, the reply; a time for every byte.
    Bytes received = Cat(Cat(Bytes{0x15, 0x7E}, Bytes{ACK}), Frame("B07R 1"));
    long long t = 107000;
    for (unsigned char b : received) {
        r.received.push_back(b);
        r.receivedUs.push_back(t);
        t += 1000;
    }
    LineStream stream({"COM1"}, LineClock::Calendar());
    Recorder recorder;
    stream.Add(recorder);
    PublishTransaction(stream, r, 3, false);

    EXPECT_EQ(recorder.order, "ppppxs");
    ASSERT_EQ(recorder.pieces.size(), 4u);
    const LinePiece& frame = recorder.pieces[0];
    EXPECT_EQ(frame.dir, TAP_HOST);
    EXPECT_EQ(frame.kind, SPLIT_FRAME);
    EXPECT_EQ(frame.bytes, Frame("B07R"));
    EXPECT_EQ(frame.firstUs, 101000);  // the write asked for ...
    EXPECT_EQ(frame.lastUs, 106000);   // ... and returned
    EXPECT_EQ(recorder.pieces[1].kind, SPLIT_STRAY);
    EXPECT_EQ(recorder.pieces[2].kind, SPLIT_ACK);
    EXPECT_EQ(recorder.pieces[2].firstUs, 109000);
    EXPECT_EQ(recorder.pieces[3].kind, SPLIT_FRAME);
    EXPECT_TRUE(recorder.pieces[3].valid);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(recorder.pieces[i].dir, TAP_CTRL);

    const ExchangeEvent& e = recorder.exchanges[0];
    EXPECT_EQ(e.sent, &r);
    EXPECT_EQ(e.round, 3);
    EXPECT_FALSE(e.perPump);
    EXPECT_EQ(e.firstUs, 101000);
    EXPECT_EQ(e.endUs, recorder.pieces[3].lastUs);
    EXPECT_DOUBLE_EQ(e.ackMs, 2.0);
    EXPECT_DOUBLE_EQ(e.replyMs, (110000 - 106000) / 1000.0);  // the request's end to the reply's first byte
}

TEST(SentTransaction, AFrameHeldBackByALineThatNeverWentQuietLeavesOnlyWhatCame) {
    TransactionResult r;
    r.verdict = VERDICT_LINE_NEVER_QUIET;
    r.startUs = 5000;
    for (int i = 0; i < 5; ++i) {
        r.received.push_back('z');
        r.receivedUs.push_back(6000 + i);
    }
    LineStream stream({"COM1"}, LineClock::Calendar());
    Recorder recorder;
    stream.Add(recorder);
    PublishTransaction(stream, r);
    ASSERT_EQ(recorder.pieces.size(), 1u);
    EXPECT_EQ(recorder.pieces[0].kind, SPLIT_STRAY);
    EXPECT_EQ(recorder.pieces[0].dir, TAP_CTRL);
    ASSERT_EQ(recorder.exchanges.size(), 1u);
    EXPECT_EQ(recorder.exchanges[0].firstUs, 5000);
    EXPECT_EQ(recorder.exchanges[0].ackMs, -1);
}

TEST_F(CaptureOutput, VerdictsGoOnThePiecesThatEndTheirExchangesAndRequestsAreNamed) {
    const std::string path = dir_ + "/c.pcapng";
    OutputOptions options;
    options.pcapng = path;
    PcapngOutput out(&names_, LineClock::Calendar(), stderr);
    std::string error;
    ASSERT_TRUE(out.Open(options, {"host", "ctrl"}, error)) << error;
    const long long t = 1796800000000000ll;
    // A whole exchange.
    out.Piece(Piece(TAP_HOST, SPLIT_FRAME, Frame("B07EHMS$VLPT"), t, t + 15000));
    out.Piece(Piece(TAP_CTRL, SPLIT_ACK, Bytes{ACK}, t + 15300, t + 15300, 1));
    out.Piece(Piece(TAP_CTRL, SPLIT_FRAME, Frame("b07"), t + 20000, t + 24000, 1));
    out.Exchange(Judged(VERDICT_OK, t, t + 24000, 0.3, 5.0));
    out.Settled();
    // A request nobody answered: its own piece ends it.
    out.Piece(Piece(TAP_HOST, SPLIT_FRAME, Frame("K"), t + 500000, t + 503000));
    out.Exchange(Judged(VERDICT_NO_ACK, t + 500000, t + 503000));
    out.Settled();
    // Overlap: the first request is judged when the second comes; the second stays open.
    out.Piece(Piece(TAP_HOST, SPLIT_FRAME, Frame("B01R"), t + 700000, t + 702000));
    out.Piece(Piece(TAP_HOST, SPLIT_FRAME, Frame("B02R"), t + 703000, t + 705000));
    out.Exchange(Judged(VERDICT_OVERLAP, t + 700000, t + 702000));
    out.Piece(Piece(TAP_CTRL, SPLIT_ACK, Bytes{ACK}, t + 706000, t + 706000, 1));
    out.Exchange(Judged(VERDICT_OK, t + 703000, t + 706000, 1.0));
    out.Settled();
    EXPECT_EQ(out.Finish(StreamEnd()), 0);

    PcapngReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.Error();
    std::vector<CapturePiece> pieces = ReadAll(reader);
    EXPECT_EQ(reader.Error(), "");
    ASSERT_EQ(pieces.size(), 7u);
    std::vector<std::string> comments;
    for (const CapturePiece& p : pieces) comments.push_back(p.comment);
    EXPECT_EQ(comments, (std::vector<std::string>{
                            "Pump/Sale/Extended, pump 7",
                            "",
                            "exchange ok, ACK 0.3 ms, reply 5.0 ms",
                            "Pump/SYSTEM_VERSIONS/Standard; exchange no-ack",
                            "Pump/Sale/Read, pump 1; exchange overlap",
                            "Pump/Sale/Read, pump 2",
                            "exchange ok, ACK 1.0 ms",
                        }));
    EXPECT_EQ(pieces[1].line, 1);
    EXPECT_EQ(pieces[1].dir, TAP_CTRL);
    EXPECT_EQ(pieces[0].firstUs, t);
    EXPECT_EQ(pieces[0].lastUs, t + 15000);
}

TEST_F(CaptureOutput, ALiveCaptureHoldsOnlyWhatAnOpenExchangeMayStillEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    OutputOptions options;
    options.pcapngFd = fds[1];
    PcapngOutput out(&names_, LineClock::Calendar(), stderr);
    std::string error;
    ASSERT_TRUE(out.Open(options, {"COM1"}, error)) << error;
    auto drained = [&] {
        unsigned char buffer[65536];
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        return n > 0 ? static_cast<size_t>(n) : 0;
    };
    EXPECT_GT(drained(), 0u);  // the section header and the interface go at once

    const long long t = 1796800000000000ll;
    out.Piece(Piece(TAP_UNKNOWN, SPLIT_STRAY, Bytes{'z'}, t, t));
    out.Settled();
    EXPECT_GT(drained(), 0u);  // nothing open: written at once
    out.Piece(Piece(TAP_HOST, SPLIT_FRAME, Frame("FE"), t + 1000, t + 2000));
    EXPECT_EQ(drained(), 0u);  // a request waits for its verdict
    out.Exchange(Judged(VERDICT_NO_ACK, t + 1000, t + 2000));
    EXPECT_GT(drained(), 0u);

    // Exchanges that overlap without end do not hold pieces without bound.
    for (int i = 0; i < PcapngOutput::HELD_MOST + 10; ++i) {
        long long at = t + 10000 + i * 100;
        out.Piece(Piece(TAP_HOST, SPLIT_FRAME, Frame("FE"), at, at + 50));
    }
    size_t bytes = drained();
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(out.Finish(StreamEnd()), 0);
    EXPECT_GT(drained(), 0u);  // the rest at the end
    close(fds[0]);
    close(fds[1]);
}

TEST_F(CaptureOutput, AReaderThatWentAwayStopsTheRunAndTheEndSaysItFailed) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    OutputOptions options;
    options.pcapngFd = fds[1];
    PcapngOutput out(nullptr, LineClock::Calendar(), stderr);
    std::string error;
    ASSERT_TRUE(out.Open(options, {"COM1"}, error)) << error;
    close(fds[0]);
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);
    stopTransactions.store(0);
    out.Piece(Piece(TAP_UNKNOWN, SPLIT_ACK, Bytes{ACK}, 1, 1));
    out.Settled();
    EXPECT_TRUE(out.Broken());
    EXPECT_TRUE(StopRequested());
    EXPECT_NE(out.Finish(StreamEnd()), 0);
    stopTransactions.store(0);
    sigaction(SIGPIPE, &before, nullptr);
    close(fds[1]);
}

TEST_F(CaptureOutput, ATargetThatCannotTakeACaptureIsRefusedBeforeAnythingIsSent) {
    OutputOptions options;
    PcapngOutput out(nullptr, LineClock::Calendar(), stderr);
    std::string error;
    options.pcapng = dir_ + "/no/such/folder/c.pcapng";
    EXPECT_FALSE(out.Open(options, {"COM1"}, error));
    EXPECT_FALSE(error.empty());
    options.pcapng = dir_;  // a folder
    EXPECT_FALSE(out.Open(options, {"COM1"}, error));
    EXPECT_TRUE(Names().empty());  // nothing left behind
}

TEST(Extcap, WiresharkIsToldTheInterfacesTheirLinkTypeAndTheirSettings) {
    std::string error;
    ExtcapCall call;
    call.kind = ExtcapCall::INTERFACES;
    std::string list = ExtcapAnswer(call, "9.9.9", error);
    EXPECT_EQ(list.rfind("extcap {version=9.9.9}", 0), 0u) << list;
    EXPECT_NE(list.find("interface {value=zantrox-line}{display=Zantrox line}\n"), std::string::npos);
    EXPECT_NE(list.find("interface {value=zantrox-tap}{display=Zantrox tap}\n"), std::string::npos);

    call.kind = ExtcapCall::DLTS;
    call.interfaceName = EXTCAP_TAP;
    EXPECT_EQ(ExtcapAnswer(call, "9.9.9", error).rfind("dlt {number=252}", 0), 0u);

    call.kind = ExtcapCall::CONFIG;
    std::string tap = ExtcapAnswer(call, "9.9.9", error);
    EXPECT_NE(tap.find("{call=--host-port}"), std::string::npos);
    EXPECT_NE(tap.find("{call=--ctrl-port}"), std::string::npos);
    EXPECT_NE(tap.find("{value=9600}{display=9600}{default=true}"), std::string::npos);
    call.interfaceName = EXTCAP_LINE;
    std::string line = ExtcapAnswer(call, "9.9.9", error);
    EXPECT_NE(line.find("{call=--port}"), std::string::npos);
    EXPECT_EQ(line.find("--host-port"), std::string::npos);
    // Every argument a value refers to exists.
    for (const std::string& text : {tap, line}) {
        for (size_t at = text.find("value {arg="); at != std::string::npos; at = text.find("value {arg=", at + 1)) {
            std::string n = text.substr(at + 11, text.find('}', at) - at - 11);
            EXPECT_NE(text.find("arg {number=" + n + "}"), std::string::npos) << n;
        }
    }

    call.interfaceName = "eth0";
    EXPECT_EQ(ExtcapAnswer(call, "9.9.9", error), "");
    EXPECT_NE(error.find("eth0"), std::string::npos);
}

TEST(Extcap, ACaptureThatCannotRunIsRefusedWithWhatToSet) {
    std::string error;
    ExtcapCall call;
    EXPECT_FALSE(ExtcapCheck(call, error));  // run by hand with nothing
    call.kind = ExtcapCall::CAPTURE;
    call.interfaceName = EXTCAP_TAP;
    EXPECT_FALSE(ExtcapCheck(call, error));  // no pipe
    call.fifo = "/tmp/fifo";
    EXPECT_FALSE(ExtcapCheck(call, error));  // a tap without its lines
    EXPECT_NE(error.find("host and the controller line"), std::string::npos);
    call.hostPort = "/dev/ttyUSB0";
    call.ctrlPort = "/dev/ttyUSB1";
    EXPECT_TRUE(ExtcapCheck(call, error)) << error;
    call.baudRate = 1234;
    EXPECT_FALSE(ExtcapCheck(call, error));
}
