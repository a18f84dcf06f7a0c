// Shared set-up for the command, poll and stress tests: the console's port opened on
// a pseudo-terminal whose far end is an in-test controller, a fake front end that
// answers the boxes, and a repaint counter.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "commands/dispatch.h"
#include "commands/settings.h"
#include "link/transaction.h"
#include "port/port.h"
#include "tests/commands_expected.h"
#include "tests/support/pty_peer.h"

namespace wire {

using Clock = std::chrono::steady_clock;
using testsupport::Bytes;

inline long long MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// The tick thread runs for the whole test program, as it does in the console.
class TickEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(StartTickThread(), 0); }
    void TearDown() override { EXPECT_EQ(StopTickThread(), 0); }
};

inline ::testing::Environment* const tickEnvironment =
    ::testing::AddGlobalTestEnvironment(new TickEnvironment);

inline std::atomic<int> repaints{0};
inline void CountRepaint() { repaints.fetch_add(1); }

// The front end's boxes and window, answered and counted.
class FakeUi final : public ConsoleUi {
public:
    int AskYesNo(const char* text, const char* caption) override {
        asked.emplace_back(text, caption);
        return answer;
    }
    void Inform(const char* text, const char* caption) override { informed.emplace_back(text, caption); }
    void CloseMainWindow() override { ++closes; }

    int answer = 1;
    std::vector<std::pair<std::string, std::string>> asked;
    std::vector<std::pair<std::string, std::string>> informed;
    int closes = 0;
};

// The reply every good frame gets after its ACK, whether or not the command
// expects one: a command that does not must leave it unread.
const char kReplyText[] = "OK";

inline std::string AckAndReply() { return std::string(1, '\x06') + expected::WireFrame(kReplyText); }

// One frame as the controller saw it.
struct Seen {
    std::string text;
    bool good;
    Clock::time_point at;
};

inline bool FrameIsGood(const Bytes& frame) {
    if (frame.size() < 3 || frame.front() != 0x02 || frame[frame.size() - 2] != 0x03) return false;
    unsigned sum = 0;
    for (unsigned char b : frame) sum += b;
    return (sum & 0x7F) == 0;
}

// The in-test controller: ACKs every good frame and answers it with a framed
// reply; an optional hook may answer a frame itself (slowly, say).
class Controller {
public:
    using Hook = std::function<bool(const std::string& text, testsupport::PtyPeer& peer)>;

    explicit Controller(testsupport::PtyPeer& peer) : peer_(peer) {}

    testsupport::PtyPeer::Answer Answer() {
        return [this](const Bytes& frame) -> Bytes {
            Seen seen{std::string(frame.begin() + 1, frame.end() - 2), FrameIsGood(frame), Clock::now()};
            Hook hook;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                log_.push_back(seen);
                hook = hook_;
            }
            if (!seen.good) return Bytes();
            if (hook && hook(seen.text, peer_)) return Bytes();
            std::string reply = AckAndReply();
            return Bytes(reply.begin(), reply.end());
        };
    }
    void SetHook(Hook hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    std::vector<Seen> Log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_.size();
    }

private:
    testsupport::PtyPeer& peer_;
    std::mutex mutex_;
    std::vector<Seen> log_;
    Hook hook_;
};

inline std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The console with its port open on com1, linked to `peer`, and a controller behind it.
class WireTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        home.LinkCom(1, peer.slavePath());
        ResetConsoleSettings();
        PortRequest(0, PORT_INIT, nullptr);
        openPortId = 0;
        ASSERT_EQ(OpenConfiguredPort(), PORT_OK);
        ASSERT_EQ(openPortId.load(), 1001);
        checksumError = 0;
        replyExpected = 0;
        peer.StartResponder(controller.Answer());
        SetConsoleUi(&ui);
        SetRepaintHook(&CountRepaint);
        repaints = 0;
    }
    void TearDown() override {
        SetRepaintHook(nullptr);
        SetConsoleUi(nullptr);
        peer.StopResponder();
        if (openPortId.load() != 0) PortRequest(openPortId.load(), PORT_FORGET, nullptr);
        openPortId = 0;
        looping = 0;
    }

    std::string Raw() { return AsString(peer.RawReceived()); }

    testsupport::TempHome home;
    testsupport::PtyPeer peer;
    Controller controller{peer};
    FakeUi ui;
};

// Splits a raw byte stream into frames. Returns false (with `error`) unless the
// stream is a clean run of well-formed frames, each STX, text, ETX, checksum.
inline bool ParseFrames(const std::string& raw, std::vector<std::string>& texts, std::string& error) {
    size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] != '\x02') {
            error = "byte " + std::to_string(i) + " is not STX";
            return false;
        }
        size_t etx = raw.find('\x03', i + 1);
        if (etx == std::string::npos || etx + 1 >= raw.size()) {
            error = "frame at " + std::to_string(i) + " is cut short";
            return false;
        }
        std::string text = raw.substr(i + 1, etx - i - 1);
        if (text.find('\x02') != std::string::npos) {
            error = "frame at " + std::to_string(i) + " holds another frame's STX";
            return false;
        }
        if (raw.substr(i, etx + 2 - i) != expected::WireFrame(text)) {
            error = "frame at " + std::to_string(i) + " has a bad checksum";
            return false;
        }
        texts.push_back(text);
        i = etx + 2;
    }
    return true;
}

}  // namespace wire
