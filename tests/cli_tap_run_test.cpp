// watch --tap as a program: scripted traffic on two pseudo-terminals, judged
// exchange by exchange; nothing is ever written to either line; an adapter that
// goes away and comes back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/frame.h"
#include "tests/support/child.h"
#include "tests/support/files.h"
#include "tests/support/pty_peer.h"

using testsupport::Bytes;
using testsupport::Child;
using testsupport::Frame;
using testsupport::PtyPeer;

namespace {

const int WAIT_MS = 20000;

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes BadFrame(const std::string& text) {
    Bytes frame = Frame(text);
    frame.back() = static_cast<unsigned char>((frame.back() + 1) & 0x7F);
    return frame;
}

const Bytes AckByte{ACK};

// Bytes waiting in a terminal's input queue, asked through a descriptor of our own
// (nothing is read from it).
int Queued(const std::string& slavePath) {
    int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    int count = -1;
    if (ioctl(fd, FIONREAD, &count) != 0) count = -1;
    close(fd);
    return count;
}

// The process is stopped (SIGSTOP took effect).
bool Stopped(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    return close != std::string::npos && close + 2 < all.size() && all[close + 2] == 'T';
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class TapRun : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/zantrox-tap-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        ASSERT_TRUE(host_->ok() && ctrl_.ok());
    }
    void TearDown() override {
        tap_.reset();
        std::string command = "rm -rf '" + dir_ + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }

    void StartTap(const std::string& hostPort, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {ZANTROX_CLI_PATH, "watch", "--tap", hostPort, ctrl_.slavePath(), "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        tap_.reset(new Child);
        ASSERT_TRUE(tap_->Start(args, dir_, "tap"));
        ASSERT_TRUE(WaitStderr("listening")) << tap_->Stderr();
    }
    bool WaitStderr(const std::string& what) {
        return testsupport::WaitUntil([&] { return tap_->Stderr().find(what) != std::string::npos; }, WAIT_MS);
    }
    // Waits until the tap has written `count` lines holding `what`.
    bool WaitOut(const std::string& what, size_t count) {
        return testsupport::WaitUntil([&] { return Count(tap_->Stdout(), what) >= count; }, WAIT_MS);
    }
    bool WaitExchanges(size_t count) { return WaitOut("\"kind\":\"exchange\"", count); }
    int Stop() {
        tap_->Signal(SIGINT);
        return tap_->Wait(WAIT_MS);
    }
    std::vector<nlohmann::json> Lines() {
        std::vector<nlohmann::json> lines;
        std::istringstream in(tap_->Stdout());
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(nlohmann::json::parse(line, nullptr, false));
            EXPECT_FALSE(lines.back().is_discarded()) << line;
        }
        return lines;
    }

    std::string dir_;
    std::unique_ptr<PtyPeer> host_{new PtyPeer};
    PtyPeer ctrl_;
    std::unique_ptr<Child> tap_;
};

}  // namespace

TEST_F(TapRun, ScriptedTrafficIsJudgedReportedOnCtrlCAndNothingIsWrittenToEitherLine) {
    const std::string report = dir_ + "/tap.html";
    StartTap(host_->slavePath(), {"--report", report});
    size_t n = 0;
    // Each step waits for the tap's verdict, so a window of silence lies between them.
    host_->Write(Frame("B07R"));
    ctrl_.Write(Cat(AckByte, Frame("B07R 1")));
    ASSERT_TRUE(WaitExchanges(++n));
    host_->Write(Frame("B07C"));  // no ACK
    ASSERT_TRUE(WaitExchanges(++n));
    host_->Write(BadFrame("B07C"));  // a host frame that fails its checksum, unanswered
    ASSERT_TRUE(WaitExchanges(++n));
    host_->Write(Frame("B07R"));
    ctrl_.Write(Cat(AckByte, BadFrame("B07R 2")));
    ASSERT_TRUE(WaitExchanges(++n));
    host_->Write(Frame("B07R"));
    ctrl_.Write(Cat(AckByte, Bytes{STX, 'B', '0'}));  // cut by silence
    ASSERT_TRUE(WaitExchanges(++n));
    host_->Write(Cat(Frame("B07R"), Frame("B08R")));  // sent again before any answer
    ASSERT_TRUE(WaitOut("\"text\":\"B08R\"", 1));      // heard before the answer comes
    ctrl_.Write(Cat(AckByte, Frame("B08R 3")));
    n += 2;
    ASSERT_TRUE(WaitExchanges(n));
    host_->Write(std::string("zz"));
    ctrl_.Write(std::string("yy"));
    ASSERT_TRUE(WaitOut("\"kind\":\"stray\"", 2));
    host_->Write(Frame("HELLO"));  // no command the console has
    ctrl_.Write(AckByte);
    ASSERT_TRUE(WaitExchanges(++n));
    ctrl_.Write(Frame("B09R 4"));  // nobody asked
    ASSERT_TRUE(WaitExchanges(++n));
    EXPECT_EQ(Stop(), 0);

    std::vector<std::string> verdicts;
    std::vector<nlohmann::json> exchanges;
    int strayHost = 0;
    int strayCtrl = 0;
    for (const nlohmann::json& j : Lines()) {
        ASSERT_TRUE(j.contains("kind"));
        if (j["kind"] == "exchange") {
            verdicts.push_back(j["verdict"]);
            exchanges.push_back(j);
            continue;
        }
        EXPECT_FALSE(j.contains("verdict"));  // only exchanges carry one
        EXPECT_TRUE(j["first"].is_string() && j["last"].is_string());
        EXPECT_EQ(j["first"].get<std::string>().size(), 27u) << j;  // microseconds, UTC
        if (j["kind"] == "stray") (j["dir"] == "host" ? strayHost : strayCtrl)++;
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"ok", "no-ack", "checksum-error", "checksum-error", "incomplete",
                                                  "overlap", "ok", "ok", "unanswered reply"}));
    EXPECT_EQ(strayHost, 1);
    EXPECT_EQ(strayCtrl, 1);
    ASSERT_EQ(exchanges.size(), 9u);
    EXPECT_EQ(exchanges[0]["command"], "Pump/Sale/Read");
    EXPECT_EQ(exchanges[0]["pump"], 7);
    EXPECT_TRUE(exchanges[0]["ack_ms"].is_number());
    EXPECT_EQ(exchanges[0]["reply"], "B07R 1");
    EXPECT_EQ(exchanges[1]["ack_ms"], nullptr);
    EXPECT_EQ(exchanges[6]["pump"], 8);
    EXPECT_EQ(exchanges[7]["command"], "unknown");
    EXPECT_EQ(exchanges[8]["request"], nullptr);
    EXPECT_NE(tap_->Stderr().find("exchanges: ok 3"), std::string::npos) << tap_->Stderr();

    // The report, written at Ctrl+C, is check's page over what was seen.
    std::string html = testsupport::ReadWholeFile(report);
    EXPECT_NE(html.find("observed on the line, nothing sent"), std::string::npos);
    EXPECT_NE(html.find("Pump/Sale/Read"), std::string::npos);
    EXPECT_NE(html.find(">overlap<"), std::string::npos);
    EXPECT_NE(html.find(">unanswered reply<"), std::string::npos);
    EXPECT_EQ(Count(html, "</html>"), 1u);

    EXPECT_TRUE(host_->ReadQuiet(50, 500).empty());
    EXPECT_TRUE(ctrl_.ReadQuiet(50, 500).empty());
}

// A listener that wakes late finds bytes on both lines and cannot tell which came
// first; an answer follows its request. The tap is held stopped while both lines
// fill, so its next wake finds both.
TEST_F(TapRun, BytesThatWaitedOnBothLinesArePairedRequestThenAnswer) {
    StartTap(host_->slavePath());
    auto stall = [&](const std::vector<std::pair<PtyPeer*, Bytes>>& writes) {
        tap_->Signal(SIGSTOP);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return Stopped(tap_->Pid()); }, WAIT_MS));
        size_t hostBytes = 0, ctrlBytes = 0;
        for (const auto& write : writes) {
            write.first->Write(write.second);
            (write.first == &ctrl_ ? ctrlBytes : hostBytes) += write.second.size();
        }
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] {
                return Queued(host_->slavePath()) >= static_cast<int>(hostBytes) &&
                       Queued(ctrl_.slavePath()) >= static_cast<int>(ctrlBytes);
            },
            WAIT_MS));
        tap_->Signal(SIGCONT);
    };

    // A request is open: its answer and the host's next request wait together.
    host_->Write(Frame("B07R"));
    ASSERT_TRUE(WaitOut("\"dir\":\"host\"", 1));
    stall({{&ctrl_, Cat(AckByte, Frame("B07R 1"))}, {host_.get(), Frame("B08R")}});
    ASSERT_TRUE(WaitExchanges(1));
    ctrl_.Write(Cat(AckByte, Frame("B08R 2")));
    ASSERT_TRUE(WaitExchanges(2));

    // Nothing is open: two whole exchanges wait, each request before its answer.
    stall({{host_.get(), Frame("B09R")},
           {&ctrl_, Cat(AckByte, Frame("B09R 3"))},
           {host_.get(), Frame("B10R")},
           {&ctrl_, Cat(AckByte, Frame("B10R 4"))}});
    ASSERT_TRUE(WaitExchanges(4));
    EXPECT_EQ(Stop(), 0);

    std::vector<std::string> verdicts, requests, replies;
    for (const nlohmann::json& j : Lines()) {
        if (j["kind"] != "exchange") continue;
        verdicts.push_back(j["verdict"]);
        requests.push_back(j["request"].is_string() ? j["request"].get<std::string>() : "");
        replies.push_back(j["reply"].is_string() ? j["reply"].get<std::string>() : "");
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"ok", "ok", "ok", "ok"}));
    EXPECT_EQ(requests, (std::vector<std::string>{"B07R", "B08R", "B09R", "B10R"}));
    EXPECT_EQ(replies, (std::vector<std::string>{"B07R 1", "B08R 2", "B09R 3", "B10R 4"}));
}

// A controller line that chatters without a pause (no silent window ever ends its
// stray bytes) is still shown while it goes on, not once 1024 bytes have piled up.
TEST_F(TapRun, ChatterThatNeverPausesIsShownWhileItGoesOn) {
    StartTap(host_->slavePath());
    std::atomic<bool> talking{true};
    std::atomic<bool> fellSilent{false};
    std::thread chatter([&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (talking && std::chrono::steady_clock::now() < until) {
            ctrl_.Write(std::string("z"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the chatter's pace, not a wait
        }
        fellSilent = true;
    });
    bool shown = WaitOut("\"kind\":\"stray\"", 1);
    bool stillTalking = !fellSilent;
    talking = false;
    chatter.join();
    ASSERT_TRUE(shown);
    EXPECT_TRUE(stillTalking);
    EXPECT_EQ(Stop(), 0);
    for (const nlohmann::json& j : Lines()) {
        if (j["kind"] != "stray") continue;
        size_t bytes = (j["hex"].get<std::string>().size() + 1) / 3;
        EXPECT_LT(bytes, 200u) << "held back until the piece was full: " << bytes << " bytes";
        break;
    }
}

// A line that floods faster than the tap reads it does not hold the tap: --duration
// (and Ctrl+C, looked at in the same place) still ends it.
TEST_F(TapRun, AFloodingLineStillEndsAtItsDuration) {
    StartTap(host_->slavePath(), {"--duration", "1"});
    int master = ctrl_.master();
    ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const std::string block(4096, 'z');
        while (flooding) {
            if (write(master, block.data(), block.size()) < 0) std::this_thread::yield();  // full: try again
        }
    });
    auto start = std::chrono::steady_clock::now();
    int status = tap_->Wait(10000);
    auto took = std::chrono::steady_clock::now() - start;
    flooding = false;
    flood.join();
    EXPECT_EQ(status, 0);
    EXPECT_LT(took, std::chrono::seconds(3)) << "the flood held the tap past its duration";
}

TEST_F(TapRun, AnAdapterThatGoesAwayIsWaitedForWhileTheOtherLineIsHeard) {
    std::string link = dir_ + "/host-adapter";
    ASSERT_EQ(symlink(host_->slavePath().c_str(), link.c_str()), 0);
    StartTap(link);
    host_->Write(Frame("B07R"));
    ctrl_.Write(Cat(AckByte, Frame("B07R 1")));
    ASSERT_TRUE(WaitExchanges(1));

    host_.reset();  // pulled
    ASSERT_TRUE(WaitStderr("has gone away")) << tap_->Stderr();
    ctrl_.Write(Frame("B01R 9"));  // still heard
    ASSERT_TRUE(WaitExchanges(2));

    host_.reset(new PtyPeer);  // plugged back: the same name, a new device
    std::string fresh = link + ".new";
    ASSERT_EQ(symlink(host_->slavePath().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitStderr("is back")) << tap_->Stderr();
    host_->Write(Frame("B02R"));
    ctrl_.Write(Cat(AckByte, Frame("B02R 5")));
    ASSERT_TRUE(WaitExchanges(3));
    EXPECT_EQ(Stop(), 0);

    std::vector<std::string> verdicts;
    for (const nlohmann::json& j : Lines()) {
        if (j["kind"] == "exchange") verdicts.push_back(j["verdict"]);
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"ok", "unanswered reply", "ok"}));
}
