// Test and benchmark support: Debian's ser2net in the foreground on loopback,
// serving one terminal as RFC 2217 (telnet) on one TCP port and as raw TCP on
// another. Ports are picked free at start.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

// A TCP port free on 127.0.0.1 now, or -1.
int FreeTcpPort();
// Whether something listens on 127.0.0.1:port, from the kernel's table: a probe
// connection would make ser2net take its terminal for a moment.
bool TcpListening(int port);
// A socket listening on 127.0.0.1 at a free port with an accept queue of `backlog`
// (0: one connection is queued and no more). Returns the socket and sets *port, or -1.
int ListenOnLoopback(int backlog, int* port);

class Ser2net {
public:
    // `charDelay` false turns off ser2net's wait of about two character times
    // (at least 1 ms) for more bytes before it sends what the device gave it.
    explicit Ser2net(const std::string& device, bool charDelay = true);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;
    bool up() const { return up_; }
    void Stop();
    // rfc2217://127.0.0.1:PORT (telnet) or socket://127.0.0.1:PORT.
    std::string Url(bool telnet) const;

    const int telnetPort;
    const int rawPort;

private:
    pid_t pid_ = -1;
    bool up_ = false;
};

}  // namespace testsupport
