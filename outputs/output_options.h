// Where what is seen on a line goes besides the terminal, as a subcommand's
// options give it.
#pragma once

#include <string>
#include <vector>

class LineOutput;

// Where what is seen on the line goes besides the terminal.
struct OutputOptions {
    bool quiet = false;      // nothing on stdout (a capture fed to Wireshark)
    std::string pcapng;      // a capture file to write ("" for none)
    int pcapngFd = -1;       // or a descriptor the caller opened and keeps (Wireshark's pipe)
    std::vector<LineOutput*> more;  // made by the caller (the metrics endpoint), fed like the rest
};
