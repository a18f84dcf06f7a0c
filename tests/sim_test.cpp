// zantrox-sim as a program: started as a child process on its own pseudo-terminal,
// driven through the terminal's slave side like a console, watched through its log.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/sim_log.h"

#ifndef ZANTROX_SIM_PATH
#error "ZANTROX_SIM_PATH must name the zantrox-sim program"
#endif

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;

const int WAIT_MS = 3000;  // generous deadline for anything that should happen

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool WaitFor(const std::function<bool()>& done, int totalMs = WAIT_MS) {
    long long end = NowMs() + totalMs;
    while (!done()) {
        if (NowMs() >= end) return false;
        poll(nullptr, 0, 2);
    }
    return true;
}

Bytes Frame(const std::string& text) {
    unsigned char frame[1200];
    int n = BuildFrame(text.c_str(), frame, sizeof frame);
    return n < 0 ? Bytes() : Bytes(frame, frame + n);
}

Bytes BadFrame(const std::string& text) {
    Bytes frame = Frame(text);
    frame.back() = static_cast<unsigned char>((frame.back() + 1) & 0x7F);
    return frame;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Show(const Bytes& bytes) {
    std::string out;
    char piece[8];
    for (unsigned char b : bytes) {
        if (b >= 0x20 && b <= 0x7E) {
            out.push_back(static_cast<char>(b));
        } else {
            snprintf(piece, sizeof piece, "[%02X]", b);
            out += piece;
        }
    }
    return out;
}

// What came back for one frame, split at the first ACK.
struct Answer {
    Bytes before;  // bytes before the ACK
    bool ack = false;
    bool complete = false;  // a reply through ETX and its checksum byte
    bool checksumOk = false;
    std::string text;       // the reply text between STX and ETX
    size_t frameBytes = 0;  // the reply's length, STX through checksum
    unsigned char checksum = 0;
    Bytes after;  // anything after the reply (or after the ACK when no reply came)
};

Answer Parse(const Bytes& bytes) {
    Answer a;
    auto ack = std::find(bytes.begin(), bytes.end(), ACK);
    a.before.assign(bytes.begin(), ack);
    if (ack == bytes.end()) return a;
    a.ack = true;
    auto start = ack + 1;
    auto etx = std::find(start, bytes.end(), ETX);
    if (start == bytes.end() || *start != STX || etx == bytes.end() || etx + 1 == bytes.end()) {
        a.after.assign(start, bytes.end());
        return a;
    }
    a.complete = true;
    unsigned sum = 0;
    for (auto it = start; it <= etx; ++it) sum += *it;
    a.checksum = *(etx + 1);
    a.checksumOk = ReplyChecksumValid(sum, a.checksum) == 1;
    a.text.assign(start + 1, etx);
    a.frameBytes = static_cast<size_t>(etx + 2 - start);
    a.after.assign(etx + 2, bytes.end());
    return a;
}

bool AckSeen(const Bytes& b) { return std::find(b.begin(), b.end(), ACK) != b.end(); }
bool ReplyDone(const Bytes& b) { return Parse(b).complete; }

// The console's side of the terminal.
class Line {
public:
    ~Line() { Close(); }
    bool Open(const std::string& path) {
        Close();
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    // Sets the terminal's rate, as a console does when it opens the port.
    bool SetBaud(speed_t speed) {
        termios tio;
        if (tcgetattr(fd_, &tio) != 0) return false;
        return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0 && tcsetattr(fd_, TCSANOW, &tio) == 0;
    }

    // Sends one frame and notes when each byte of what comes back arrives (us),
    // until `done` holds or WAIT_MS passed.
    std::vector<std::pair<long long, unsigned char>> TimedExchange(const std::string& text,
                                                                   const std::function<bool(const Bytes&)>& done) {
        std::vector<std::pair<long long, unsigned char>> arrivals;
        Bytes all;
        Send(Frame(text));
        long long end = NowMs() + WAIT_MS;
        while (!done(all) && NowMs() < end) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            unsigned char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long us = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
            for (ssize_t i = 0; i < n; ++i) {
                arrivals.emplace_back(us, chunk[i]);
                all.push_back(chunk[i]);
            }
        }
        return arrivals;
    }

    // Writes everything, reading (and keeping) what comes back meanwhile.
    void Send(const Bytes& bytes) {
        size_t done = 0;
        long long end = NowMs() + WAIT_MS;
        while (done < bytes.size() && NowMs() < end) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            ReadSome(5);
        }
        EXPECT_EQ(done, bytes.size()) << "the simulator stopped taking bytes";
    }
    void Send(const std::string& text) { Send(ToBytes(text)); }

    // Reads until `done` holds for what has arrived, or `totalMs` passed.
    Bytes ReadUntil(const std::function<bool(const Bytes&)>& done, int totalMs = WAIT_MS) {
        long long end = NowMs() + totalMs;
        while (!done(pending_)) {
            long long left = end - NowMs();
            if (left <= 0) break;
            ReadSome(static_cast<int>(left));
        }
        return Take();
    }

    // Reads everything that arrives within `ms`: for checking that nothing does.
    Bytes ReadFor(int ms) {
        long long end = NowMs() + ms;
        for (long long left = ms; left > 0; left = end - NowMs()) ReadSome(static_cast<int>(left));
        return Take();
    }

    // Reads until the line has been quiet for `quietMs` (at most WAIT_MS in all).
    Bytes Drain(int quietMs = 120) {
        Bytes all;
        for (long long end = NowMs() + WAIT_MS; NowMs() < end;) {
            Bytes got = ReadFor(quietMs);
            if (got.empty()) return all;
            all.insert(all.end(), got.begin(), got.end());
        }
        ADD_FAILURE() << "the line never fell quiet";
        return all;
    }

    // Sends one frame and reads its answer: the ACK, and the reply when `reply`.
    Answer Exchange(const std::string& text, bool reply) {
        Send(Frame(text));
        return Parse(ReadUntil(reply ? ReplyDone : AckSeen));
    }

private:
    void ReadSome(int waitMs) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return;
        unsigned char chunk[4096];
        ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n > 0) pending_.insert(pending_.end(), chunk, chunk + n);
    }
    Bytes Take() {
        Bytes out;
        out.swap(pending_);
        return out;
    }

    int fd_ = -1;
    Bytes pending_;
};

// A temporary folder, removed with its content.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/zantrox-sim-test-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string command = "rm -rf '" + path_ + "'";
            if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
        }
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::string content;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return content;
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
    fclose(f);
    return content;
}

void WriteFile(const std::string& path, const std::string& content) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string LinkTarget(const std::string& path) {
    char target[512];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The simulator as a child process.
class Sim {
public:
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        CloseFd(out_);
        CloseFd(err_);
    }

    // Starts the program with `args`; `home`, when given, replaces HOME. Returns
    // true when it printed its ready line (then pty() and link() are set).
    bool Start(const std::vector<std::string>& args, const std::string& home = "") {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            if (home.empty() || strncmp(*e, "HOME=", 5) != 0) envStrings.push_back(*e);
        }
        if (!home.empty()) envStrings.push_back("HOME=" + home);
        std::vector<char*> env;
        for (std::string& s : envStrings) env.push_back(&s[0]);
        env.push_back(nullptr);
        std::vector<std::string> argStrings = {ZANTROX_SIM_PATH};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : argStrings) argv.push_back(&s[0]);
        argv.push_back(nullptr);

        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            execve(argv[0], argv.data(), env.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (pid_ < 0) return false;
        std::string line;
        long long end = NowMs() + WAIT_MS;
        while (line.find('\n') == std::string::npos) {
            long long left = end - NowMs();
            pollfd p = {out_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char chunk[256];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return false;  // ended without a ready line
            line.append(chunk, static_cast<size_t>(n));
        }
        stdout_ = line;
        std::string ready = line.substr(0, line.find('\n'));
        char pty[256];
        char link[512];
        if (sscanf(ready.c_str(), "zantrox-sim: ready %255s %511s", pty, link) != 2) return false;
        pty_ = pty;
        link_ = link;
        return true;
    }

    // Sends `sig` and waits for the end. Returns the exit status, or -1.
    int Stop(int sig = SIGTERM) {
        if (pid_ <= 0) return -1;
        kill(pid_, sig);
        int status = WaitEnd();
        return status;
    }

    // Waits for the program to end by itself. Returns its exit status, or -1.
    int WaitEnd(int totalMs = WAIT_MS) {
        int status = 0;
        bool ended = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, totalMs);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool Alive() {
        int status = 0;
        return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
    }

    void Signal(int sig) { kill(pid_, sig); }

    // What it wrote to stderr and stdout so far (after it ended: all of it).
    const std::string& Stderr() { return Collect(err_, stderr_); }
    const std::string& Stdout() { return Collect(out_, stdout_); }

    const std::string& pty() const { return pty_; }
    const std::string& link() const { return link_; }

private:
    static const std::string& Collect(int fd, std::string& all) {
        char chunk[1024];
        pollfd p = {fd, POLLIN, 0};
        while (fd >= 0 && poll(&p, 1, 0) > 0) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            all.append(chunk, static_cast<size_t>(n));
        }
        return all;
    }
    static void CloseFd(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string stdout_;
    std::string stderr_;
    std::string pty_;
    std::string link_;
};

// One simulator without a link, with a log and a control file in a temporary folder.
class SimTest : public ::testing::Test {
protected:
    void StartSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--no-link", "--log", log(), "--control", control()};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.Start(args)) << sim.Stderr();
        ASSERT_EQ(sim.pty().rfind("/dev/pts/", 0), 0u) << sim.pty();
        ASSERT_EQ(sim.link(), "-");
        ASSERT_TRUE(line.Open(sim.pty())) << strerror(errno);
    }

    std::string log() const { return dir / "sim.log"; }
    std::string control() const { return dir / "control"; }

    std::vector<simlog::Record> Records() { return simlog::ReadLog(log()); }
    size_t CountRecords(const std::string& verdict, const std::string& text) {
        size_t count = 0;
        for (const simlog::Record& r : Records()) count += r.verdict == verdict && r.text == text ? 1 : 0;
        return count;
    }
    // Waits until the log holds `count` records with this verdict and text.
    bool WaitRecord(const std::string& verdict, const std::string& text, size_t count = 1) {
        return WaitFor([&] { return CountRecords(verdict, text) >= count; });
    }

    // Switches the mode through the control file (written whole, then renamed in)
    // and waits until the simulator has logged the change.
    void SwitchMode(const std::string& mode) {
        size_t before = CountRecords("mode", mode);
        std::string temp = control() + ".new";
        WriteFile(temp, mode + "\n");
        ASSERT_EQ(rename(temp.c_str(), control().c_str()), 0);
        ASSERT_TRUE(WaitRecord("mode", mode, before + 1)) << "mode " << mode << " not taken";
    }

    TempDir dir;
    Sim sim;
    Line line;
};

TEST_F(SimTest, AnswersGoodFramesOnlyAndLogsEveryFrame) {
    StartSim();

    // The terminal is raw before anyone configures it: nothing echoed or cooked.
    termios tio;
    ASSERT_EQ(tcgetattr(line.fd(), &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    Answer status = line.Exchange("FE", true);
    EXPECT_TRUE(status.before.empty()) << Show(status.before);
    ASSERT_TRUE(status.complete);
    EXPECT_TRUE(status.checksumOk);
    EXPECT_EQ(status.text, std::string(32, 'I'));

    // A text without a reply gets the ACK alone.
    line.Send(Frame("C01"));
    EXPECT_EQ(line.ReadFor(200), Bytes{ACK});

    // Bytes before an STX are skipped, ETX and ACK among them.
    line.Send(ToBytes("xy\x03\x06z"));
    Answer version = line.Exchange("K", true);
    EXPECT_TRUE(version.before.empty());
    EXPECT_TRUE(version.checksumOk);
    EXPECT_EQ(version.text, "ZSIM 1.0");

    // A bad checksum gets nothing at all.
    line.Send(BadFrame("FE"));
    EXPECT_TRUE(line.ReadFor(300).empty());

    // Line feeds, a backslash, a tab and a high byte are logged on one line and
    // come back from the log as sent.
    const std::string odd = "U01F\n\nFooter\\n\t\xC3!";
    line.Send(Frame(odd));
    EXPECT_EQ(line.ReadFor(150), Bytes{ACK});
    ASSERT_TRUE(WaitRecord("ok", odd));
    std::string raw = ReadFile(log());
    EXPECT_NE(raw.find("\tok\tU01F\\x0A\\x0AFooter\\\\n\\x09\\xC3!\n"), std::string::npos) << raw;

    // The console may close and reopen its side; the simulator goes on.
    line.Close();
    ASSERT_TRUE(line.Open(sim.pty()));
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");

    ASSERT_TRUE(WaitRecord("ok", "K", 2));
    std::vector<simlog::Record> records = Records();
    std::vector<std::pair<std::string, std::string>> seen;
    for (const simlog::Record& r : records) seen.emplace_back(r.verdict, r.text);
    std::vector<std::pair<std::string, std::string>> expected = {
        {"mode", "normal"}, {"ok", "FE"}, {"ok", "C01"},          {"ok", "K"},
        {"bad-checksum", "FE"}, {"ok", odd}, {"ok", "K"},
    };
    EXPECT_EQ(seen, expected);
    for (size_t i = 1; i < records.size(); ++i) EXPECT_LE(records[i - 1].ms, records[i].ms);
    EXPECT_TRUE(sim.Alive());
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST_F(SimTest, RepliesFollowTheControllerState) {
    StartSim();
    const std::string idle(32, 'I');
    auto status = [&](const std::string& head) { return head + idle.substr(head.size()); };
    // What to send, and the reply text expected (nullptr: the ACK alone; the
    // status replies are checked against `statuses` in turn).
    const std::vector<std::pair<std::string, const char*>> script = {
        {"K", "ZSIM 1.0"},
        {"KE", "ZSIM 1.0 LINK 1.0 PUMPS 32 HOSES 8"},
        {"F1", "F100"},
        {"A0104000000000000", nullptr},
        {"A0310000250000000", nullptr},
        {"C03", nullptr},
        {"FE", nullptr},  // checked below: AIS...
        {"F1", "F10201A03S"},
        {"D03", nullptr},
        {"C00", nullptr},
        {"FE", nullptr},  // SIS...
        {"D00", nullptr},
        {"FE", nullptr},  // AIA...
        {"G", nullptr},
        {"FE", nullptr},  // all idle again
        {"B01R", "B01R011111001332"},
        {"B02EHMS$VLPT", "B02EH2M1S1$0000001465V0000012222L0000000000P001199T000001"},
        {"B01C", nullptr},
        {"B01R", "B01R000000000000"},
        {"B01EHMS$VLPT", "B01EH1M1S0$0000000000V0000000000L0000000000P001199T000000"},
        {"J011R", "J011001199001099"},
        {"J011E001299001199", nullptr},
        {"J012W002000001900", nullptr},
        {"J011R", "J011001299001199"},
        {"J021R", "J021001199001099"},
        {"I013", "I013V000001370368$000000164307"},
        {"I328", "I328V000032987648$000003955219"},
        {"ES", "ES02P01E017P05E042"},
        {"EW", "EW01"},
        {"ES", "ES01P05E042"},
        {"EC", "EC00"},
        {"ES", "ES00"},
        {"Y", "YRRRRRRRR------------------------"},
        {"X01R", "X01K1234E"},
        {"X01C", nullptr},
        {"X01R", "X01K"},
        {"W07R", "W07T;9999000000000007=3012?"},
        {"W07C", nullptr},
        {"W07R", "W07T"},
        // Texts outside the catalogue, and near misses, get the ACK alone.
        {"7@e", nullptr},
        {"Z01123@R456AZ789NYL0EHCe", nullptr},
        {"T01Display Line 1", nullptr},
        {"B01", nullptr},
        {"J011R0", nullptr},
        {"I019", nullptr},
        {"FEE", nullptr},
        {"", nullptr},
    };
    const std::vector<std::string> statuses = {status("AIS"), status("SIS"), status("AIA"), idle};
    size_t nextStatus = 0;
    for (const auto& step : script) {
        SCOPED_TRACE("sending " + step.first);
        bool isStatus = step.first == "FE";
        bool reply = step.second != nullptr || isStatus;
        Answer a = line.Exchange(step.first, reply);
        // Stray bytes from the step before would show up ahead of this ACK.
        EXPECT_TRUE(a.before.empty()) << Show(a.before);
        ASSERT_TRUE(a.ack);
        if (!reply) {
            EXPECT_TRUE(a.after.empty()) << Show(a.after);
            continue;
        }
        ASSERT_TRUE(a.complete);
        EXPECT_TRUE(a.checksumOk);
        EXPECT_TRUE(a.after.empty()) << Show(a.after);
        if (isStatus) {
            ASSERT_LT(nextStatus, statuses.size());
            EXPECT_EQ(a.text, statuses[nextStatus++]);
        } else {
            EXPECT_EQ(a.text, step.second);
        }
    }
    EXPECT_TRUE(line.ReadFor(150).empty());
}

TEST_F(SimTest, FaultModesShapeTheAnswers) {
    StartSim({"--slow-ms", "150"});

    SwitchMode("bad-checksum");
    Answer damaged = line.Exchange("FE", true);
    ASSERT_TRUE(damaged.complete);
    EXPECT_FALSE(damaged.checksumOk);
    EXPECT_EQ(damaged.text, std::string(32, 'I'));
    EXPECT_EQ(damaged.checksum, (Frame(damaged.text).back() + 1) & 0x7F);
    line.Send(Frame("C01"));
    EXPECT_EQ(line.ReadFor(150), Bytes{ACK});

    SwitchMode("noise");
    Answer noisy = line.Exchange("K", true);
    EXPECT_EQ(noisy.before, (Bytes{0x15, 0x7E, 'x'}));
    EXPECT_TRUE(noisy.checksumOk);
    EXPECT_EQ(noisy.text, "ZSIM 1.0");

    SwitchMode("gap");
    line.Send(Frame("FE"));
    long long last = NowMs();
    long long longestGap = 0;
    size_t bytesBeforeGap = 0;
    Bytes got;
    while (!ReplyDone(got) && NowMs() - last < WAIT_MS) {
        Bytes more = line.ReadUntil([](const Bytes& b) { return !b.empty(); });
        if (more.empty()) continue;
        long long now = NowMs();
        if (!got.empty() && now - last > longestGap) {
            longestGap = now - last;
            bytesBeforeGap = got.size();
        }
        last = now;
        got.insert(got.end(), more.begin(), more.end());
    }
    Answer split = Parse(got);
    ASSERT_TRUE(split.complete) << Show(got);
    EXPECT_TRUE(split.checksumOk);
    EXPECT_EQ(split.text, std::string(32, 'I'));
    // The pause (300 ms) is well over one receive window and falls inside the reply.
    EXPECT_GE(longestGap, 200);
    EXPECT_GT(bytesBeforeGap, 1u);
    EXPECT_LT(bytesBeforeGap, got.size());

    SwitchMode("long-reply");
    Answer longReply = line.Exchange("FE", true);
    ASSERT_TRUE(longReply.complete);
    EXPECT_TRUE(longReply.checksumOk);
    EXPECT_EQ(longReply.frameBytes, 953u);
    ASSERT_EQ(longReply.text.size(), 950u);
    EXPECT_EQ(longReply.text.substr(0, 27), "ABCDEFGHIJKLMNOPQRSTUVWXYZA");
    line.Send(Frame("C01"));
    EXPECT_EQ(line.ReadFor(150), Bytes{ACK});

    SwitchMode("ack-only");
    line.Send(Frame("FE"));
    EXPECT_EQ(line.ReadFor(200), Bytes{ACK});

    SwitchMode("silent");
    line.Send(Frame("A0304000000000000"));  // not heard: pump 3 stays idle
    EXPECT_TRUE(line.ReadFor(300).empty());
    EXPECT_TRUE(WaitRecord("ignored", "A0304000000000000"));

    SwitchMode("no-ack");
    line.Send(Frame("A0204000000000000"));  // heard, though not acknowledged
    EXPECT_TRUE(line.ReadFor(300).empty());
    EXPECT_TRUE(WaitRecord("ok", "A0204000000000000"));

    SwitchMode("chatter");
    Bytes idle = line.ReadUntil([](const Bytes& b) { return std::count(b.begin(), b.end(), 'z') >= 3; });
    EXPECT_EQ(static_cast<size_t>(std::count(idle.begin(), idle.end(), 'z')), idle.size()) << Show(idle);
    EXPECT_GE(idle.size(), 3u);
    Answer chatty = line.Exchange("FE", true);
    EXPECT_EQ(static_cast<size_t>(std::count(chatty.before.begin(), chatty.before.end(), 'z')),
              chatty.before.size());
    EXPECT_TRUE(chatty.checksumOk);
    EXPECT_EQ(chatty.text, "IAIIIIIIIIIIIIIIIIIIIIIIIIIIIIII");

    SwitchMode("slow");
    long long sent = NowMs();
    line.Send(Frame("K"));
    Bytes late = line.ReadUntil(AckSeen);
    EXPECT_GE(NowMs() - sent, 140);
    EXPECT_TRUE(AckSeen(late));
    line.Drain();

    SwitchMode("normal");  // the chatter has stopped too
    EXPECT_TRUE(line.ReadFor(150).empty());
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");

    // A rewrite with a name that is no mode changes nothing.
    WriteFile(control(), "loud\n");
    EXPECT_TRUE(WaitFor([&] { return sim.Stderr().find("loud") != std::string::npos; }));
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");

    std::vector<std::string> modes;
    for (const simlog::Record& r : Records()) {
        if (r.verdict == "mode") modes.push_back(r.text);
    }
    std::vector<std::string> expected = {"normal", "bad-checksum", "noise", "gap",  "long-reply", "ack-only",
                                         "silent", "no-ack",       "chatter", "slow", "normal"};
    EXPECT_EQ(modes, expected);
}

TEST_F(SimTest, StartModeDelayAndSignalCycling) {
    StartSim({"--fault", "ack-only", "--reply-delay-ms", "120"});
    long long sent = NowMs();
    line.Send(Frame("FE"));
    EXPECT_TRUE(AckSeen(line.ReadUntil(AckSeen)));
    EXPECT_GE(NowMs() - sent, 110);
    EXPECT_TRUE(line.ReadFor(150).empty());

    sim.Signal(SIGUSR1);  // ack-only -> slow
    ASSERT_TRUE(WaitRecord("mode", "slow"));
    sim.Signal(SIGUSR1);  // slow -> normal: the cycle wraps
    ASSERT_TRUE(WaitRecord("mode", "normal"));
    sent = NowMs();
    Answer a = line.Exchange("FE", true);
    EXPECT_GE(NowMs() - sent, 110);  // the delay holds in every mode
    EXPECT_TRUE(a.checksumOk);
    EXPECT_EQ(a.text, std::string(32, 'I'));
}

TEST_F(SimTest, SurvivesOversizedFramesAndRandomBytes) {
    StartSim();

    // 2000 text bytes: dropped once past 1100 bytes, then the next STX is a frame.
    Bytes big(1, STX);
    big.insert(big.end(), 2000, 'A');
    Bytes k = Frame("K");
    big.insert(big.end(), k.begin(), k.end());
    line.Send(big);
    Answer a = Parse(line.ReadUntil(ReplyDone));
    EXPECT_TRUE(a.before.empty());
    EXPECT_EQ(a.text, "ZSIM 1.0");

    // When the byte past the limit is itself an STX, it starts the next frame.
    Bytes exact(1, STX);
    exact.insert(exact.end(), 1097, 'B');
    Bytes y = Frame("Y");
    exact.insert(exact.end(), y.begin(), y.end());
    line.Send(exact);
    a = Parse(line.ReadUntil(ReplyDone));
    EXPECT_EQ(a.text, "YRRRRRRRR------------------------");
    ASSERT_TRUE(WaitRecord("ok", "Y"));
    size_t overflows = 0;
    for (const simlog::Record& r : Records()) {
        if (r.verdict != "overflow") continue;
        ++overflows;
        EXPECT_EQ(r.text.size(), 1097u);
    }
    EXPECT_EQ(overflows, 2u);

    // 100 KB of random bytes; whatever the simulator answers is read and dropped.
    std::mt19937 random(20240611u);
    Bytes noise(100 * 1024);
    for (unsigned char& b : noise) b = static_cast<unsigned char>(random());
    line.Send(noise);
    // The stream may end inside a frame: ETX and one byte close it as any frame
    // ends, then the line is drained.
    line.Send(ToBytes("\x03x"));
    line.Drain();
    EXPECT_TRUE(sim.Alive());
    Answer after = line.Exchange("K", true);
    EXPECT_TRUE(after.before.empty()) << Show(after.before);
    EXPECT_TRUE(after.checksumOk);
    EXPECT_EQ(after.text, "ZSIM 1.0");

    // Every logged frame stayed on one line of its own.
    ASSERT_TRUE(WaitRecord("ok", "K", 2));
    std::string raw = ReadFile(log());
    EXPECT_EQ(static_cast<size_t>(std::count(raw.begin(), raw.end(), '\n')), Records().size());
    EXPECT_EQ(sim.Stop(SIGINT), 0);
}

// ---- The link -----------------------------------------------------------------------

TEST(SimLinkTest, RefusesToReplaceWhatIsNotItsOwn) {
    TempDir dir;
    const std::string path = dir / "com1";

    WriteFile(path, "keep me");
    Sim onFile;
    EXPECT_FALSE(onFile.Start({"--link", path}));
    EXPECT_EQ(onFile.WaitEnd(), 2);
    EXPECT_NE(onFile.Stderr().find(path), std::string::npos);
    EXPECT_EQ(ReadFile(path), "keep me");
    ASSERT_EQ(unlink(path.c_str()), 0);

    // A dangling link is refused too unless it points into /dev/pts/.
    ASSERT_EQ(symlink("/tmp/no-such-device-here", path.c_str()), 0);
    Sim onLink;
    EXPECT_FALSE(onLink.Start({"--link", path}));
    EXPECT_EQ(onLink.WaitEnd(), 2);
    EXPECT_EQ(LinkTarget(path), "/tmp/no-such-device-here");
    ASSERT_EQ(unlink(path.c_str()), 0);

    // A link to a terminal that still exists belongs to whoever holds it.
    ASSERT_EQ(symlink("/dev/ptmx", path.c_str()), 0);
    Sim onLive;
    EXPECT_FALSE(onLive.Start({"--link", path}));
    EXPECT_EQ(onLive.WaitEnd(), 2);
    EXPECT_EQ(LinkTarget(path), "/dev/ptmx");
    ASSERT_EQ(unlink(path.c_str()), 0);

    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    Sim onFolder;
    EXPECT_FALSE(onFolder.Start({"--link", path}));
    EXPECT_EQ(onFolder.WaitEnd(), 2);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(SimLinkTest, ReplacesAStaleLinkAndRemovesOnlyItsOwn) {
    TempDir dir;
    const std::string path = dir / "com2";
    ASSERT_EQ(symlink("/dev/pts/999999", path.c_str()), 0);  // left by a killed simulator

    Sim sim;
    ASSERT_TRUE(sim.Start({"--link", path}));
    EXPECT_EQ(sim.link(), path);
    EXPECT_EQ(LinkTarget(path), sim.pty());
    Line line;
    ASSERT_TRUE(line.Open(path));  // the console's way in
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_FALSE(Exists(path));

    // A link someone else put there meanwhile is left alone at exit.
    Sim second;
    ASSERT_TRUE(second.Start({"--link", path}));
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", path.c_str()), 0);
    EXPECT_EQ(second.Stop(SIGHUP), 0);
    EXPECT_EQ(LinkTarget(path), "/dev/null");
}

TEST(SimLinkTest, DefaultLinkLivesUnderHome) {
    TempDir home;
    const std::string path = home / ".config/zantrox/com3";
    Sim sim;
    ASSERT_TRUE(sim.Start({"--com", "3"}, home.path())) << sim.Stderr();
    EXPECT_EQ(sim.link(), path);
    EXPECT_EQ(LinkTarget(path), sim.pty());
    Line line;
    ASSERT_TRUE(line.Open(path));
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    EXPECT_FALSE(Exists(path));
    EXPECT_TRUE(Exists(home / ".config/zantrox"));
}

TEST(SimUsageTest, HelpAndBadArguments) {
    Sim help;
    EXPECT_FALSE(help.Start({"--help"}));  // no ready line
    EXPECT_EQ(help.WaitEnd(), 0);
    std::string usage = help.Stdout();
    for (const char* word :
         {"--com", "--link", "--no-link", "--fault", "--control", "--log", "--reply-delay-ms", "--slow-ms", "normal",
          "silent", "no-ack", "bad-checksum", "noise", "gap", "long-reply", "chatter", "ack-only", "slow"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }

    // Each refusal names what is wrong, then shows the usage (worded by CLI11).
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--bogus"}, "--bogus"},
        {{"--com", "0"}, "--com"},
        {{"--com", "10"}, "--com"},
        {{"--fault", "loud"}, "loud"},
        {{"--com"}, "--com"},
        {{"--reply-delay-ms", "x"}, "--reply-delay-ms"},
        {{"--link", ""}, "--link"},
        {{"--no-link", "--link", "/tmp/x"}, "--no-link"},
        {{"--com=3", "--link", "/tmp/x"}, "--link"},
    };
    for (const auto& [args, named] : bad) {
        Sim sim;
        EXPECT_FALSE(sim.Start(args));
        EXPECT_EQ(sim.WaitEnd(), 2) << args[0];
        std::string reason = sim.Stderr().substr(0, sim.Stderr().find('\n'));
        EXPECT_EQ(reason.rfind("zantrox-sim: ", 0), 0u) << reason;
        EXPECT_NE(reason.find(named), std::string::npos) << reason;
        EXPECT_NE(sim.Stderr().find("Usage:"), std::string::npos) << args[0];
    }
}


// ---- The line: timing and baud rates ---------------------------------------------

// A reply of 60 bytes: STX, 57 text bytes, ETX, checksum.
const char SIXTY_BYTE_REQUEST[] = "B02EHMS$VLPT";

// The time from the first to the last byte of the reply to SIXTY_BYTE_REQUEST (us).
long long SixtyByteReplyUs(Line& line) {
    auto arrivals = line.TimedExchange(SIXTY_BYTE_REQUEST, ReplyDone);
    Bytes bytes;
    for (const auto& a : arrivals) bytes.push_back(a.second);
    Answer answer = Parse(bytes);
    EXPECT_TRUE(answer.complete && answer.checksumOk) << Show(bytes);
    EXPECT_EQ(answer.frameBytes, 60u);
    if (!answer.complete || arrivals.size() < 61) return -1;
    size_t first = arrivals.size() - answer.frameBytes;
    return arrivals.back().first - arrivals[first].first;
}

TEST(SimLineTest, RepliesTakeTenBitTimesAByteAtTheConsolesRate) {
    // 59 byte-times lie between the first byte's arrival and the last one's.
    const long long at9600 = 59LL * 10 * 1000000 / 9600;
    const long long at2400 = 59LL * 10 * 1000000 / 2400;
    Sim sim;
    ASSERT_TRUE(sim.Start({"--no-link", "--baud", "auto"})) << sim.Stderr();
    Line line;
    ASSERT_TRUE(line.Open(sim.pty()));
    ASSERT_TRUE(line.SetBaud(B9600));
    long long fast = SixtyByteReplyUs(line);
    EXPECT_GE(fast, at9600 * 9 / 10);
    EXPECT_LE(fast, at9600 * 3);

    // The console reopens the port at another rate; the simulator follows.
    line.Close();
    ASSERT_TRUE(line.Open(sim.pty()));
    ASSERT_TRUE(line.SetBaud(B2400));
    long long slow = SixtyByteReplyUs(line);
    EXPECT_GE(slow, at2400 * 9 / 10);
    EXPECT_LE(slow, at2400 * 3);

    // --instant answers at the terminal's own speed.
    Sim instant;
    ASSERT_TRUE(instant.Start({"--no-link", "--baud", "2400", "--instant"})) << instant.Stderr();
    Line quick;
    ASSERT_TRUE(quick.Open(instant.pty()));
    ASSERT_TRUE(quick.SetBaud(B2400));
    long long none = SixtyByteReplyUs(quick);
    EXPECT_GE(none, 0);
    EXPECT_LT(none, at2400 / 3);
}

TEST(SimLineTest, MismatchedRatesGarbleBothWays) {
    TempDir dir;
    Sim sim;
    ASSERT_TRUE(sim.Start({"--no-link", "--baud", "9600", "--fault", "chatter", "--log", dir / "sim.log"}))
        << sim.Stderr();
    Line line;
    ASSERT_TRUE(line.Open(sim.pty()));
    // Untouched, the terminal runs at the controller's rate: answers as usual.
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");

    ASSERT_TRUE(line.SetBaud(B4800));
    line.Drain(30);
    line.Send(Frame("K"));
    line.Send(Frame("FE"));
    // The chatter arrives, one garbage byte for each 'z', the same each time, and
    // never a byte of the link's own.
    Bytes heard = line.ReadUntil([](const Bytes& b) { return b.size() >= 4; });
    ASSERT_GE(heard.size(), 4u);
    for (unsigned char b : heard) {
        EXPECT_EQ(b, heard[0]) << Show(heard);
        EXPECT_TRUE(b != 'z' && b != ACK && b != STX && b != ETX) << Show(heard);
    }
    // What the console sent never became a frame.
    size_t framesAt4800 = 0;
    for (const simlog::Record& r : simlog::ReadLog(dir / "sim.log")) framesAt4800 += r.verdict == "ok" ? 1 : 0;
    EXPECT_EQ(framesAt4800, 1u);  // the K sent at 9600

    ASSERT_TRUE(line.SetBaud(B9600));
    line.Drain(30);
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");
    EXPECT_EQ(sim.Stop(), 0);
}

// ---- Recordings and rules -----------------------------------------------------------------

std::string Hex(const Bytes& bytes) {
    std::string out;
    char piece[4];
    for (unsigned char b : bytes) {
        snprintf(piece, sizeof piece, "%s%02X", out.empty() ? "" : " ", b);
        out += piece;
    }
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::string Exchange(const std::string& request, const char* ackMs, const char* replyMs, const Bytes& answer) {
    return std::string("{\"kind\":\"exchange\",\"first\":\"2026-12-08T09:30:01.000000Z\",\"request\":\"") + request +
           "\",\"command\":\"unknown\",\"pump\":null,\"ack_ms\":" + ackMs + ",\"reply\":null,\"reply_ms\":" + replyMs +
           ",\"answer_hex\":\"" + Hex(answer) + "\",\"verdict\":\"ok\"}\n";
}

std::string PieceLine(const char* kind, const std::string& first, const std::string& last, const Bytes& bytes,
                      const std::string& text = "") {
    std::string line = std::string("{\"kind\":\"") + kind + "\",\"first\":\"2026-12-08T09:30:" + first +
                       "Z\",\"last\":\"2026-12-08T09:30:" + last + "Z\",\"gap_ms\":null,\"hex\":\"" + Hex(bytes) +
                       "\"";
    if (!text.empty()) line += ",\"text\":\"" + text + "\",\"checksum\":\"ok\"";
    return line + "}\n";
}

TEST(SimReplayTest, AnswersAsRecordedInOrderThenTheLastAgain) {
    TempDir dir;
    const Bytes rec1 = Frame("REC 1");
    const Bytes rec3 = BadFrame("REC 3");
    WriteFile(dir / "tap.jsonl", Exchange("K", "40", "60", Join({{ACK}, rec1})) +
                                     Exchange("K", "null", "null", {}) +
                                     Exchange("K", "1", "2", Join({{0x15, 0x7E, ACK}, rec3})));
    Sim sim;
    ASSERT_TRUE(sim.Start({"--no-link", "--replay", dir / "tap.jsonl"})) << sim.Stderr();
    Line line;
    ASSERT_TRUE(line.Open(sim.pty()));

    line.Send(Frame("K"));
    EXPECT_EQ(line.ReadUntil(ReplyDone), Join({{ACK}, rec1}));
    line.Send(Frame("K"));
    EXPECT_TRUE(line.ReadFor(200).empty());  // the recorded silence
    line.Send(Frame("K"));
    EXPECT_EQ(line.ReadUntil(ReplyDone), Join({{0x15, 0x7E, ACK}, rec3}));
    line.Send(Frame("K"));
    EXPECT_EQ(line.ReadUntil(ReplyDone), Join({{0x15, 0x7E, ACK}, rec3}));  // the last one again

    // A request the recording lacks gets the usual answer.
    EXPECT_EQ(line.Exchange("KE", true).text, "ZSIM 1.0 LINK 1.0 PUMPS 32 HOSES 8");
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimReplayTest, KeepsTheRecordedLatencies) {
    TempDir dir;
    WriteFile(dir / "slow.jsonl", Exchange("K", "80", "200", Join({{ACK}, Frame("LATE")})));
    Sim sim;
    ASSERT_TRUE(sim.Start({"--no-link", "--replay", dir / "slow.jsonl"})) << sim.Stderr();
    Line line;
    ASSERT_TRUE(line.Open(sim.pty()));
    long long start = NowMs();
    auto arrivals = line.TimedExchange("K", ReplyDone);
    ASSERT_EQ(arrivals.size(), 1 + Frame("LATE").size());
    long long startUs = start * 1000;
    long long ackMs = (arrivals[0].first - startUs) / 1000;
    long long replyMs = (arrivals[1].first - startUs) / 1000;
    EXPECT_GE(ackMs, 75);
    EXPECT_LE(ackMs, 240);
    EXPECT_GE(replyMs, 190);
    EXPECT_LE(replyMs, 600);
}

TEST(SimReplayTest, PiecesOfAOneLineWatchMakeExchanges) {
    TempDir dir;
    const Bytes status = Frame("FE");
    const Bytes statusReply = Frame(std::string(32, 'S'));
    // FE answered with a reply; C01 with the ACK alone, so the K after it is the
    // next request, not a reply; K answered with noise, the ACK and a reply.
    WriteFile(dir / "watch.jsonl",
              PieceLine("frame", "01.000000", "01.000100", status, "FE") +
                  PieceLine("ack", "01.010100", "01.010100", {ACK}) +
                  PieceLine("frame", "01.011000", "01.050000", statusReply, std::string(32, 'S')) +
                  PieceLine("frame", "02.000000", "02.000100", Frame("C01"), "C01") +
                  PieceLine("ack", "02.001100", "02.001100", {ACK}) +
                  PieceLine("frame", "03.000000", "03.000100", Frame("K"), "K") +
                  PieceLine("stray", "03.001000", "03.001000", {0x15}) +
                  PieceLine("ack", "03.002000", "03.002000", {ACK}) +
                  PieceLine("frame", "03.003000", "03.009000", Frame("SITE 7"), "SITE 7"));
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict ? "strict" : "lenient");
        Sim sim;
        std::vector<std::string> args = {"--no-link", "--replay", dir / "watch.jsonl"};
        if (strict) args.push_back("--replay-strict");
        ASSERT_TRUE(sim.Start(args)) << sim.Stderr();
        Line line;
        ASSERT_TRUE(line.Open(sim.pty()));
        EXPECT_EQ(line.Exchange("FE", true).text, std::string(32, 'S'));
        line.Send(Frame("C01"));
        EXPECT_EQ(line.ReadFor(150), Bytes{ACK});
        line.Send(Frame("K"));
        EXPECT_EQ(line.ReadUntil(ReplyDone), Join({{0x15, ACK}, Frame("SITE 7")}));
        line.Send(Frame("KE"));  // not in the recording
        if (strict) {
            EXPECT_TRUE(line.ReadFor(200).empty());
        } else {
            EXPECT_EQ(Parse(line.ReadUntil(ReplyDone)).text, "ZSIM 1.0 LINK 1.0 PUMPS 32 HOSES 8");
        }
    }
}

TEST(SimReplayTest, BadRecordingsAreRefusedWithTheLine) {
    const std::string good = Exchange("K", "1", "2", Join({{ACK}, Frame("A")}));
    const std::vector<std::pair<std::string, std::string>> bad = {
        {good + "{not json\n", "line 2: not JSON"},
        {good + "\n[1,2]\n", "line 3: not a JSON object"},
        {"{\"kind\":\"exchange\",\"request\":\"K\",\"answer_hex\":\"06 0G\"}\n", "line 1: \"answer_hex\""},
        {"{\"colour\":\"blue\"}\n", "line 1: neither"},
        {"{\"sent\":\"K\",\"received\":\"06\",\"answer_ms\":-3}\n", "line 1: \"answer_ms\""},
        {"{\"kind\":\"frame\",\"hex\":\"02 4B 03 33\",\"text\":\"K\"}\n", "line 1: \"first\""},
        {"{\"kind\":\"banner\"}\n", "line 1: unknown kind"},
        {"{\"kind\":\"exchange\",\"request\":\"\\u0100\",\"answer_hex\":\"\"}\n", "line 1: \"request\""},
        {"\n\n", "line 2: no request"},
    };
    TempDir dir;
    for (const auto& [content, reason] : bad) {
        SCOPED_TRACE(reason);
        WriteFile(dir / "rec.jsonl", content);
        Sim sim;
        EXPECT_FALSE(sim.Start({"--no-link", "--replay", dir / "rec.jsonl"}));
        EXPECT_EQ(sim.WaitEnd(), 2);
        EXPECT_NE(sim.Stderr().find(dir / "rec.jsonl: " + reason), std::string::npos) << sim.Stderr();
    }
}

TEST(SimRulesTest, RulesShapeTheAnswersInOrder) {
    TempDir dir;
    WriteFile(dir / "rules.json", R"([
        {"match": "^B(\\d\\d)R$", "reply": "B$1R999999000000", "times": 2},
        {"match": "^K$", "fault": "bad-checksum", "times": 1},
        {"match": "^K$", "fault": "noise", "times": 1},
        {"match": "^K$", "fault": "cut", "times": 1},
        {"match": "^K$", "fault": "no-ack", "times": 1},
        {"match": "^KE$", "reply": null, "ack_delay_ms": 120},
        {"match": "^Y$", "reply": "QUIRK", "reply_delay_ms": 150}
    ])");
    Sim sim;
    ASSERT_TRUE(sim.Start({"--no-link", "--rules", dir / "rules.json"})) << sim.Stderr();
    Line line;
    ASSERT_TRUE(line.Open(sim.pty()));

    EXPECT_EQ(line.Exchange("B05R", true).text, "B05R999999000000");
    EXPECT_EQ(line.Exchange("B12R", true).text, "B12R999999000000");
    EXPECT_EQ(line.Exchange("B05R", true).text, "B05R015555001865");  // used up: the usual answer

    Answer damaged = line.Exchange("K", true);
    EXPECT_TRUE(damaged.complete);
    EXPECT_FALSE(damaged.checksumOk);
    Answer noisy = line.Exchange("K", true);
    EXPECT_EQ(noisy.before, (Bytes{0x15, 0x7E, 'x'}));
    EXPECT_TRUE(noisy.checksumOk);
    line.Send(Frame("K"));
    Bytes cut = line.Drain();
    const Bytes whole = Frame("ZSIM 1.0");
    const Bytes half(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
    EXPECT_EQ(cut, Join({{ACK}, half}));
    line.Send(Frame("K"));
    EXPECT_TRUE(line.ReadFor(200).empty());
    EXPECT_EQ(line.Exchange("K", true).text, "ZSIM 1.0");  // every rule for K used up

    long long start = NowMs();
    line.Send(Frame("KE"));
    EXPECT_EQ(line.ReadUntil(AckSeen), Bytes{ACK});
    long long ackMs = NowMs() - start;
    EXPECT_GE(ackMs, 110);
    EXPECT_LE(ackMs, 360);
    EXPECT_TRUE(line.ReadFor(100).empty());  // null: the ACK alone

    line.Send(Frame("Y"));
    EXPECT_EQ(line.ReadUntil(AckSeen), Bytes{ACK});
    start = NowMs();
    Bytes reply = line.ReadUntil([](const Bytes& b) { return ReplyDone(Join({{ACK}, b})); });
    EXPECT_EQ(Parse(Join({{ACK}, reply})).text, "QUIRK");
    long long replyGap = NowMs() - start;
    EXPECT_GE(replyGap, 130);
    EXPECT_LE(replyGap, 450);
}

TEST(SimRulesTest, AFractionOfMatchesIsTheSameOnEveryRun) {
    TempDir dir;
    WriteFile(dir / "rules.json", R"([{"match": "^K$", "fraction": 0.5, "seed": 7, "fault": "no-ack"}])");
    std::vector<std::string> runs;
    for (int run = 0; run < 2; ++run) {
        Sim sim;
        ASSERT_TRUE(sim.Start({"--no-link", "--instant", "--rules", dir / "rules.json"})) << sim.Stderr();
        Line line;
        ASSERT_TRUE(line.Open(sim.pty()));
        std::string answered;
        for (int i = 0; i < 16; ++i) {
            line.Send(Frame("K"));
            answered += Parse(line.ReadUntil(ReplyDone, 150)).complete ? 'a' : '-';
        }
        runs.push_back(answered);
    }
    EXPECT_EQ(runs[0], runs[1]);
    size_t silent = static_cast<size_t>(std::count(runs[0].begin(), runs[0].end(), '-'));
    EXPECT_GE(silent, 3u) << runs[0];
    EXPECT_LE(silent, 13u) << runs[0];
}

TEST(SimRulesTest, BadRulesAreRefusedNamingTheRuleAndTheKey) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"[", "not JSON"},
        {"{\"match\": \"K\"}", "not a JSON array"},
        {"[{\"match\": \"K\"}, {\"reply\": \"x\"}]", "rule 2: \"match\": missing"},
        {"[{\"match\": \"(\"}]", "rule 1: \"match\": bad pattern"},
        {"[{\"match\": \"K\", \"colour\": 1}]", "rule 1: \"colour\": unknown key"},
        {"[{\"match\": \"K\", \"fault\": \"loud\"}]", "rule 1: \"fault\""},
        {"[{\"match\": \"K\", \"ack_delay_ms\": -1}]", "rule 1: \"ack_delay_ms\""},
        {"[{\"match\": \"K\", \"reply_delay_ms\": \"soon\"}]", "rule 1: \"reply_delay_ms\""},
        {"[{\"match\": \"K\", \"reply\": \"a\\u0003b\"}]", "rule 1: \"reply\""},
        {"[{\"match\": \"K\", \"times\": 0}]", "rule 1: \"times\""},
        {"[{\"match\": \"K\", \"fraction\": 1.5}]", "rule 1: \"fraction\""},
        {"[{\"match\": \"K\", \"times\": 2, \"fraction\": 0.5}]", "rule 1: \"fraction\""},
        {"[{\"match\": \"K\", \"seed\": 3}]", "rule 1: \"seed\""},
    };
    TempDir dir;
    for (const auto& [content, reason] : bad) {
        SCOPED_TRACE(reason);
        WriteFile(dir / "rules.json", content);
        Sim sim;
        EXPECT_FALSE(sim.Start({"--no-link", "--rules", dir / "rules.json"}));
        EXPECT_EQ(sim.WaitEnd(), 2);
        EXPECT_NE(sim.Stderr().find(dir / "rules.json: " + reason), std::string::npos) << sim.Stderr();
    }
}

}  // namespace

TEST_F(SimTest, TapLinksRepeatBothDirectionsAndAreRemovedAtTheEnd) {
    std::string hostLink = dir / "tap-host";
    std::string ctrlLink = dir / "tap-ctrl";
    StartSim({"--tap-links", hostLink, ctrlLink});
    Line host;
    Line ctrl;
    ASSERT_TRUE(host.Open(hostLink)) << strerror(errno);
    ASSERT_TRUE(ctrl.Open(ctrlLink)) << strerror(errno);

    // Noise and a frame from the console, then the answer: each side repeated byte for byte.
    Bytes sent = ToBytes("zz");
    Bytes frame = Frame("FE");
    sent.insert(sent.end(), frame.begin(), frame.end());
    line.Send(sent);
    Bytes answer = line.ReadUntil(ReplyDone);
    ASSERT_TRUE(Parse(answer).complete);
    EXPECT_EQ(host.ReadUntil([&](const Bytes& b) { return b.size() >= sent.size(); }), sent);
    EXPECT_EQ(ctrl.ReadUntil([&](const Bytes& b) { return b.size() >= answer.size(); }), answer);
    // Nothing comes back on the taps' own lines into the simulator.
    host.Send(Frame("FE"));
    EXPECT_TRUE(line.ReadFor(150).empty());

    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_FALSE(Exists(hostLink));
    EXPECT_FALSE(Exists(ctrlLink));
}
