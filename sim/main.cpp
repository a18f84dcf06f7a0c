// zantrox-sim: plays the fuel-dispenser controller on a pseudo-terminal, so the
// console and its tests run without hardware. One thread, one poll loop: bytes
// from the console are parsed into frames, each frame is logged and answered
// according to the rules, the recording or the fault mode, and answers leave
// through a small queue of timed segments, a byte at a time at the line's rate
// (delays, gaps and chatter need nothing more). The console's side of the
// terminal tells its baud rate; when it is not the controller's own, each side
// hears garbage, as on a real line.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <termios.h>

#include <algorithm>
#include <string>

#include "link/frame.h"
#include "sim/controller.h"
#include "sim/line.h"
#include "sim/options.h"
#include "sim/script.h"
#include "sim/tap.h"
#include "sim/terminal.h"

namespace {

enum {
    EXIT_USAGE = 2,
    SEGMENT_BYTES = 1024,  // one whole reply frame, the long one included
    QUEUE_SEGMENTS = 64,
    READ_CHUNK = 4096,
    LOG_LINE_BYTES = 32 + 4 * SIM_TEXT_MAX + 64,
    CONTROL_BYTES = 64,
    CONTROL_PERIOD_MS = 20,
    CHATTER_PERIOD_MS = 50,
    NOISE_LEAD_MS = 10,  // noise goes out this long before the ACK
    GAP_MS = 300,
    ERROR_BACKOFF_MS = 20,
};

const unsigned char NOISE[] = {0x15, 0x7E, 'x'};
const unsigned char CHATTER_BYTE = 'z';
const unsigned char ACK_BYTE = ACK;

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t cycleRequests = 0;

void OnStop(int) { stopRequested = 1; }
void OnCycle(int) { cycleRequests = cycleRequests + 1; }

long long NowUs() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

long long NowMs() { return NowUs() / 1000; }

const long long US_PER_MS = 1000;

// Writes all of `length` bytes to a blocking descriptor. Returns 0 or -1.
int WriteAll(int fd, const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

void Complain(const char* what, const char* detail) {
    char line[SIM_PATH_BYTES + 256];
    int n = snprintf(line, sizeof line, "zantrox-sim: %s%s%s\n", what, detail[0] ? ": " : "", detail);
    if (n <= 0) return;
    if (n >= static_cast<int>(sizeof line)) n = static_cast<int>(sizeof line) - 1;
    (void)WriteAll(2, line, static_cast<size_t>(n));
}

// ---- The log ---------------------------------------------------------------

struct EventLog {
    int fd;      // -1: no log
    int ownsFd;
    int failed;  // a write failed once; complaining again would only repeat it
    long long start;
    char line[LOG_LINE_BYTES];
};

EventLog eventLog;

// One line: "<ms>\t<verdict>\t<text>\n", the text escaped so the line stays one line.
void LogEvent(const char* verdict, const unsigned char* text, int length) {
    if (eventLog.fd < 0 || eventLog.failed) return;
    static const char hex[] = "0123456789ABCDEF";
    char* line = eventLog.line;
    int n = snprintf(line, sizeof eventLog.line, "%lld\t%s\t", NowMs() - eventLog.start, verdict);
    if (n <= 0 || n >= static_cast<int>(sizeof eventLog.line) - 4 * length - 2) return;
    for (int i = 0; i < length; ++i) {
        unsigned char b = text[i];
        if (b == '\\') {
            line[n++] = '\\';
            line[n++] = '\\';
        } else if (b >= 0x20 && b <= 0x7E) {
            line[n++] = static_cast<char>(b);
        } else {
            line[n++] = '\\';
            line[n++] = 'x';
            line[n++] = hex[b >> 4];
            line[n++] = hex[b & 0x0F];
        }
    }
    line[n++] = '\n';
    if (WriteAll(eventLog.fd, line, static_cast<size_t>(n)) != 0) {
        eventLog.failed = 1;
        Complain("cannot write the log", strerror(errno));
    }
}

void LogText(const char* verdict, const char* text) {
    LogEvent(verdict, reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text)));
}

// ---- The line ----------------------------------------------------------------

struct LineState {
    int slave;            // the simulator's own descriptor of the terminal's slave side
    int ownBaud;          // the controller's rate
    int followConsole;    // --baud auto: the controller takes whatever rate the console sets
    int instant;          // --instant: no line timing
    long long lastUs;     // when the last byte sent was delivered (-1: none yet)
};

LineState line;

// The rate the console's side has set on the terminal now (settings belong to the
// terminal, so the simulator's descriptor reads them); the controller's own rate
// when it cannot be read or is not a usual one.
int ConsoleBaud() {
    termios tio;
    if (tcgetattr(line.slave, &tio) != 0) return line.ownBaud;
    int baud = BaudOfSpeed(cfgetospeed(&tio));
    return baud > 0 ? baud : line.ownBaud;
}

// The controller's rate for this moment: its own, or the console's with --baud auto.
int ControllerBaud(int consoleBaud) { return line.followConsole ? consoleBaud : line.ownBaud; }

// ---- Timed output ----------------------------------------------------------

struct Segment {
    long long due;      // its first byte is not delivered before this time (us)
    long long afterUs;  // at least this much silence after the byte before it
    long long nextUs;   // when its next byte is due; -1 before it has started
    int length;
    int offset;         // bytes already written
    unsigned char bytes[SEGMENT_BYTES];
};

struct OutputQueue {
    Segment segment[QUEUE_SEGMENTS];
    int head;
    int count;
    long long lastDue;  // due time of the newest segment: answers never overtake
    int failedWrites;
};

OutputQueue output;

int QueueRoom() { return QUEUE_SEGMENTS - output.count; }

// Queues bytes for `due`, at least `afterUs` after the byte before them; more
// bytes than a segment holds go out in segments that follow at once.
void Enqueue(long long due, long long afterUs, const unsigned char* bytes, int length) {
    while (length > 0 && output.count < QUEUE_SEGMENTS) {
        int part = length < SEGMENT_BYTES ? length : SEGMENT_BYTES;
        if (output.count > 0 && due < output.lastDue) due = output.lastDue;
        Segment& s = output.segment[(output.head + output.count) % QUEUE_SEGMENTS];
        s.due = due;
        s.afterUs = afterUs;
        s.nextUs = -1;
        s.length = part;
        s.offset = 0;
        memcpy(s.bytes, bytes, static_cast<size_t>(part));
        output.lastDue = due;
        ++output.count;
        bytes += part;
        length -= part;
        afterUs = 0;
    }
}

// Writes what is due: at the line's rate a byte every 10 bit-times (several at
// once when the loop woke late, so the rate holds on average), all of it at once
// with --instant. Bytes leave as the console's side would hear them. Returns 1
// when the master would block, 0 otherwise; `wake` is when the next byte is due
// (-1: nothing waits). A segment that cannot be written is dropped.
int FlushDue(int master, long long now, long long& wake) {
    wake = -1;
    if (output.count == 0) return 0;
    int consoleBaud = ConsoleBaud();
    int ownBaud = ControllerBaud(consoleBaud);
    long long byteUs = line.instant ? 0 : ByteMicros(ownBaud);
    while (output.count > 0) {
        Segment& s = output.segment[output.head];
        if (s.nextUs < 0) {
            s.nextUs = s.due;
            if (line.lastUs >= 0) s.nextUs = std::max(s.nextUs, line.lastUs + std::max(byteUs, s.afterUs));
        }
        if (s.nextUs > now) {
            wake = s.nextUs;
            return 0;
        }
        int count = s.length - s.offset;
        if (byteUs > 0) count = static_cast<int>(std::min<long long>(count, (now - s.nextUs) / byteUs + 1));
        unsigned char heard[SEGMENT_BYTES];
        for (int i = 0; i < count; ++i) heard[i] = HeardByte(s.bytes[s.offset + i], ownBaud, consoleBaud);
        ssize_t n = write(master, heard, static_cast<size_t>(count));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 1;
            if (output.failedWrites++ == 0) Complain("cannot write to the terminal", strerror(errno));
            n = s.length - s.offset;
        } else {
            TapRepeat(TAP_SIDE_CTRL, heard, static_cast<int>(n));  // as the console's side hears it
        }
        if (n == 0) return 1;
        s.offset += static_cast<int>(n);
        line.lastUs = byteUs > 0 ? s.nextUs + (n - 1) * byteUs : now;
        s.nextUs = line.lastUs + byteUs;
        if (s.offset == s.length) {
            output.head = (output.head + 1) % QUEUE_SEGMENTS;
            --output.count;
        }
    }
    return 0;
}

// ---- The controller's behaviour ------------------------------------------------

enum Damage {
    DAMAGE_NONE = 0,
    DAMAGE_BAD_CHECKSUM,  // the reply's checksum byte + 1 (mod 128)
    DAMAGE_GAP,           // half the reply, a pause, the rest
    DAMAGE_CUT,           // half the reply, then nothing
};

// How one answer goes out.
struct Shape {
    long long ackUs = 0;      // from the request's end to the ACK
    int noise = 0;            // noise bytes NOISE_LEAD_MS before the ACK
    int silent = 0;           // nothing goes out at all
    const char* reply = nullptr;  // the reply text, or nullptr for the ACK alone
    long long replyGapUs = 0; // silence between the ACK and the reply
    int damage = DAMAGE_NONE;
};

struct Simulator {
    int mode;
    int replyDelayMs;
    int slowMs;
    int replayStrict;
    long long nextChatter;
    int droppedAnswers;
    FrameParser parser;
    ControllerState state;
    Rules* rules;           // nullptr: none
    Recording* recording;   // nullptr: none
    char reply[SIM_REPLY_BYTES];
    unsigned char frame[SEGMENT_BYTES];
};

Simulator sim;

void SetMode(int mode, long long now) {
    if (mode == sim.mode) return;
    sim.mode = mode;
    sim.nextChatter = now;
    LogText("mode", ModeName(mode));
}

int RoomFor(int segments) {
    if (QueueRoom() >= segments) return 1;
    if (sim.droppedAnswers++ == 0) Complain("output queue full, answers dropped", "");
    return 0;
}

// Queues an answer: perhaps noise, the ACK, perhaps the reply (whole, damaged or
// in parts).
void Schedule(const Shape& shape, long long now) {
    if (shape.silent || !RoomFor(4)) return;
    long long at = now + shape.ackUs;
    if (shape.noise) {
        Enqueue(at, 0, NOISE, static_cast<int>(sizeof NOISE));
        Enqueue(at, NOISE_LEAD_MS * US_PER_MS, &ACK_BYTE, 1);
    } else {
        Enqueue(at, 0, &ACK_BYTE, 1);
    }
    if (shape.reply == nullptr) return;
    int n = BuildFrame(shape.reply, sim.frame, sizeof sim.frame);
    if (n < 0) return;
    if (shape.damage == DAMAGE_BAD_CHECKSUM) {
        sim.frame[n - 1] = static_cast<unsigned char>((sim.frame[n - 1] + 1) & 0x7F);
    }
    if (shape.damage == DAMAGE_GAP || shape.damage == DAMAGE_CUT) {
        Enqueue(at, shape.replyGapUs, sim.frame, n / 2);
        if (shape.damage == DAMAGE_GAP) Enqueue(at, GAP_MS * US_PER_MS, sim.frame + n / 2, n - n / 2);
    } else {
        Enqueue(at, shape.replyGapUs, sim.frame, n);
    }
}

// The answer the fault mode gives.
Shape ModeShape(int hasReply) {
    Shape shape;
    shape.ackUs = (sim.replyDelayMs + (sim.mode == MODE_SLOW ? sim.slowMs : 0)) * US_PER_MS;
    shape.silent = sim.mode == MODE_NO_ACK;
    shape.noise = sim.mode == MODE_NOISE;
    if (hasReply && sim.mode != MODE_ACK_ONLY) shape.reply = sim.reply;
    if (sim.mode == MODE_LONG_REPLY && hasReply && LongReplyText(sim.reply, sizeof sim.reply) != 0) {
        shape.reply = nullptr;
    }
    if (sim.mode == MODE_BAD_CHECKSUM) shape.damage = DAMAGE_BAD_CHECKSUM;
    if (sim.mode == MODE_GAP) shape.damage = DAMAGE_GAP;
    return shape;
}

// The answer a rule gives; the reply text goes to sim.reply.
Shape RuleShape(const RuleAnswer& rule) {
    Shape shape;
    shape.ackUs = (rule.ackDelayMs >= 0 ? rule.ackDelayMs : sim.replyDelayMs) * US_PER_MS;
    shape.replyGapUs = rule.replyDelayMs * US_PER_MS;
    shape.silent = rule.fault == RULE_FAULT_NO_ACK;
    shape.noise = rule.fault == RULE_FAULT_NOISE;
    if (rule.fault == RULE_FAULT_BAD_CHECKSUM) shape.damage = DAMAGE_BAD_CHECKSUM;
    if (rule.fault == RULE_FAULT_CUT) shape.damage = DAMAGE_CUT;
    if (rule.hasReply) {
        int n = snprintf(sim.reply, sizeof sim.reply, "%s", rule.reply.c_str());
        if (n >= 0 && n < static_cast<int>(sizeof sim.reply)) shape.reply = sim.reply;
    }
    return shape;
}

// Queues a recorded answer: the bytes through the ACK so that the ACK arrives as
// late after the request as it did, the rest when it came.
void ScheduleRecorded(const RecordedAnswer& answer, long long now) {
    int segments = static_cast<int>((answer.head.size() + answer.tail.size()) / SEGMENT_BYTES) + 2;
    if (!RoomFor(segments)) return;
    long long byteUs = line.instant ? 0 : ByteMicros(ControllerBaud(ConsoleBaud()));
    if (!answer.head.empty()) {
        long long at = now + answer.headUs - static_cast<long long>(answer.head.size() - 1) * byteUs;
        Enqueue(std::max(at, now), 0, answer.head.data(), static_cast<int>(answer.head.size()));
    }
    if (!answer.tail.empty()) {
        long long at = answer.tailUs >= 0 ? now + answer.tailUs : now;
        Enqueue(at, 0, answer.tail.data(), static_cast<int>(answer.tail.size()));
    }
}

void TakeFrame(int verdict, long long now) {
    const unsigned char* text = sim.parser.text;
    int length = sim.parser.length;
    if (verdict == VERDICT_OVERFLOW) {
        LogEvent("overflow", text, length);
        return;
    }
    if (sim.mode == MODE_SILENT) {
        LogEvent("ignored", text, length);
        return;
    }
    LogEvent(verdict == VERDICT_OK ? "ok" : "bad-checksum", text, length);
    if (verdict != VERDICT_OK) return;
    int hasReply = ControllerAnswer(sim.state, text, length, sim.reply, sizeof sim.reply);
    if (hasReply < 0) return;
    if (sim.rules != nullptr || sim.recording != nullptr) {
        std::string request(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
        RuleAnswer rule;
        if (sim.rules != nullptr && sim.rules->Take(request, hasReply ? sim.reply : nullptr, rule)) {
            Schedule(RuleShape(rule), now);
            return;
        }
        RecordedAnswer recorded;
        if (sim.recording != nullptr) {
            if (sim.recording->Take(request, recorded)) {
                ScheduleRecorded(recorded, now);
                return;
            }
            if (sim.replayStrict) return;
        }
    }
    Schedule(ModeShape(hasReply), now);
}

// Reads what the console sent, as the controller hears it. Returns 0, or -1 when
// the master failed.
int ReadMaster(int master) {
    static unsigned char chunk[READ_CHUNK];
    for (int round = 0; round < 16; ++round) {
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return -1;
        }
        if (n == 0) return 0;
        TapRepeat(TAP_SIDE_HOST, chunk, static_cast<int>(n));
        long long now = NowUs();
        int consoleBaud = ConsoleBaud();
        int ownBaud = ControllerBaud(consoleBaud);
        for (ssize_t i = 0; i < n; ++i) {
            int verdict = VERDICT_OK;
            if (ParserFeed(sim.parser, HeardByte(chunk[i], consoleBaud, ownBaud), verdict)) {
                TakeFrame(verdict, now);
            }
        }
    }
    return 0;
}

// ---- The control file --------------------------------------------------------

struct ControlWatch {
    const char* path;
    int present;
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
};

ControlWatch control;

// Records what is at the path now. Returns 1 when that differs from before.
int ControlChanged() {
    struct stat st;
    if (stat(control.path, &st) != 0) {
        control.present = 0;  // a missing file changes nothing
        return 0;
    }
    int changed = !control.present || st.st_dev != control.dev || st.st_ino != control.ino ||
                  st.st_size != control.size || st.st_mtim.tv_sec != control.mtime.tv_sec ||
                  st.st_mtim.tv_nsec != control.mtime.tv_nsec;
    control.present = 1;
    control.dev = st.st_dev;
    control.ino = st.st_ino;
    control.size = st.st_size;
    control.mtime = st.st_mtim;
    return changed;
}

int IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' ? 1 : 0; }

void CheckControl(long long now) {
    if (control.path == nullptr || !ControlChanged()) return;
    int fd = open(control.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    char text[CONTROL_BYTES];
    ssize_t n = read(fd, text, sizeof text);
    close(fd);
    if (n <= 0) return;  // empty (perhaps being written): wait for the next change
    int begin = 0;
    int end = static_cast<int>(n);
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    if (begin == end) return;
    int mode = ModeByName(text + begin, end - begin);
    if (mode < 0) {
        text[end < CONTROL_BYTES ? end : CONTROL_BYTES - 1] = '\0';
        Complain("unknown mode in the control file", text + begin);
        return;
    }
    SetMode(mode, now);
}

// ---- Start and run -----------------------------------------------------------------

int InstallSignals(sigset_t& waitMask) {
    sigset_t handled;
    if (sigemptyset(&handled) != 0) return -1;
    const int stops[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction action;
    memset(&action, 0, sizeof action);
    if (sigemptyset(&action.sa_mask) != 0) return -1;
    action.sa_handler = OnStop;
    for (int s : stops) {
        if (sigaction(s, &action, nullptr) != 0 || sigaddset(&handled, s) != 0) return -1;
    }
    action.sa_handler = OnCycle;
    if (sigaction(SIGUSR1, &action, nullptr) != 0 || sigaddset(&handled, SIGUSR1) != 0) return -1;
    action.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &action, nullptr) != 0) return -1;
    // The signals are held back outside the poll, so none can slip in between the
    // flag checks and the wait.
    if (sigprocmask(SIG_BLOCK, &handled, &waitMask) != 0) return -1;
    for (int s : stops) {
        if (sigdelset(&waitMask, s) != 0) return -1;
    }
    return sigdelset(&waitMask, SIGUSR1);
}

int OpenLog(const char* path) {
    eventLog.fd = -1;
    eventLog.ownsFd = 0;
    eventLog.failed = 0;
    if (path == nullptr) return 0;
    if (strcmp(path, "-") == 0) {
        eventLog.fd = 2;
        return 0;
    }
    eventLog.fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (eventLog.fd < 0) return -1;
    eventLog.ownsFd = 1;
    return 0;
}

int Run(int master, const sigset_t& waitMask) {
    sim.nextChatter = NowUs();
    long long nextControl = 0;
    long long masterQuietUntil = 0;
    int handledCycles = cycleRequests;

    while (!stopRequested) {
        long long now = NowUs();
        if (control.path != nullptr && now >= nextControl) {
            CheckControl(now);
            nextControl = now + CONTROL_PERIOD_MS * US_PER_MS;
        }
        while (handledCycles != cycleRequests) {
            ++handledCycles;
            SetMode((sim.mode + 1) % MODE_COUNT, now);
        }
        if (sim.mode == MODE_CHATTER && now >= sim.nextChatter) {
            if (output.count == 0) Enqueue(now, 0, &CHATTER_BYTE, 1);
            sim.nextChatter = now + CHATTER_PERIOD_MS * US_PER_MS;
        }
        long long due = -1;
        int blocked = FlushDue(master, now, due);

        long long wake = -1;  // when something is next to be done; -1: nothing
        if (control.path != nullptr) wake = nextControl;
        if (sim.mode == MODE_CHATTER && (wake < 0 || sim.nextChatter < wake)) wake = sim.nextChatter;
        if (due >= 0 && blocked == 0 && (wake < 0 || due < wake)) wake = due;
        pollfd pfd = {master, static_cast<short>(POLLIN | (blocked > 0 ? POLLOUT : 0)), 0};
        int watching = 1;
        if (now < masterQuietUntil) {
            watching = 0;  // after an error on the master: look again a little later
            if (wake < 0 || masterQuietUntil < wake) wake = masterQuietUntil;
        }
        timespec timeout = {0, 0};
        if (wake >= 0) {
            long long wait = wake > now ? wake - now : 0;
            timeout.tv_sec = static_cast<time_t>(wait / 1000000);
            timeout.tv_nsec = static_cast<long>(wait % 1000000) * 1000L;
        }
        int ready = ppoll(&pfd, watching ? 1 : 0, wake >= 0 ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            Complain("poll failed", strerror(errno));
            return 1;
        }
        if (ready == 0 || !watching) continue;
        if (pfd.revents & POLLIN) {
            if (ReadMaster(master) != 0) masterQuietUntil = NowUs() + ERROR_BACKOFF_MS * US_PER_MS;
        } else if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            masterQuietUntil = NowUs() + ERROR_BACKOFF_MS * US_PER_MS;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string message;
    std::string usage;
    int parsed = ParseOptions(argc, argv, options, message, usage);
    if (parsed == SIM_OPTIONS_HELP || parsed == SIM_OPTIONS_VERSION) {
        (void)WriteAll(1, message.data(), message.size());
        return 0;
    }
    if (parsed != SIM_OPTIONS_OK) {
        Complain(message.c_str(), "");
        (void)WriteAll(2, usage.data(), usage.size());
        return EXIT_USAGE;
    }

    static Rules rules;
    static Recording recording;
    std::string problem;
    if (!options.rulesPath.empty() && !rules.Load(options.rulesPath, problem)) {
        Complain((options.rulesPath + ": " + problem).c_str(), "");
        return EXIT_USAGE;
    }
    if (!options.replayPath.empty() && !recording.Load(options.replayPath, problem)) {
        Complain((options.replayPath + ": " + problem).c_str(), "");
        return EXIT_USAGE;
    }

    sigset_t waitMask;
    if (InstallSignals(waitMask) != 0) {
        Complain("cannot install signal handlers", strerror(errno));
        return 1;
    }
    if (OpenLog(options.logPath.empty() ? nullptr : options.logPath.c_str()) != 0) {
        Complain("cannot open the log", strerror(errno));
        return 1;
    }

    char error[SIM_PATH_BYTES + 256];
    int master = -1;
    int slave = -1;
    char ptyPath[SIM_PATH_BYTES];
    if (OpenTerminal(master, slave, ptyPath, sizeof ptyPath, error, sizeof error) != 0) {
        Complain(error, "");
        if (eventLog.ownsFd) close(eventLog.fd);
        return 1;
    }

    char linkPath[SIM_PATH_BYTES];
    linkPath[0] = '\0';
    int status = 0;
    if (!options.noLink) {
        if (!options.linkPath.empty()) {
            int n = snprintf(linkPath, sizeof linkPath, "%s", options.linkPath.c_str());
            if (n <= 0 || n >= static_cast<int>(sizeof linkPath)) {
                Complain("link path too long", options.linkPath.c_str());
                status = EXIT_USAGE;
            }
        } else if (DefaultLinkPath(getenv("HOME"), options.com, linkPath, sizeof linkPath, error,
                                   sizeof error) != 0) {
            Complain(error, "");
            status = 1;
        }
        if (status == 0) {
            int made = CreateLink(linkPath, ptyPath, error, sizeof error);
            if (made != LINK_OK) {
                Complain(error, "");
                status = made == LINK_REFUSED ? EXIT_USAGE : 1;
            }
        }
        if (status != 0) linkPath[0] = '\0';
    }

    if (status == 0 && !options.tapHostLink.empty() &&
        OpenTaps(options.tapHostLink.c_str(), options.tapCtrlLink.c_str(), error, sizeof error) != 0) {
        Complain(error, "");
        status = 1;
    }

    if (status == 0) {
        ParserReset(sim.parser);
        ControllerReset(sim.state);
        sim.mode = options.fault;
        sim.replyDelayMs = options.replyDelayMs;
        sim.slowMs = options.slowMs;
        sim.replayStrict = options.replayStrict ? 1 : 0;
        sim.rules = rules.Count() > 0 ? &rules : nullptr;
        sim.recording = options.replayPath.empty() ? nullptr : &recording;
        line.slave = slave;
        line.ownBaud = options.baud > 0 ? options.baud : LINE_DEFAULT_BAUD;
        line.followConsole = options.baud == 0 ? 1 : 0;
        line.instant = options.instant ? 1 : 0;
        line.lastUs = -1;
        if (options.baud > 0) (void)SetSpeed(slave, SpeedOfBaud(options.baud));
        control.path = options.controlPath.empty() ? nullptr : options.controlPath.c_str();
        if (control.path != nullptr) (void)ControlChanged();  // only later changes count
        eventLog.start = NowMs();
        LogText("mode", ModeName(sim.mode));
        if (printf("zantrox-sim: ready %s %s\n", ptyPath, linkPath[0] ? linkPath : "-") < 0 ||
            fflush(stdout) != 0) {
            Complain("cannot write to stdout", strerror(errno));
            status = 1;
        } else {
            status = Run(master, waitMask);
        }
    }

    if (linkPath[0] != '\0') (void)RemoveOwnLink(linkPath, ptyPath);
    CloseTaps();
    close(slave);
    close(master);
    if (eventLog.ownsFd) close(eventLog.fd);
    return status;
}
