// The status poll loop against an in-test controller: one round, the thread with
// the loop off and on, a command awaiting its reply, and stopping.
#include <thread>

#include "console/poll.h"
#include "tests/commands_wire.h"

using namespace wire;

namespace {

class Poll : public WireTest {
protected:
    void TearDown() override {
        looping = 0;
        if (started_) {
            EXPECT_EQ(StopPollThread(), 0);
        }
        WireTest::TearDown();
    }
    void Start() {
        ASSERT_EQ(StartPollThread(), 0);
        started_ = true;
    }
    // Stops the thread and returns how long the stop took.
    long long Stop() {
        Clock::time_point start = Clock::now();
        EXPECT_EQ(StopPollThread(), 0);
        started_ = false;
        return MsBetween(start, Clock::now());
    }
    size_t CountOf(const std::string& text) {
        size_t n = 0;
        for (const Seen& s : controller.Log()) n += s.text == text ? 1 : 0;
        return n;
    }

private:
    bool started_ = false;
};

TEST_F(Poll, OneRoundSendsTheStatusRequestOnlyWhenLoopingAndNoReplyIsAwaited) {
    looping = 0;
    EXPECT_EQ(PollOnce(), 0);
    looping = 1;
    replyExpected = 1;  // a command's exchange is under way
    EXPECT_EQ(PollOnce(), 0);
    EXPECT_EQ(replyExpected.load(), 1);
    EXPECT_TRUE(Raw().empty());

    replyExpected = 0;
    checksumError = 1;
    EXPECT_EQ(PollOnce(), 1);
    EXPECT_EQ(Raw(), expected::WireFrame("FE"));
    EXPECT_STREQ(MessageBuffer, "FE");
    EXPECT_EQ(std::string(RxTrace.line[0]), expected::TraceOf(AckAndReply()));  // the reply is read
    EXPECT_EQ(checksumError.load(), 0);
    EXPECT_EQ(replyExpected.load(), 0);
    EXPECT_EQ(repaints.load(), 2);
}

TEST_F(Poll, ThreadSendsNothingWhileTheLoopIsOffAndStopsWithinOnePause) {
    looping = 0;
    Start();
    // However long it runs: a second is four pauses.
    EXPECT_FALSE(testsupport::WaitUntil([&] { return !peer.RawReceived().empty(); }, 1000));
    long long ms = Stop();
    EXPECT_LE(ms, 3 * POLL_PAUSE_MS);
    EXPECT_EQ(pollRun.load(), 0);
    EXPECT_EQ(pollDone.load(), 0);
    EXPECT_TRUE(Raw().empty());
    EXPECT_EQ(repaints.load(), 0);
}

TEST_F(Poll, TurningTheLoopOnSendsStatusRequestsUntilItIsTurnedOff) {
    Start();
    ASSERT_FALSE(testsupport::WaitUntil([&] { return controller.Count() > 0; }, 300));
    Clock::time_point on = Clock::now();
    DispatchHotKey(0x4C);  // L
    ASSERT_EQ(looping.load(), 1);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return controller.Count() >= 1; }, 3000));
    // One pause, then the drain window before the frame goes out.
    long long first = MsBetween(on, controller.Log()[0].at);
    EXPECT_LE(first, 3 * (POLL_PAUSE_MS + 100));

    ASSERT_TRUE(testsupport::WaitUntil([&] { return controller.Count() >= 4; }, 5000));
    DispatchHotKey(0x4C);
    ASSERT_EQ(looping.load(), 0);
    // A poll already under way may finish; then the line stays quiet.
    size_t seen = controller.Count();
    while (testsupport::WaitUntil([&] { return controller.Count() > seen; }, 2 * POLL_PAUSE_MS)) {
        seen = controller.Count();
        ASSERT_LE(seen, 8u);
    }
    EXPECT_FALSE(testsupport::WaitUntil([&] { return controller.Count() > seen; }, 1000));
    for (const Seen& s : controller.Log()) {
        EXPECT_EQ(s.text, "FE");
        EXPECT_TRUE(s.good);
    }
    std::vector<std::string> texts;
    std::string error;
    EXPECT_TRUE(ParseFrames(Raw(), texts, error)) << error;
    EXPECT_EQ(texts.size(), controller.Count());
}

TEST_F(Poll, NoPollStartsWhileACommandAwaitsItsReply) {
    // The controller answers the sale read slowly: the ACK, then the reply one
    // byte at a time, each well inside a receive window, over more than two pauses.
    const std::string slowReply = expected::WireFrame("B01 SALE 0000123456");
    controller.SetHook([slowReply](const std::string& text, testsupport::PtyPeer& p) {
        if (text != "B01EHMS$VLPT") return false;
        p.Write(std::string(1, '\x06'));
        for (char c : slowReply) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            p.Write(std::string(1, c));
        }
        return true;
    });
    looping = 1;
    Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return controller.Count() >= 1; }, 3000));

    checksumError = 1;
    DispatchHotKey(0x52);  // R, on this thread as the user-interface thread
    Clock::time_point done = Clock::now();
    TraceLines tx, rx;
    int verdict = -1;
    CopyTraces(tx, rx, verdict);
    // The whole reply went to the command, none of it to a poll.
    EXPECT_EQ(std::string(rx.line[0]), expected::TraceOf("\x06" + slowReply));
    EXPECT_EQ(verdict, 0);

    std::vector<Seen> log = controller.Log();
    Clock::time_point commandAt{};
    bool found = false;
    for (const Seen& s : log) {
        if (s.text == "B01EHMS$VLPT") {
            commandAt = s.at;
            found = true;
        }
    }
    ASSERT_TRUE(found);
    ASSERT_GE(MsBetween(commandAt, done), 2 * POLL_PAUSE_MS);
    for (const Seen& s : log) {
        if (s.text == "FE") {
            EXPECT_FALSE(s.at > commandAt && s.at < done) << "a poll went out during the command";
        }
    }
    // The loop carries on afterwards.
    size_t before = CountOf("FE");
    EXPECT_TRUE(testsupport::WaitUntil([&] { return CountOf("FE") > before; }, 3000));
    looping = 0;
    Stop();
    std::vector<std::string> texts;
    std::string error;
    EXPECT_TRUE(ParseFrames(Raw(), texts, error)) << error;
}

TEST_F(Poll, StoppingWhileLoopingEndsAfterTheExchangeInFlight) {
    looping = 1;
    Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return controller.Count() >= 2; }, 3000));
    long long ms = Stop();  // bounded by the stop's own wait of about two seconds
    EXPECT_LE(ms, 2000);
    size_t seen = controller.Count();
    EXPECT_FALSE(testsupport::WaitUntil([&] { return controller.Count() > seen; }, 2 * POLL_PAUSE_MS + 200));
}

}  // namespace
