// The outputs a subcommand that uses a line takes from its options: text or JSON
// Lines on stdout (or nothing, when stdout carries a capture or Wireshark reads
// it), and a capture file. Summaries and the report are added by the subcommand.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/line_options.h"
#include "cli/outputs/json_output.h"
#include "cli/outputs/pcapng_output.h"
#include "cli/outputs/text_output.h"

class ChosenOutputs {
public:
    ChosenOutputs(const PortOptions& options, int form, const LineClock& clock, const CommandNames* names);
    // Starts the capture when one is asked for, with one interface a line. Before
    // anything is sent: false, having said why on stderr (a usage error).
    bool Open(const std::vector<std::string>& lines);
    // Adds the output for stdout (text or JSON; none when quiet).
    void AddTerminal(LineStream& stream);
    // Adds the capture, when one was asked for, and the outputs the caller made.
    void AddCapture(LineStream& stream);
    // Where closing lines go: stdout, unless it carries JSON or a capture.
    std::FILE* Summary() const { return options_.json || options_.outputs.quiet ? stderr : stdout; }
    // No summaries at all: the program runs for Wireshark, which shows none.
    bool Quiet() const { return options_.outputs.quiet && options_.outputs.pcapngFd > 2; }

private:
    const PortOptions& options_;
    TextOutput text_;
    JsonOutput json_;
    PcapngOutput pcapng_;
    bool capture_ = false;
};
