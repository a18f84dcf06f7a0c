#include "tests/support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "link/frame.h"

namespace testsupport {

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Bytes Frame(const std::string& text) {
    Bytes out(text.size() + 3);
    int n = BuildFrame(text.c_str(), out.data(), static_cast<int>(out.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

std::string Printable(const Bytes& bytes) {
    std::string s;
    char piece[8];
    for (unsigned char b : bytes) {
        if (b >= 0x20 && b < 0x7F) {
            s += static_cast<char>(b);
        } else {
            std::snprintf(piece, sizeof piece, "<%02X>", b);
            s += piece;
        }
    }
    return s;
}

bool WaitUntil(const std::function<bool()>& done, int totalMs) {
    long long end = NowMs() + totalMs;
    while (!done()) {
        if (NowMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TempHome::TempHome() {
    char pattern[] = "/tmp/zantrox-home-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
    std::string config = path_ + "/.config";
    mkdir(config.c_str(), 0700);
    mkdir((config + "/zantrox").c_str(), 0700);
    const char* old = getenv("HOME");
    hadHome_ = old != nullptr;
    if (hadHome_) oldHome_ = old;
    setenv("HOME", path_.c_str(), 1);
}

TempHome::~TempHome() {
    std::string folder = path_ + "/.config/zantrox";
    for (int k = 1; k <= 9; ++k) unlink((folder + "/com" + std::to_string(k)).c_str());
    rmdir(folder.c_str());
    rmdir((path_ + "/.config").c_str());
    rmdir(path_.c_str());
    if (hadHome_) setenv("HOME", oldHome_.c_str(), 1);
    else unsetenv("HOME");
}

void TempHome::LinkCom(int k, const std::string& target) {
    std::string link = path_ + "/.config/zantrox/com" + std::to_string(k);
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) std::perror("symlink");
}

PtyPeer::PtyPeer() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) return;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        close(fd);
        return;
    }
    slavePath_ = ptsname(fd);
    // Holding the slave open keeps the master from seeing a hang-up whenever the
    // console closes its side.
    slaveKeep_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (slaveKeep_ < 0) {
        close(fd);
        return;
    }
    termios tio;
    if (tcgetattr(slaveKeep_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slaveKeep_, TCSANOW, &tio);
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    master_ = fd;
}

PtyPeer::~PtyPeer() {
    StopResponder();
    if (slaveKeep_ >= 0) close(slaveKeep_);
    if (master_ >= 0) close(master_);
}

void PtyPeer::Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            pollfd p = {master_, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

void PtyPeer::Write(const std::string& bytes) { Write(Bytes(bytes.begin(), bytes.end())); }

Bytes PtyPeer::ReadQuiet(int quietMs, int totalMs) {
    Bytes out;
    long long end = NowMs() + totalMs;
    long long quietEnd = NowMs() + quietMs;
    for (;;) {
        long long now = NowMs();
        long long until = quietEnd < end ? quietEnd : end;
        if (now >= until) break;
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(until - now)) > 0) {
            unsigned char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
                quietEnd = NowMs() + quietMs;
            }
        }
    }
    return out;
}

Bytes PtyPeer::ReadCount(size_t count, int totalMs) {
    Bytes out;
    long long end = NowMs() + totalMs;
    while (out.size() < count) {
        long long left = end - NowMs();
        if (left <= 0) break;
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0) {
            unsigned char b;
            if (read(master_, &b, 1) == 1) out.push_back(b);
        }
    }
    return out;
}

void PtyPeer::StartResponder(Answer answer) {
    StopResponder();
    answer_ = std::move(answer);
    stop_ = false;
    responder_ = std::thread([this] { ResponderLoop(); });
}

void PtyPeer::StopResponder() {
    stop_ = true;
    if (responder_.joinable()) responder_.join();
}

void PtyPeer::ResponderLoop() {
    Bytes current;
    bool inFrame = false;
    bool wantChecksum = false;
    while (!stop_) {
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, 5) <= 0) continue;
        unsigned char buf[256];
        ssize_t n = read(master_, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            unsigned char b = buf[i];
            {
                std::lock_guard<std::mutex> lock(mutex_);
                raw_.push_back(b);
            }
            if (wantChecksum) {
                current.push_back(b);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    frames_.push_back(current);
                }
                Bytes reply = answer_ ? answer_(current) : Bytes();
                if (!reply.empty()) Write(reply);
                current.clear();
                inFrame = false;
                wantChecksum = false;
            } else if (!inFrame) {
                if (b == STX) {
                    inFrame = true;
                    current.assign(1, b);
                }
            } else {
                current.push_back(b);
                if (b == ETX) wantChecksum = true;
            }
        }
    }
}

std::vector<Bytes> PtyPeer::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<std::string> PtyPeer::Texts() {
    std::vector<std::string> texts;
    for (const Bytes& f : Frames()) {
        if (f.size() >= 3) texts.emplace_back(f.begin() + 1, f.end() - 2);
    }
    return texts;
}

size_t PtyPeer::WaitFrames(size_t count, int totalMs) {
    WaitUntil([&] { return Frames().size() >= count; }, totalMs);
    return Frames().size();
}

Bytes PtyPeer::RawReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

}  // namespace testsupport
