// zantrox-extcap: the line or the tap as a live capture interface in Wireshark.
#include <csignal>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "extcap/extcap.h"
#include "listen/tap.h"
#include "listen/watch.h"
#include "zantrox_version.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Wireshark's pipe, opened for writing: a FIFO on Linux, a named pipe on Windows.
// -1 when it cannot be opened.
int OpenPipe(const std::string& path) {
#ifdef _WIN32
    HANDLE pipe = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return -1;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_WRONLY | _O_BINARY);
    if (fd < 0) CloseHandle(pipe);
    return fd;
#else
    return open(path.c_str(), O_WRONLY | O_CLOEXEC);
#endif
}

void ClosePipe(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Zantrox line and tap as Wireshark capture interfaces (run by Wireshark).", "zantrox-extcap"};
    app.set_version_flag("--version", std::string("zantrox-extcap ") + ZANTROX_VERSION);
    // Wireshark passes options of its own (--extcap-version, a capture filter) that
    // change nothing here.
    app.allow_extras();
    ExtcapCall call;
    bool interfaces = false, dlts = false, config = false, capture = false;
    app.add_flag("--extcap-interfaces", interfaces, "list the interfaces");
    app.add_option("--extcap-interface", call.interfaceName, "the interface: zantrox-line or zantrox-tap");
    app.add_flag("--extcap-dlts", dlts, "the interface's link type");
    app.add_flag("--extcap-config", config, "the interface's settings");
    app.add_flag("--capture", capture, "capture into --fifo");
    app.add_option("--fifo", call.fifo, "the pipe Wireshark reads");
    app.add_option("--port", call.port, "zantrox-line: the port to listen on (as zantrox-cli --port takes it)");
    app.add_option("--host-port", call.hostPort, "zantrox-tap: the adapter that hears the host");
    app.add_option("--ctrl-port", call.ctrlPort, "zantrox-tap: the adapter that hears the controller");
    app.add_option("--baud", call.baudRate, "baud rate (default 9600)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? EXIT_ALL_OK : EXIT_USAGE;
    }
    call.kind = capture ? ExtcapCall::CAPTURE
                : config ? ExtcapCall::CONFIG
                : dlts ? ExtcapCall::DLTS
                : interfaces ? ExtcapCall::INTERFACES
                             : ExtcapCall::NONE;
    std::string error;
    if (!ExtcapCheck(call, error)) {
        std::fprintf(stderr, "zantrox-extcap: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (call.kind != ExtcapCall::CAPTURE) {
        std::fputs(ExtcapAnswer(call, ZANTROX_VERSION, error).c_str(), stdout);
        return EXIT_ALL_OK;
    }

    PortOptions line;
    line.baudRate = call.baudRate;
    if (call.interfaceName == EXTCAP_LINE) {
        line.port = call.port;
        if (ResolvePortOption(line.port, line.comPort, line.deviceName, error) != 0) {
            std::fprintf(stderr, "zantrox-extcap: %s\n", error.c_str());
            return EXIT_USAGE;
        }
    }
#ifndef _WIN32
    // Wireshark closing its end is a failed write that ends the capture in order.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    int fd = OpenPipe(call.fifo);
    if (fd < 0) {
        std::fprintf(stderr, "zantrox-extcap: cannot open Wireshark's pipe %s\n", call.fifo.c_str());
        return EXIT_USAGE;
    }
    line.outputs.pcapngFd = fd;
    line.outputs.quiet = true;
    int status;
    if (call.interfaceName == EXTCAP_LINE) {
        status = RunWatch(line, 0);
    } else {
        TapOptions tap;
        tap.line = line;
        tap.hostPort = call.hostPort;
        tap.ctrlPort = call.ctrlPort;
        status = RunTapWatch(tap);
    }
    ClosePipe(fd);
    return status;
}
