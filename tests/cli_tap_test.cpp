// watch --tap: the exchange analyzer on scripted pieces with known times, and
// naming requests by the catalogue.
#include <gtest/gtest.h>

#include "events/analyzer.h"
#include "commands/settings.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "tests/support/pty_peer.h"

namespace {

using testsupport::Bytes;
using testsupport::Frame;

const long long MS = 1000;

ConsoleSettings DefaultSettings() {
    ResetConsoleSettings();
    return Settings;
}

const CommandNames& Names() {
    static const CommandNames names(DefaultSettings());
    return names;
}

// A piece on `dir` whose first byte came at `firstMs` and whose bytes took 1 ms each.
LinePiece Piece(int dir, int kind, const Bytes& bytes, long long firstMs, bool valid = true) {
    LinePiece piece;
    piece.dir = dir;
    piece.kind = kind;
    piece.valid = valid;
    piece.bytes = bytes;
    piece.firstUs = firstMs * MS;
    piece.lastUs = (firstMs + static_cast<long long>(bytes.size()) - 1) * MS;
    return piece;
}

LinePiece HostFrame(const std::string& text, long long atMs) { return Piece(TAP_HOST, SPLIT_FRAME, Frame(text), atMs); }
LinePiece CtrlFrame(const std::string& text, long long atMs) { return Piece(TAP_CTRL, SPLIT_FRAME, Frame(text), atMs); }
LinePiece Ack(long long atMs) { return Piece(TAP_CTRL, SPLIT_ACK, Bytes{ACK}, atMs); }

Bytes BadFrame(const std::string& text) {
    Bytes frame = Frame(text);
    frame.back() = static_cast<unsigned char>((frame.back() + 1) & 0x7F);
    return frame;
}

class Tap : public ::testing::Test {
protected:
    TapAnalyzer analyzer{Names()};
    std::vector<TapExchange> out;
    void Feed(const LinePiece& piece) { analyzer.Feed(piece, out); }
};

}  // namespace

TEST(TapNames, CatalogueTextsAreNamedWithTheirPump) {
    const CommandName* sale = Names().Find("B07EHMS$VLPT");
    ASSERT_NE(sale, nullptr);
    EXPECT_EQ(sale->path, "Pump/Sale/Extended");
    EXPECT_EQ(sale->pump, 7);
    EXPECT_EQ(sale->reply, 1);
    const CommandName* clear = Names().Find("B32C");
    ASSERT_NE(clear, nullptr);
    EXPECT_EQ(clear->path, "Pump/Sale/Clear");
    EXPECT_EQ(clear->pump, 32);
    EXPECT_EQ(clear->reply, 0);
    // A text that is the same for every pump names none.
    const CommandName* versions = Names().Find("K");
    ASSERT_NE(versions, nullptr);
    EXPECT_EQ(versions->pump, 0);
    EXPECT_EQ(Names().Find("B33C"), nullptr);  // no pump 33
    EXPECT_EQ(Names().Find("HELLO"), nullptr);
}

TEST_F(Tap, CleanExchangeWithReplyIsTimedFromTheRequestsEnd) {
    Feed(HostFrame("B07EHMS$VLPT", 0));  // 15 bytes: last byte at 14 ms
    Feed(Ack(20));
    EXPECT_TRUE(out.empty());  // a reply is still to come
    Feed(CtrlFrame("B07E 1234", 30));
    ASSERT_EQ(out.size(), 1u);
    const TapExchange& e = out[0];
    EXPECT_EQ(e.verdict, TAP_OK);
    EXPECT_EQ(e.command, "Pump/Sale/Extended");
    EXPECT_EQ(e.pump, 7);
    EXPECT_DOUBLE_EQ(e.ackMs, 6.0);
    EXPECT_DOUBLE_EQ(e.replyMs, 16.0);
    EXPECT_EQ(e.reply, "B07E 1234");
    Bytes answer{ACK};
    Bytes reply = Frame("B07E 1234");
    answer.insert(answer.end(), reply.begin(), reply.end());
    EXPECT_EQ(e.answer, answer);
}

TEST_F(Tap, RequestWithoutReplyEndsAtTheAck) {
    Feed(HostFrame("B07C", 0));
    Feed(Ack(10));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].verdict, TAP_OK);
    EXPECT_FALSE(out[0].hasReply);
}

TEST_F(Tap, NoAckIsJudgedAfterOneSilentWindowOnly) {
    Feed(HostFrame("B07C", 0));  // last byte at 6 ms
    analyzer.Advance(105 * MS, out);
    EXPECT_TRUE(out.empty());
    // Noise from the controller restarts the window, as it does for the console.
    Feed(Piece(TAP_CTRL, SPLIT_STRAY, Bytes{'x'}, 100));
    analyzer.Advance(150 * MS, out);
    EXPECT_TRUE(out.empty());
    analyzer.Advance(200 * MS, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].verdict, TAP_NO_ACK);
    EXPECT_LT(out[0].ackMs, 0);
    EXPECT_EQ(out[0].answer, Bytes{'x'});
}

TEST_F(Tap, BadChecksumOnEitherSide) {
    Feed(Piece(TAP_HOST, SPLIT_FRAME, BadFrame("B07R"), 0, false));
    analyzer.Advance(300 * MS, out);
    Feed(HostFrame("B07R", 400));
    Feed(Ack(410));
    Feed(Piece(TAP_CTRL, SPLIT_FRAME, BadFrame("B07R 55"), 415, false));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].verdict, TAP_CHECKSUM_ERROR);
    EXPECT_FALSE(out[0].requestValid);
    EXPECT_EQ(out[1].verdict, TAP_CHECKSUM_ERROR);
    EXPECT_TRUE(out[1].hasReply);
    EXPECT_FALSE(out[1].replyValid);
}

TEST_F(Tap, ReplyCutBySilenceOrMissingIsIncomplete) {
    Feed(HostFrame("B07R", 0));
    Feed(Ack(10));
    Feed(Piece(TAP_CTRL, SPLIT_BROKEN, Bytes{STX, 'B', '0'}, 12, false));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].verdict, TAP_INCOMPLETE);
    EXPECT_FALSE(out[0].hasReply);
    EXPECT_DOUBLE_EQ(out[0].replyMs, 6.0);

    // The ACK and then nothing, for a request the console waits on a reply for.
    Feed(HostFrame("B07R", 1000));
    Feed(Ack(1010));
    analyzer.Advance(1200 * MS, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].verdict, TAP_INCOMPLETE);
}

TEST_F(Tap, LongReplyStillArrivingIsNotJudged) {
    Feed(HostFrame("B07R", 0));
    Feed(Ack(10));
    for (long long t = 11; t < 300; t += 5) {
        analyzer.LineActive(TAP_CTRL, t * MS);
        analyzer.Advance(t * MS, out);
    }
    EXPECT_TRUE(out.empty());
    Feed(CtrlFrame("B07R 1", 300));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].verdict, TAP_OK);
}

TEST_F(Tap, HostSendingAgainEarlyIsAnOverlap) {
    Feed(HostFrame("B07R", 0));
    Feed(Ack(10));
    Feed(HostFrame("B08R", 40));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].verdict, TAP_OVERLAP);
    EXPECT_EQ(out[0].request, "B07R");
    Feed(Ack(50));
    Feed(CtrlFrame("B08R 2", 55));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].verdict, TAP_OK);
    EXPECT_EQ(out[1].pump, 8);
}

TEST_F(Tap, ControllerFrameWithoutRequestIsAnUnansweredReply) {
    Feed(CtrlFrame("B07R 1", 0));
    Feed(Ack(20));  // a lone ACK is a piece only
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].verdict, TAP_UNANSWERED_REPLY);
    EXPECT_FALSE(out[0].hasRequest);
    EXPECT_EQ(out[0].reply, "B07R 1");
}

TEST_F(Tap, UnknownTextIsNamedUnknownAndTakesAReplyIfOneComes) {
    Feed(HostFrame("ZZTOP", 0));
    Feed(Ack(10));
    Feed(CtrlFrame("ok", 20));
    Feed(HostFrame("ZZTOP", 500));
    Feed(Ack(510));
    analyzer.Finish(out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].command, "unknown");
    EXPECT_EQ(out[0].pump, 0);
    EXPECT_EQ(out[0].verdict, TAP_OK);
    EXPECT_EQ(out[0].reply, "ok");
    EXPECT_EQ(out[1].verdict, TAP_OK);  // no reply known to be due
    EXPECT_FALSE(out[1].hasReply);
}

TEST(TapSummary, CountsVerdictsCommandsStraysAndLatencies) {
    TapSummary summary;
    TapExchange a;
    a.hasRequest = true;
    a.command = "Pump/Sale/Read";
    a.ackMs = 3;
    TapExchange b = a;
    b.verdict = TAP_NO_ACK;
    b.ackMs = -1;
    summary.Add(a);
    summary.Add(b);
    summary.AddPiece(Piece(TAP_HOST, SPLIT_STRAY, Bytes{'x'}, 0));
    summary.AddPiece(Piece(TAP_CTRL, SPLIT_ACK, Bytes{ACK}, 0));
    EXPECT_EQ(summary.exchanges, 2);
    EXPECT_EQ(summary.perVerdict[TAP_OK], 1);
    EXPECT_EQ(summary.perVerdict[TAP_NO_ACK], 1);
    EXPECT_EQ(summary.perCommand["Pump/Sale/Read"], 2);
    EXPECT_EQ(summary.strayHost, 1);
    EXPECT_EQ(summary.strayCtrl, 0);
    EXPECT_EQ(summary.ackMs, std::vector<double>{3});
}
