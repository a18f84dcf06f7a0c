// watch --tap: listens on both lines of a passive tap at once, never writing a
// byte to either, and reports pieces, exchanges and a summary.
#pragma once

#include <string>

#include "listen/port_options.h"

struct TapOptions {
    PortOptions line;      // baud rate, JSON, and the settings requests are named at
    std::string hostPort;  // the adapter that hears the host (host -> controller)
    std::string ctrlPort;  // the adapter that hears the controller
    double durationS = 0;  // 0: until Ctrl+C
    std::string reportPath;
};

int RunTapWatch(const TapOptions& options);
// watch --from: the pieces of a capture file through the same analyzer, outputs,
// summary and report (the ports of `options` are not used).
int RunWatchFrom(const TapOptions& options, const std::string& path);
