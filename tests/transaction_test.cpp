// The transaction engine over a real pseudo-terminal, against an in-test
// controller that misbehaves on purpose.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "link/transaction.h"
#include "port/port.h"
#include "tests/support/pty_peer.h"

using testsupport::Bytes;
using testsupport::Frame;
using testsupport::PtyPeer;
using testsupport::TempHome;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The tick thread runs for the whole test program, as it does in the console.
class TickEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(StartTickThread(), 0); }
    void TearDown() override { EXPECT_EQ(StopTickThread(), 0); }
};

const ::testing::Environment* const tickEnvironment =
    ::testing::AddGlobalTestEnvironment(new TickEnvironment);

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        home.LinkCom(1, peer.slavePath());
        PortRequest(0, PORT_INIT, nullptr);
        PortParams params = {9600, 0, 8, 1};
        ASSERT_EQ(PortRequest(1001, PORT_OPEN, &params), PORT_OK);
        openPortId = 1001;
        checksumError = 0;
    }
    void TearDown() override {
        peer.StopResponder();
        PortRequest(1001, PORT_FORGET, nullptr);
        openPortId = 0;
    }

    // Runs one transaction for `text` and returns its duration in ms.
    long long Run(const char* text, int reply) {
        TransactionGuard guard;
        std::strcpy(MessageBuffer, text);
        replyExpected = static_cast<unsigned char>(reply);
        Clock::time_point start = Clock::now();
        RunTransaction();
        return MsSince(start);
    }

    std::string Rx(int line = 0) { return RxTrace.line[line]; }
    std::string Tx(int line = 0) { return TxTrace.line[line]; }

    TempHome home;
    PtyPeer peer;
};

Bytes Ack() { return Bytes{ACK}; }

// A line that keeps talking: `byte` every `periodMs` from its own thread while on.
class Chatter {
public:
    Chatter(PtyPeer& peer, unsigned char byte, int periodMs, bool on)
        : on_(on), thread_([this, &peer, byte, periodMs] {
              while (!stop_) {
                  if (on_) {
                      peer.Write(Bytes{byte});
                      ++written_;
                  }
                  Pause(periodMs);
              }
          }) {}
    ~Chatter() {
        stop_ = true;
        thread_.join();
    }
    void On() { on_ = true; }
    void Off() { on_ = false; }
    int Written() const { return written_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> on_;
    std::atomic<int> written_{0};
    std::thread thread_;
};

Bytes AckAnd(const Bytes& reply) {
    Bytes out = reply;
    out.insert(out.begin(), ACK);
    return out;
}

}  // namespace

TEST_F(Engine, SilentLineEndsAfterTwoWindowsWithEmptyRx) {
    peer.StartResponder([](const Bytes&) { return Bytes(); });
    std::strcpy(RxTrace.line[0], "stale");
    long long ms = Run("FE", 1);
    EXPECT_GE(ms, 150);  // drain window + ACK window, each 90..100 ms
    EXPECT_LE(ms, 600);
    EXPECT_EQ(Rx(), "");
    EXPECT_EQ(replyExpected.load(), 0);
    EXPECT_EQ(ReplyLength, 0);
    EXPECT_EQ(Tx(), " [02]FE [03]p");
    EXPECT_EQ(peer.WaitFrames(1), 1u);
    EXPECT_EQ(peer.Frames()[0], Frame("FE"));
}

TEST_F(Engine, AckOnlyWhenAReplyIsExpectedKeepsTheVerdict) {
    peer.StartResponder([](const Bytes&) { return Ack(); });
    checksumError = 1;
    Run("B01R", 1);
    EXPECT_EQ(Rx(), " [06]");
    EXPECT_EQ(ReplyLength, 1);
    EXPECT_EQ(checksumError.load(), 1);
    EXPECT_EQ(replyExpected.load(), 0);
}

TEST_F(Engine, GoodReplyIsShownAndJudgedOk) {
    peer.StartResponder([](const Bytes&) { return AckAnd(Frame("F0123")); });
    checksumError = 1;
    Run("FE", 1);
    Bytes reply = Frame("F0123");
    char expected[64];
    std::snprintf(expected, sizeof expected, " [06] [02]F0123 [03]%c", reply.back());
    EXPECT_EQ(Rx(), expected);
    EXPECT_EQ(checksumError.load(), 0);
    EXPECT_EQ(ReplyLength, 1 + static_cast<int>(reply.size()));
}

TEST_F(Engine, BadChecksumIsShownWholeAndJudgedError) {
    Bytes reply = Frame("F0123");
    reply.back() = static_cast<unsigned char>((reply.back() + 1) & 0x7F);
    peer.StartResponder([=](const Bytes&) { return AckAnd(reply); });
    Run("FE", 1);
    char expected[64];
    std::snprintf(expected, sizeof expected, " [06] [02]F0123 [03]%c", reply.back());
    EXPECT_EQ(Rx(), expected);
    EXPECT_EQ(checksumError.load(), 1);
}

TEST_F(Engine, GapInsideAReplyAbandonsItAndKeepsTheVerdict) {
    peer.StartResponder([this](const Bytes&) {
        peer.Write(Bytes{ACK, STX, 'F', '0'});
        Pause(300);  // longer than a receive window
        peer.Write(Bytes{'1', ETX, 0x00});
        return Bytes();
    });
    checksumError = 1;
    Run("FE", 1);
    EXPECT_EQ(Rx(), " [06]");
    EXPECT_EQ(ReplyLength, 1);
    EXPECT_EQ(checksumError.load(), 1);

    // The same with the checksum byte missing, from a verdict of OK.
    peer.StartResponder([this](const Bytes&) {
        Bytes partial = AckAnd(Frame("F9"));
        partial.pop_back();
        peer.Write(partial);
        return Bytes();
    });
    checksumError = 0;
    Run("FE", 1);
    EXPECT_EQ(Rx(), " [06]");
    EXPECT_EQ(checksumError.load(), 0);
}

TEST_F(Engine, NoiseBeforeTheAckIsNotShown) {
    peer.StartResponder([](const Bytes&) {
        Bytes out = {0x15, 'x', 0x00, 0xFF, 0x02};
        Bytes rest = AckAnd(Frame("OK"));
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    });
    Run("K", 1);
    EXPECT_EQ(Rx().substr(0, 13), " [06] [02]OK ");
    EXPECT_EQ(checksumError.load(), 0);
}

TEST_F(Engine, ChatteringLineKeepsTheTransactionWaitingUntilSilent) {
    // After the frame, a non-ACK byte every 50 ms for 600 ms, then the ACK.
    peer.StartResponder([this](const Bytes&) {
        for (int i = 0; i < 12; ++i) {
            peer.Write(Bytes{'z'});
            Pause(50);
        }
        peer.Write(Ack());
        return Bytes();
    });
    long long ms = Run("C01", 0);
    EXPECT_GE(ms, 600);
    EXPECT_EQ(Rx(), " [06]");
}

TEST_F(Engine, TrafficAtTheStartDelaysSendingUntilOneSilentWindow) {
    peer.StartResponder([](const Bytes&) { return Ack(); });
    std::atomic<long long> chatterEnd{0};
    Clock::time_point start = Clock::now();
    std::thread chatter([&] {
        for (int i = 0; i < 8; ++i) {
            peer.Write(Bytes{'n'});
            chatterEnd = MsSince(start);  // the last byte's time once the loop ends
            Pause(40);
        }
    });
    Pause(10);
    long long sentAt = 0;
    {
        TransactionGuard guard;
        std::strcpy(MessageBuffer, "D01");
        replyExpected = 0;
        std::thread watch([&] {
            testsupport::WaitUntil([&] { return !peer.Frames().empty(); }, 5000);
            sentAt = MsSince(start);
        });
        RunTransaction();
        watch.join();
    }
    chatter.join();
    EXPECT_GE(sentAt, chatterEnd.load() + 60);  // a window (90..100 ms) after the last byte
    EXPECT_EQ(peer.Texts().at(0), "D01");
    EXPECT_EQ(Rx(), " [06]");
}

TEST_F(Engine, ReplyLongerThan900BytesWrapsInsideTheBuffer) {
    std::string text(950, 'a');
    peer.StartResponder([=](const Bytes&) { return AckAnd(Frame(text)); });
    Run("FE", 1);
    // 953 bytes after the ACK at positions 1..900, then 0..52: ETX at 51, checksum at 52.
    EXPECT_EQ(ReplyLength, 53);
    EXPECT_EQ(ReplyBuffer[51], ETX);
    EXPECT_EQ(ReplyBuffer[53], 0);
    EXPECT_EQ(checksumError.load(), 0);
    EXPECT_EQ(Rx().substr(0, 4), "aaaa");
}

TEST_F(Engine, ReplyLeftUnreadWhenNoneIsExpectedIsDrainedNextTime) {
    peer.StartResponder([](const Bytes& frame) {
        return frame == Frame("B01C") ? AckAnd(Frame("LEFTOVER")) : Ack();
    });
    Run("B01C", 0);
    EXPECT_EQ(Rx(), " [06]");
    Run("C01", 0);
    EXPECT_EQ(Rx(), " [06]");
    EXPECT_EQ(peer.Texts(), (std::vector<std::string>{"B01C", "C01"}));
}

TEST_F(Engine, ReceiveWindowIsAboutTenTicks) {
    unsigned char byte = 0;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadByteTimed(byte), PORT_NO_DATA);
    long long ms = MsSince(start);
    EXPECT_GE(ms, 80);
    EXPECT_LE(ms, 300);
}

TEST_F(Engine, RandomRepliesNeverOutliveTheirWindows) {
    std::mt19937 random(12345);
    for (int round = 0; round < 6; ++round) {
        Bytes junk(200 + random() % 1500);
        for (unsigned char& b : junk) b = static_cast<unsigned char>(random());
        if (round % 2 == 0) junk[0] = ACK;
        peer.StartResponder([=](const Bytes&) { return junk; });
        long long ms = Run("FE", 1);
        EXPECT_LE(ms, 2000);
        for (const auto& line : RxTrace.line) EXPECT_LE(std::strlen(line), 80u);
        EXPECT_LE(ReplyLength, REPLY_BYTES);
        EXPECT_EQ(replyExpected.load(), 0);
    }
}

TEST_F(Engine, LineThatNeverGoesQuietIsNotSentIntoAndEndsAfterTheDrainLimit) {
    peer.StartResponder([](const Bytes&) { return Ack(); });
    Chatter chatter(peer, 'z', 10, true);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return chatter.Written() > 0; }, 5000));
    std::strcpy(TxTrace.line[0], "stale");
    long long ms = Run("FE", 1);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_LINE_NEVER_QUIET);
    EXPECT_GE(ms, DRAIN_LIMIT_MS - 50);
    EXPECT_LE(ms, 3 * DRAIN_LIMIT_MS);
    EXPECT_EQ(Tx(), "");
    EXPECT_EQ(LastTransaction.frameLength, 0);
    EXPECT_GE(LastTransaction.receivedLength, 20);
    EXPECT_EQ(Rx().substr(0, 5), "zzzzz");
    EXPECT_EQ(replyExpected.load(), 0);
    EXPECT_EQ(peer.WaitFrames(1, 200), 0u);
}

TEST_F(Engine, AckWaitAmongOtherBytesEndsByTimeOrByCount) {
    // Slow chatter from the frame on: the time bound ends it, the frame went out.
    Chatter chatter(peer, 'z', 10, false);
    peer.StartResponder([&](const Bytes&) {
        chatter.On();
        return Bytes();
    });
    long long ms = Run("B01R", 1);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_LINE_NEVER_QUIET);
    EXPECT_GE(ms, ACK_WAIT_LIMIT_MS - 50);
    EXPECT_LE(ms, 3 * (ACK_WAIT_LIMIT_MS + 200));
    EXPECT_EQ(Tx().substr(0, 14), " [02]B01R [03]");
    EXPECT_EQ(peer.Texts(), std::vector<std::string>{"B01R"});
    EXPECT_EQ(LastTransaction.ackUs, -1);
    EXPECT_EQ(Rx().substr(0, 5), "zzzzz");
    chatter.Off();
    peer.StopResponder();

    // A burst of other bytes with the ACK at its end: the count ends it first.
    Bytes burst(1500, 'y');
    burst.push_back(ACK);
    peer.StartResponder([=](const Bytes&) { return burst; });
    ms = Run("C01", 0);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_LINE_NEVER_QUIET);
    EXPECT_EQ(LastTransaction.receivedLength, ACK_WAIT_LIMIT_BYTES);
    EXPECT_LT(ms, ACK_WAIT_LIMIT_MS);
}

TEST_F(Engine, ReplyWithNoEndIsAbandonedByCountOrByTime) {
    // A stream with no ETX, all at once.
    Bytes stream = {ACK, STX};
    stream.insert(stream.end(), 3000, 'r');
    peer.StartResponder([=](const Bytes&) { return stream; });
    checksumError = 1;
    Run("FE", 1);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_REPLY_WITHOUT_END);
    EXPECT_EQ(LastTransaction.receivedLength, 1 + REPLY_LIMIT_BYTES);
    EXPECT_EQ(Rx(), " [06]");
    EXPECT_EQ(checksumError.load(), 1);
    peer.StopResponder();

    // A trickle that never pauses for a window: the time bound ends it.
    Chatter chatter(peer, 'r', 10, false);
    peer.StartResponder([&](const Bytes&) {
        chatter.On();
        return Bytes{ACK, STX};
    });
    long long ms = Run("FE", 1);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_REPLY_WITHOUT_END);
    EXPECT_GE(ms, REPLY_LIMIT_MS - 50);
    EXPECT_LE(ms, 3 * REPLY_LIMIT_MS);
    EXPECT_EQ(Rx(), " [06]");
}

TEST_F(Engine, StopEndsATransactionInFlightAndKeepsNewOnesFromSending) {
    // Stopped in the middle of a reply that keeps coming.
    Chatter chatter(peer, 'r', 20, false);
    peer.StartResponder([&](const Bytes&) {
        chatter.On();
        return Bytes{ACK, STX};
    });
    std::atomic<long long> stoppedAtUs{0};
    std::thread stopper([&] {
        testsupport::WaitUntil([&] { return chatter.Written() >= 3; }, 5000);
        stoppedAtUs = OsMonotonicUs();
        stopTransactions = 1;
    });
    Run("FE", 1);
    long long latencyUs = OsMonotonicUs() - stoppedAtUs.load();
    stopper.join();
    EXPECT_EQ(LastTransaction.verdict, VERDICT_STOPPED);
    EXPECT_LE(latencyUs, 3 * 100 * 1000);  // asked of Ctrl+C: within 100 ms
    EXPECT_EQ(Rx(), " [06]");
    EXPECT_EQ(replyExpected.load(), 0);

    // While the flag stays set, a transaction ends at once and sends nothing.
    chatter.Off();
    peer.StopResponder();
    peer.StartResponder([](const Bytes&) { return Ack(); });
    long long ms = Run("C01", 0);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_STOPPED);
    EXPECT_LT(ms, 90);  // less than the window a drain takes
    EXPECT_EQ(Tx(), "");
    EXPECT_EQ(peer.WaitFrames(2, 200), 1u);
    stopTransactions = 0;

    Run("C01", 0);
    EXPECT_EQ(LastTransaction.verdict, VERDICT_OK);
}

TEST(EngineWithoutPort, TransactionOnAnUnopenedPortEndsAtOnce) {
    PortRequest(0, PORT_INIT, nullptr);
    openPortId = 0;
    TransactionGuard guard;
    std::strcpy(MessageBuffer, "FE");
    replyExpected = 1;
    Clock::time_point start = Clock::now();
    RunTransaction();
    EXPECT_LE(MsSince(start), 1000);
    EXPECT_EQ(replyExpected.load(), 0);
    EXPECT_EQ(std::string(TxTrace.line[0]), " [02]FE [03]p");
    EXPECT_EQ(std::string(RxTrace.line[0]), "");

    // Opened record with no device: every window runs out, nothing else happens.
    openPortId = 1009;
    replyExpected = 1;
    start = Clock::now();
    RunTransaction();
    long long ms = MsSince(start);
    EXPECT_GE(ms, 150);
    EXPECT_LE(ms, 600);
    openPortId = 0;
}
