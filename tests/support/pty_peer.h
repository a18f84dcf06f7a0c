// Test support: an in-test controller on a pseudo-terminal. The test owns the
// master side; the console's port opens the slave through a comK link in a
// temporary HOME. A responder thread can answer frames by a script.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

Bytes Frame(const std::string& text);  // STX text ETX checksum
std::string Printable(const Bytes& bytes);  // for failure messages

// A temporary HOME with .config/zantrox, removed (with its links) at destruction.
class TempHome {
public:
    TempHome();
    ~TempHome();
    const std::string& path() const { return path_; }
    // Links ~/.config/zantrox/comK to `target`.
    void LinkCom(int k, const std::string& target);

private:
    std::string path_;
    std::string oldHome_;
    bool hadHome_ = false;
};

class PtyPeer {
public:
    PtyPeer();  // opens the pair, sets the slave raw; check ok()
    ~PtyPeer();
    bool ok() const { return master_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    void Write(const Bytes& bytes);
    void Write(const std::string& bytes);
    // Reads what arrives until `quietMs` pass without a byte or `totalMs` in all.
    Bytes ReadQuiet(int quietMs, int totalMs = 5000);
    // Reads until `count` bytes arrived or `totalMs` passed.
    Bytes ReadCount(size_t count, int totalMs = 5000);

    // Responder: every complete frame read from the line (STX..ETX + checksum) is
    // recorded and passed to `answer`, whose bytes are written back at once.
    using Answer = std::function<Bytes(const Bytes& frame)>;
    void StartResponder(Answer answer);
    void StopResponder();
    std::vector<Bytes> Frames();  // frames seen so far, in order
    std::vector<std::string> Texts();  // their texts (between STX and ETX)
    // Waits until at least `count` frames were seen, or `totalMs`; returns the count.
    size_t WaitFrames(size_t count, int totalMs = 5000);
    // All raw bytes the responder read, in order.
    Bytes RawReceived();

private:
    void ResponderLoop();

    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
    std::thread responder_;
    std::atomic<bool> stop_{false};
    Answer answer_;
    std::mutex mutex_;
    std::vector<Bytes> frames_;
    Bytes raw_;
};

// Waits for `done()` up to `totalMs`, polling every millisecond.
bool WaitUntil(const std::function<bool()>& done, int totalMs);

}  // namespace testsupport
