#include "tests/support/ser2net_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/pty_peer.h"

namespace testsupport {

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

bool TcpListening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") return true;  // 0A: LISTEN
    }
    return false;
}

int ListenOnLoopback(int backlog, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), n) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0 || listen(fd, backlog) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

namespace {

int OtherFreePort(int taken) {
    int port = FreeTcpPort();
    while (port == taken) port = FreeTcpPort();
    return port;
}

}  // namespace

Ser2net::Ser2net(const std::string& device, bool charDelay) : telnetPort(FreeTcpPort()), rawPort(OtherFreePort(telnetPort)) {
    std::string pidFile = "/tmp/zantrox-ser2net-" + std::to_string(getpid()) + ".pid";
    std::string telnet = "  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(telnetPort);
    std::string raw = "  accepter: tcp,127.0.0.1," + std::to_string(rawPort);
    std::string connector = "  connector: serialdev," + device + ",9600n81,local";
    std::vector<std::string> args = {"ser2net", "-n", "-u", "-P", pidFile};
    const std::string accepters[2][2] = {{"connection: &t", telnet}, {"connection: &r", raw}};
    for (const auto& accepter : accepters) {
        for (const std::string& line : {accepter[0], accepter[1], connector}) {
            args.push_back("-Y");
            args.push_back(line);
        }
        if (!charDelay) {
            for (const char* line : {"  options:", "    chardelay: false"}) {
                args.push_back("-Y");
                args.push_back(line);
            }
        }
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp("ser2net", argv.data());
        _exit(127);
    }
    up_ = pid_ > 0 && WaitUntil([this] { return TcpListening(telnetPort) && TcpListening(rawPort); }, 10000);
}

Ser2net::~Ser2net() { Stop(); }

void Ser2net::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Ser2net::Url(bool telnet) const {
    return telnet ? "rfc2217://127.0.0.1:" + std::to_string(telnetPort)
                  : "socket://127.0.0.1:" + std::to_string(rawPort);
}

}  // namespace testsupport
